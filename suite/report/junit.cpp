// The report in JUnit XML, which CI dashboards read: a testcase per
// scenario, its transcript in system-out and system-err.
#include "suite/report/junit.h"
#include "suite/report/output.h"
#include "suite/report/terminal.h"
#include "suite/text.h"

#include <cstdio>

namespace
{

// text as XML character data, or as an attribute's value. A probe may
// print anything: a control character XML cannot carry becomes its
// picture (U+2400 and on: "\x1b" shows as U+241B), and so does DEL; a
// byte that is not UTF-8, or a control character past ASCII, U+FFFD.
std::string xml(const std::string &text, bool attribute = false)
{
	std::string x;
	for (std::size_t i = 0; i < text.size();) {
		unsigned char c = text[i];
		if (c >= 0x80) {
			// Not every character is one XML 1.0 allows, or one to show.
			unsigned long code;
			std::size_t n = utf8_length(text, i, &code);
			bool shown = n && code != 0xfffe && code != 0xffff && code >= 0xa0;
			x += shown ? text.substr(i, n) : "\xef\xbf\xbd";
			i += n ? n : 1;
			continue;
		}
		i++;
		if (const char *e = markup_entity((char)c))
			x += e;
		else if (c == '\r' || (attribute && (c == '\n' || c == '\t')))
			x += "&#" + std::to_string(c) + ";";  // else a parser reads a blank
		else if (c < 0x20 && c != '\n' && c != '\t')
			x += {'\xe2', '\x90', (char)(0x80 + c)};
		else if (c == 0x7f)
			x += "\xe2\x90\xa1";
		else
			x += (char)c;
	}
	return x;
}

// The platform, as properties of the suite.
void platform_properties(FILE *f, const platform &p)
{
	std::string launcher;
	for (const std::string &w : p.launcher)
		launcher += (launcher.empty() ? "" : " ") + w;
	const std::pair<const char *, std::string> props[] = {
	        {"kernel", p.kernel},
	        {"machine", p.machine},
	        {"processors", std::to_string(p.processors)},
	        {"libc", p.libc + (p.libc_version.empty() ? "" : " " + p.libc_version) +
	                         (p.static_probes ? ", static" : "")},
	        {"launcher", launcher},
	        {"ran on", p.where},
	        {"started", p.started},
	};
	fprintf(f, "    <properties>\n");
	for (const auto &[name, value] : props)
		if (!value.empty())
			fprintf(f, "      <property name=\"%s\" value=\"%s\"/>\n", name,
			        xml(escaped(value), true).c_str());
	fprintf(f, "    </properties>\n");
}

void testcase(FILE *f, const tally &t, int repeat)
{
	fprintf(f, "    <testcase classname=\"probesuite\" name=\"%s\" time=\"%s\">\n",
	        xml(escaped(t.title), true).c_str(), fixed(t.seconds, 3).c_str());
	const outcome_form &o = form(t.j.result);
	std::string why = escaped(t.j.why), listed = escaped(t.j.listed);
	std::string message = t.j.result == outcome::broken ? why
	                      : why.empty()                 ? o.word
	                                                    : o.word + (": " + why);
	std::vector<std::pair<std::string, std::string>> props;
	if (!o.junit && !why.empty())  // a pass with a reason: an unverified ok
		props.emplace_back("verdict", message);
	if (repeat > 1) {
		props.emplace_back("runs", counts(t));
		for (const auto &[field, values] : t.seen)
			props.emplace_back(field, spread(values));
	}
	if (!props.empty())
		fprintf(f, "      <properties>\n");
	for (const auto &[name, value] : props)
		fprintf(f, "        <property name=\"%s\" value=\"%s\"/>\n",
		        xml(escaped(name), true).c_str(), xml(escaped(value), true).c_str());
	if (!props.empty())
		fprintf(f, "      </properties>\n");
	if (o.junit && t.j.result == outcome::unarranged)
		fprintf(f, "      <skipped message=\"%s\"/>\n", xml(why, true).c_str());
	else if (o.junit && t.j.result == outcome::known)
		fprintf(f, "      <skipped message=\"%s\"/>\n",
		        xml(std::string(o.word) + ": " + listed + " (" + why + ")", true).c_str());
	else if (o.junit)
		fprintf(f, "      <%s type=\"%s\" message=\"%s\">%s (%s)</%s>\n", o.junit, o.word,
		        xml(message, true).c_str(), xml(message).c_str(),
		        xml(ending(t.got)).c_str(), o.junit);
	fprintf(f, "      <system-out>%s</system-out>\n", xml(t.got.out).c_str());
	fprintf(f, "      <system-err>%s</system-err>\n", xml(t.got.err).c_str());
	fprintf(f, "    </testcase>\n");
}

}  // namespace

void report_junit(FILE *f, const record &r)
{
	std::map<std::string, int> n;
	for (const tally &t : r.scenarios)
		if (const char *e = form(t.j.result).junit)
			n[e]++;
	std::string counts_attrs = "tests=\"" + std::to_string(r.scenarios.size()) +
	                           "\" failures=\"" + std::to_string(n["failure"]) +
	                           "\" errors=\"" + std::to_string(n["error"]) + "\" skipped=\"" +
	                           std::to_string(n["skipped"]) + "\" time=\"" +
	                           fixed(r.seconds, 3) + "\"";
	fprintf(f, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
	fprintf(f, "<testsuites name=\"probesuite\" %s>\n", counts_attrs.c_str());
	fprintf(f, "  <testsuite name=\"probesuite\" %s>\n", counts_attrs.c_str());
	platform_properties(f, r.on);
	for (const tally &t : r.scenarios)
		testcase(f, t, r.repeat);
	fprintf(f, "  </testsuite>\n</testsuites>\n");
}
