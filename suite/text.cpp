#include "suite/text.h"

#include <cstdio>
#include <cstring>

std::string fixed(double x, int decimals)
{
	char buf[32];
	snprintf(buf, sizeof buf, "%.*f", decimals, x);
	return buf;
}

std::string scale_text(double x)
{
	char buf[32];
	snprintf(buf, sizeof buf, "%.17g", x);
	return buf;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

const char *markup_entity(char c)
{
	switch (c) {
	case '&':
		return "&amp;";
	case '<':
		return "&lt;";
	case '>':
		return "&gt;";
	case '"':
		return "&quot;";
	default:
		return nullptr;
	}
}

std::size_t utf8_length(const std::string &t, std::size_t i, unsigned long *code)
{
	unsigned char c = t[i];
	*code = c;
	if (c < 0x80)
		return 1;
	std::size_t n = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
	if (n == 0 || c > 0xf4 || i + n > t.size())
		return 0;
	unsigned long u = c & (0x7f >> n);
	for (std::size_t k = 1; k < n; k++) {
		unsigned char d = t[i + k];
		if ((d & 0xc0) != 0x80)
			return 0;
		u = u << 6 | (d & 0x3f);
	}
	static const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
	if (u < least[n] || u > 0x10ffff || (u >= 0xd800 && u <= 0xdfff))
		return 0;
	*code = u;
	return n;
}

bool is_utf8(const std::string &t)
{
	unsigned long code;
	for (std::size_t i = 0, n; i < t.size(); i += n)
		if ((n = utf8_length(t, i, &code)) == 0)
			return false;
	return true;
}

std::string escaped(const std::string &text, bool backslashes)
{
	std::string e;
	for (std::size_t i = 0, n; i < text.size(); i += n) {
		unsigned long code;
		n = utf8_length(text, i, &code);
		if (n > 1 && code >= 0xa0) {
			e.append(text, i, n);
			continue;
		}
		n = n ? n : 1;
		for (std::size_t k = i; k < i + n; k++) {
			unsigned char c = text[k];
			if (c == '\n')
				e += "\\n";
			else if (c == '\t')
				e += "\\t";
			else if (c == '\\' && backslashes)
				e += "\\\\";
			else if (c < 0x20 || c >= 0x7f)
				e += {'\\', 'x', "0123456789abcdef"[c >> 4],
				      "0123456789abcdef"[c & 15]};
			else
				e += (char)c;
		}
	}
	return e;
}

std::string counted(long n, const char *one, const char *many)
{
	return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string shell_words(const std::vector<std::string> &words)
{
	std::string line;
	for (const std::string &w : words) {
		line += line.empty() ? "'" : " '";
		for (char c : w)
			line += c == '\'' ? std::string("'\\''") : std::string(1, c);
		line += "'";
	}
	return line;
}

std::vector<std::pair<int, std::string>> meant_lines(const std::string &text)
{
	std::vector<std::pair<int, std::string>> lines;
	int n = 0;
	for (std::size_t at = 0; at < text.size();) {
		std::size_t nl = text.find('\n', at);
		if (nl == std::string::npos)
			nl = text.size();
		std::string l = text.substr(at, nl - at);
		at = nl + 1;
		n++;
		if (!l.empty() && l.back() == '\r')
			l.pop_back();
		if (l.find_first_not_of(" \t") != std::string::npos && l[0] != '#')
			lines.emplace_back(n, std::move(l));
	}
	return lines;
}

std::string joined(const std::vector<std::string> &words, const char *sep)
{
	std::string j;
	for (const std::string &w : words)
		j += (j.empty() ? "" : sep) + w;
	return j;
}

std::string cut(const std::string &t)
{
	std::size_t n = 200;
	if (t.size() <= n)
		return t;
	while (n > 0 && ((unsigned char)t[n] & 0xc0) == 0x80)
		n--;
	return t.substr(0, n) + "\xe2\x80\xa6";  // …
}

namespace
{

const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string base64(const std::string &s)
{
	std::string e;
	for (std::size_t i = 0; i < s.size(); i += 3) {
		unsigned long v = (unsigned char)s[i] << 16;
		if (i + 1 < s.size())
			v |= (unsigned char)s[i + 1] << 8;
		if (i + 2 < s.size())
			v |= (unsigned char)s[i + 2];
		for (std::size_t k = 0; k < 4; k++)
			e += k <= s.size() - i ? b64[(v >> (18 - 6 * k)) & 63] : '=';
	}
	return e;
}

bool base64_letters(const std::string &s)
{
	for (char c : s)
		if (c != '=' && (!c || !strchr(b64, c)))
			return false;
	return !s.empty();
}

bool unbase64(const std::string &e, std::string &s)
{
	if (e.size() % 4)
		return false;
	s.clear();
	s.reserve(e.size() / 4 * 3);
	for (std::size_t i = 0; i < e.size(); i += 4) {
		unsigned long v = 0;
		int pad = 0;
		for (std::size_t k = 0; k < 4; k++) {
			const char *at = e[i + k] ? strchr(b64, e[i + k]) : nullptr;
			if (e[i + k] == '=' && i + 4 == e.size() && k >= 2)
				pad++;
			else if (!at || pad)
				return false;
			v = v << 6 | (at ? at - b64 : 0);
		}
		s += (char)(v >> 16);
		if (pad < 2)
			s += (char)(v >> 8 & 255);
		if (pad < 1)
			s += (char)(v & 255);
	}
	return true;
}
