// The report in JUnit XML, which CI dashboards read: a testcase per
// scenario, its transcript in system-out and system-err.
#include "suite/suite.h"

#include <cstdio>

namespace
{

// The length of the UTF-8 sequence at t[i] when it encodes a character
// XML 1.0 allows; 0 when it does not or is not UTF-8 at all.
std::size_t xml_char(const std::string &t, std::size_t i)
{
	unsigned char c = t[i];
	std::size_t n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
	if (n == 0 || c > 0xf4 || i + n > t.size())
		return 0;
	unsigned long code = c & (0x7f >> n);
	for (std::size_t k = 1; k < n; k++) {
		unsigned char d = t[i + k];
		if ((d & 0xc0) != 0x80)
			return 0;
		code = code << 6 | (d & 0x3f);
	}
	static const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
	if (code < least[n] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) ||
	    code == 0xfffe || code == 0xffff)
		return 0;
	return n;
}

// text as XML character data, or as an attribute's value. A probe may
// print anything: a control character XML cannot carry becomes its
// picture (U+2400 and on: "\x1b" shows as U+241B), a byte that is not
// UTF-8 becomes U+FFFD.
std::string xml(const std::string &text, bool attribute = false)
{
	std::string x;
	for (std::size_t i = 0; i < text.size();) {
		unsigned char c = text[i];
		if (c >= 0x80) {
			std::size_t n = xml_char(text, i);
			x += n ? text.substr(i, n) : "\xef\xbf\xbd";
			i += n ? n : 1;
			continue;
		}
		i++;
		if (c == '&')
			x += "&amp;";
		else if (c == '<')
			x += "&lt;";
		else if (c == '>')
			x += "&gt;";
		else if (c == '"')
			x += "&quot;";
		else if (c == '\r' || (attribute && (c == '\n' || c == '\t')))
			x += "&#" + std::to_string(c) + ";";  // else a parser reads a blank
		else if (c < 0x20 && c != '\n' && c != '\t')
			x += {'\xe2', '\x90', (char)(0x80 + c)};
		else
			x += (char)c;
	}
	return x;
}

// The element a scenario's outcome becomes in its testcase; none for ok.
const char *element(outcome o)
{
	switch (o) {
	case outcome::ok:
	case outcome::no_longer:
		return nullptr;
	case outcome::broken:
		return "failure";
	case outcome::unarranged:
	case outcome::known:  // listed as expected: not run against the contract's verdict
		return "skipped";
	case outcome::interrupted:
		break;
	}
	return "error";
}

}  // namespace

void report_junit(FILE *f, const std::vector<scenario *> &list, const options &o, double wall)
{
	std::map<std::string, int> n;
	for (const scenario *s : list)
		if (const char *e = element(s->result))
			n[e]++;
	std::string counts_attrs = "tests=\"" + std::to_string(list.size()) + "\" failures=\"" +
	                           std::to_string(n["failure"]) + "\" errors=\"" +
	                           std::to_string(n["error"]) + "\" skipped=\"" +
	                           std::to_string(n["skipped"]) + "\" time=\"" + fixed(wall, 3) +
	                           "\"";
	fprintf(f, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
	fprintf(f, "<testsuites name=\"probesuite\" %s>\n", counts_attrs.c_str());
	fprintf(f, "  <testsuite name=\"probesuite\" %s>\n", counts_attrs.c_str());
	for (const scenario *s : list) {
		fprintf(f, "    <testcase classname=\"probesuite\" name=\"%s\" time=\"%s\">\n",
		        xml(title(*s), true).c_str(), fixed(s->count.seconds, 3).c_str());
		if (o.repeat > 1) {
			fprintf(f, "      <properties>\n");
			fprintf(f, "        <property name=\"runs\" value=\"%s\"/>\n",
			        xml(counts(s->count), true).c_str());
			for (const auto &[field, values] : s->count.seen)
				fprintf(f, "        <property name=\"%s\" value=\"%s\"/>\n",
				        xml(field, true).c_str(),
				        xml(spread(values), true).c_str());
			fprintf(f, "      </properties>\n");
		}
		const char *e = element(s->result);
		std::string message = s->result == outcome::broken ? s->why
		                      : s->why.empty()             ? word(s->result)
		                                       : word(s->result) + (": " + s->why);
		if (e && s->result == outcome::unarranged)
			fprintf(f, "      <skipped message=\"%s\"/>\n", xml(s->why, true).c_str());
		else if (e && s->result == outcome::known)
			fprintf(f, "      <skipped message=\"%s\"/>\n",
			        xml(std::string(word(s->result)) + ": " + s->listed + " (" +
			                    s->why + ")",
			            true)
			                .c_str());
		else if (e)
			fprintf(f, "      <%s type=\"%s\" message=\"%s\">%s (%s)</%s>\n", e,
			        word(s->result), xml(message, true).c_str(), xml(message).c_str(),
			        xml(ending(*s)).c_str(), e);
		fprintf(f, "      <system-out>%s</system-out>\n", xml(s->got.out).c_str());
		fprintf(f, "      <system-err>%s</system-err>\n", xml(s->got.err).c_str());
		fprintf(f, "    </testcase>\n");
	}
	fprintf(f, "  </testsuite>\n</testsuites>\n");
}
