// Reading a run's record back from a LAVA dispatcher's log: the console's
// lines between the markers, unescaped from YAML, kernel messages cut off.
#include "suite/matrix/lava_log.h"
#include "suite/text.h"

#include <cstring>
#include <string_view>
#include <vector>

namespace
{

const char begin_marker[] = "probes-record-begin ";
const char end_marker[] = "probes-record-end";

// The line with the "- " of a server's log taken off.
std::string_view entry(std::string_view line)
{
	if (line.starts_with("- "))
		line.remove_prefix(2);
	return line;
}

int hex_digit(char c)
{
	const char *at = c ? strchr("0123456789abcdef", c | 0x20) : nullptr;
	return at ? (int)(at - "0123456789abcdef") : -1;
}

void put_utf8(std::string &s, unsigned long cp)
{
	if (cp < 0x80) {
		s += (char)cp;
	} else if (cp < 0x800) {
		s += (char)(0xc0 | cp >> 6);
		s += (char)(0x80 | (cp & 63));
	} else if (cp < 0x10000) {
		s += (char)(0xe0 | cp >> 12);
		s += (char)(0x80 | (cp >> 6 & 63));
		s += (char)(0x80 | (cp & 63));
	} else {
		s += (char)(0xf0 | cp >> 18);
		s += (char)(0x80 | (cp >> 12 & 63));
		s += (char)(0x80 | (cp >> 6 & 63));
		s += (char)(0x80 | (cp & 63));
	}
}

// The console's text of a "target" line: its msg, a YAML double-quoted
// string, unescaped. False for any other line.
bool target_text(std::string_view line, std::string &msg)
{
	line = entry(line);
	if (!line.starts_with("{") || line.find("\"lvl\": \"target\"") == std::string_view::npos)
		return false;
	std::size_t at = line.find("\"msg\": \"");
	if (at == std::string_view::npos)
		return false;
	msg.clear();
	for (std::size_t i = at + 8; i < line.size(); i++) {
		char c = line[i];
		if (c == '"')
			return true;
		if (c != '\\' || i + 1 == line.size()) {
			msg += c;
			continue;
		}
		char e = line[++i];
		int digits = e == 'x' ? 2 : e == 'u' ? 4 : e == 'U' ? 8 : 0;
		if (digits) {
			unsigned long cp = 0;
			int k = 0;
			for (; k < digits && i + 1 < line.size() && hex_digit(line[i + 1]) >= 0;
			     k++)
				cp = cp << 4 | hex_digit(line[++i]);
			if (k == digits && cp < 0x110000)
				put_utf8(msg, cp);
			else
				msg += '?';  // no character: what follows is no record's
			continue;
		}
		switch (e) {
		case '0':
			msg += '\0';
			break;
		case 't':
			msg += '\t';
			break;
		case 'n':
			msg += '\n';
			break;
		case 'r':
			msg += '\r';
			break;
		case 'e':
			msg += '\033';
			break;
		case ' ':
		case '"':
		case '/':
		case '\\':
			msg += e;
			break;
		default:
			msg += '?';  // a character no record holds
		}
	}
	return false;  // the line was cut short
}

// A kernel message's start, "[   12.345678] ", in s; npos for none.
std::size_t kernel_message(const std::string &s)
{
	for (std::size_t at = s.find('['); at != std::string::npos; at = s.find('[', at + 1)) {
		std::size_t i = at + 1;
		while (i < s.size() && s[i] == ' ')
			i++;
		std::size_t digits = i;
		while (i < s.size() && s[i] >= '0' && s[i] <= '9')
			i++;
		if (i == digits || i >= s.size() || s[i] != '.')
			continue;
		std::size_t fraction = ++i;
		while (i < s.size() && s[i] >= '0' && s[i] <= '9')
			i++;
		if (i > fraction && i < s.size() && s[i] == ']')
			return at;
	}
	return std::string::npos;
}

}  // namespace

bool is_lava_log(const std::string &text)
{
	std::size_t from = text.find_first_not_of(" \t\r\n");
	if (from == std::string::npos)
		return false;
	return entry(std::string_view(text).substr(from)).starts_with("{\"dt\": \"");
}

bool record_from_log(const std::string &text, std::string &json, std::string &why)
{
	// The console's lines from the last begin marker on.
	std::vector<std::string> console;
	bool found = false;
	std::string msg;
	for (std::size_t from = 0; from < text.size();) {
		std::size_t nl = text.find('\n', from);
		std::size_t end = nl == std::string::npos ? text.size() : nl;
		if (target_text(std::string_view(text).substr(from, end - from), msg)) {
			if (msg.find(begin_marker) != std::string::npos) {
				console.clear();
				found = true;
			}
			if (found)
				console.push_back(msg);
		}
		from = end + 1;
	}
	if (!found) {
		why = "a LAVA log that holds no run record (no line \"probes-record-begin\")";
		return false;
	}
	const std::string &first = console[0];
	std::size_t at = first.find(begin_marker) + strlen(begin_marker);
	std::size_t size = 0, digits = 0;
	for (; at < first.size() && first[at] >= '0' && first[at] <= '9' && digits < 12;
	     at++, digits++)
		size = size * 10 + (first[at] - '0');
	if (!digits) {
		why = "a LAVA log whose line \"probes-record-begin\" gives no size";
		return false;
	}
	std::string encoded;
	bool ended = false;
	for (std::size_t i = 1; i < console.size(); i++) {
		std::string &line = console[i];
		if (line.find(end_marker) != std::string::npos) {
			ended = true;
			break;
		}
		std::size_t kernel = kernel_message(line);
		if (kernel != std::string::npos)
			line.resize(kernel);
		if (base64_letters(line))
			encoded += line;
	}
	if (!ended) {
		why = "a LAVA log whose run record is cut short (no line \"probes-record-end\")";
		return false;
	}
	if (!unbase64(encoded, json)) {
		why = "a LAVA log whose run record is not base64";
		return false;
	}
	if (json.size() != size) {
		why = "a LAVA log whose run record has " + std::to_string(json.size()) +
		      " bytes, not the " + std::to_string(size) + " its first line gives";
		return false;
	}
	return true;
}
