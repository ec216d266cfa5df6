#include "check/contracts/match.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

namespace
{

using bindings = std::map<std::string, std::string>;

// Length of the field's text at the start of s, or nothing. follow is the
// literal text the pattern has after the field.
std::optional<std::size_t> field(const std::string &kind, std::string_view s,
                                 std::string_view follow)
{
	std::size_t n = 0;
	if (kind == "int") {
		if (n < s.size() && s[n] == '-')
			n++;
		std::size_t digits = n;
		while (n < s.size() && s[n] >= '0' && s[n] <= '9')
			n++;
		if (n == digits)
			return {};
		return n;
	}
	if (kind == "ptr") {
		if (s.starts_with("(nil)"))
			return 5;
		if (!s.starts_with("0x"))
			return {};
		n = 2;
		while (n < s.size() && std::isxdigit((unsigned char)s[n]) &&
		       !std::isupper((unsigned char)s[n]))
			n++;
		if (n == 2)
			return {};
		return n;
	}
	if (kind == "any") {
		// Up to the text that follows the field, within the line.
		std::size_t line = s.find('\n');
		std::size_t end = follow.empty() ? line : s.find(follow);
		if (end == std::string_view::npos)
			return follow.empty() ? std::optional(s.size()) : std::nullopt;
		if (line < end)
			return {};
		return end;
	}
	// Alternatives: the longest that fits.
	std::optional<std::size_t> best;
	std::size_t from = 0;
	for (;;) {
		std::size_t bar = kind.find('|', from);
		std::string alt = kind.substr(from, bar == std::string::npos ? bar : bar - from);
		if (s.starts_with(alt) && (!best || alt.size() > *best))
			best = alt.size();
		if (bar == std::string::npos)
			return best;
		from = bar + 1;
	}
}

// Matches one call's pattern at the start of s; returns its length.
std::optional<std::size_t> call(const std::string &pat, std::string_view s, bindings &b)
{
	std::size_t at = 0;
	for (std::size_t i = 0; i < pat.size();) {
		std::size_t open = pat.find('{', i);
		std::string lit = pat.substr(i, open == std::string::npos ? open : open - i);
		if (!s.substr(at).starts_with(lit))
			return {};
		at += lit.size();
		if (open == std::string::npos)
			break;
		std::size_t close = pat.find('}', open);
		std::string f = pat.substr(open + 1, close - open - 1);
		i = close + 1;
		if (f.starts_with("=")) {
			auto v = b.find(f.substr(1));
			if (v == b.end() || !s.substr(at).starts_with(v->second))
				return {};
			at += v->second.size();
			continue;
		}
		std::size_t eq = f.find('=');
		std::string name = eq == std::string::npos ? "" : f.substr(0, eq);
		std::size_t after = pat.find('{', i);
		std::string follow = pat.substr(i, after == std::string::npos ? after : after - i);
		auto n =
		        field(eq == std::string::npos ? f : f.substr(eq + 1), s.substr(at), follow);
		if (!n)
			return {};
		std::string got(s.substr(at, *n));
		if (!name.empty()) {
			auto [v, fresh] = b.try_emplace(name, got);
			if (!fresh && v->second != got)
				return {};
		}
		at += *n;
	}
	return at;
}

struct search {
	const std::vector<source> &sources;
	std::string_view text;
	std::vector<std::size_t> next;  // per source: index of its next call
	std::size_t furthest = 0;       // the furthest offset where no call matched
	std::vector<std::string> wanted;
	long steps = 0;
	std::size_t last = SIZE_MAX;  // when set: this source's last call must end the text

	bool go(std::size_t at, const bindings &b, bindings &out)
	{
		if (++steps > 2000000)
			return false;
		bool done = true;
		for (std::size_t s = 0; s < sources.size(); s++) {
			if (next[s] == sources[s].calls.size())
				continue;
			if (s > 0 && sources[0].first && next[0] < sources[0].calls.size())
				break;
			done = false;
			if (last < sources.size() && next[last] == sources[last].calls.size())
				break;
			bindings nb = b;
			auto n = call(sources[s].calls[next[s]], text.substr(at), nb);
			if (!n)
				continue;
			next[s]++;
			bool ok = go(at + *n, nb, out);
			next[s]--;
			if (ok)
				return true;
		}
		if (done && at == text.size()) {
			out = b;
			return true;
		}
		note(at);
		return false;
	}

	void note(std::size_t at)
	{
		if (at < furthest)
			return;
		if (at > furthest)
			wanted.clear();
		furthest = at;
		for (std::size_t s = 0; s < sources.size(); s++) {
			std::string w = next[s] < sources[s].calls.size()
			                        ? visible(sources[s].calls[next[s]]) + " (" +
			                                  sources[s].name + ")"
			                        : "";
			if (!w.empty() &&
			    std::find(wanted.begin(), wanted.end(), w) == wanted.end())
				wanted.push_back(w);
		}
	}
};

}  // namespace

std::string visible(const std::string &text)
{
	std::string v;
	for (unsigned char c : text) {
		if (c == '\n')
			v += "\\n";
		else if (c == '\t')
			v += "\\t";
		else if (c == '\\')
			v += "\\\\";
		else if (c < 32 || c == 127) {
			char hex[8];
			snprintf(hex, sizeof hex, "\\x%02x", c);
			v += hex;
		} else
			v += (char)c;
	}
	return "\"" + v + "\"";
}

verdict match(const std::vector<source> &sources, const std::string &text, const bindings &bound)
{
	verdict v;
	search s{sources, text, std::vector<std::size_t>(sources.size()), 0, {}, 0};
	if (s.go(0, bound, v.bound)) {
		v.ok = true;
		for (std::size_t i = 0; i < sources.size(); i++) {
			const std::string &name = sources[i].name;
			if (sources[i].calls.empty() ||
			    std::find(v.last.begin(), v.last.end(), name) != v.last.end())
				continue;
			search t{sources, text, std::vector<std::size_t>(sources.size()), 0, {},
			         0,       i};
			bindings ignored;
			// A search cut short proves nothing: count the source as possible.
			if (sources.size() == 1 || t.go(0, bound, ignored) || t.steps > 2000000)
				v.last.push_back(name);
		}
		return v;
	}
	std::size_t at = s.furthest;
	long line = 1 + std::count(text.begin(), text.begin() + (long)at, '\n');
	std::size_t start = text.rfind('\n', at == 0 ? 0 : at - 1);
	start = at == 0 || start == std::string::npos ? 0 : start + 1;
	std::size_t end = text.find('\n', at);
	std::string got =
	        at >= text.size()
	                ? "end of output"
	                : visible(text.substr(start,
	                                      end == std::string::npos ? end : end + 1 - start));
	std::string expected;
	for (const auto &w : s.wanted)
		expected += (expected.empty() ? "" : " or ") + w;
	if (expected.empty())
		expected = "end of output";
	v.why = "line " + std::to_string(line) + ": expected " + expected + ", got " + got;
	if (s.steps > 2000000)
		v.why += " (search cut short)";
	return v;
}
