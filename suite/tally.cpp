// Counting what the runs of a scenario gave: their outcomes, and the
// values of the fields that may differ from run to run.
#include "suite/suite.h"

#include <algorithm>
#include <utility>

namespace
{

using choice_map = std::map<std::string, std::vector<std::string>>;

// Adds the named fields of pat that take one of a list of texts, as
// {name=0|1|2}: their names and the texts each may take.
void add_choices(const std::string &pat, choice_map &c)
{
	for (std::size_t open = pat.find('{'); open != std::string::npos;
	     open = pat.find('{', open + 1)) {
		std::size_t close = pat.find('}', open);
		if (close == std::string::npos)
			return;
		std::string f = pat.substr(open + 1, close - open - 1);
		std::size_t eq = f.find('=');
		if (eq == std::string::npos || eq == 0 || f.find('|', eq) == std::string::npos)
			continue;
		std::vector<std::string> &alts = c[f.substr(0, eq)];
		alts.clear();
		for (std::size_t from = eq + 1;;) {
			std::size_t bar = f.find('|', from);
			alts.push_back(f.substr(from, bar == std::string::npos ? bar : bar - from));
			if (bar == std::string::npos)
				break;
			from = bar + 1;
		}
	}
}

std::string joined(const std::vector<std::string> &words)
{
	std::string j;
	for (const std::string &w : words)
		j += (j.empty() ? "" : " or ") + w;
	return j;
}

}  // namespace

// The values run's stdout gave the fields that may vary: each named
// choice, and which source printed last when there are several. Where the
// transcript fits more than one value, the value is all of them, "1 or 2":
// the matcher's pick would be a guess.
std::vector<std::pair<std::string, std::string>> values(const scenario &run)
{
	std::vector<std::pair<std::string, std::string>> seen;
	if (!run.v.ok)
		return seen;
	const std::vector<source> &out = run.expect.out;
	choice_map c;
	std::vector<std::string> names;
	for (const source &s : out) {
		for (const std::string &pat : s.calls)
			add_choices(pat, c);
		if (std::find(names.begin(), names.end(), s.name) == names.end())
			names.push_back(s.name);
	}
	std::string pid = std::to_string(run.got.pid);
	for (const auto &[name, alts] : c) {
		auto bound = run.v.bound.find(name);
		if (bound == run.v.bound.end())
			continue;
		std::vector<std::string> fits;
		for (const std::string &alt : alts)
			if (alt == bound->second ||
			    match(out, run.got.out, {{"pid", pid}, {name, alt}}).ok)
				fits.push_back(alt);
		seen.emplace_back(name, joined(fits));
	}
	if (names.size() > 1)
		seen.emplace_back("printed last", joined(run.v.last));
	return seen;
}

// Counts run, the nth of into's runs, into into's tally. into shows the
// first run of the worst outcome: its transcript and its verdict.
void fold(scenario &into, scenario &run, int nth,
          const std::vector<std::pair<std::string, std::string>> &seen)
{
	tally &t = into.count;
	t.runs++;
	t.seconds += run.got.seconds;
	t.outcomes[run.result]++;
	for (const auto &one : seen) {
		auto f = std::find_if(t.seen.begin(), t.seen.end(),
		                      [&](const auto &known) { return known.first == one.first; });
		if (f == t.seen.end())
			f = t.seen.insert(t.seen.end(), {one.first, {}});
		f->second[one.second]++;
	}
	int worse = severity(run.result) - severity(into.result);
	if (t.shown >= 0 && (worse < 0 || (worse == 0 && nth > t.shown)))
		return;
	t.shown = nth;
	into.got = std::move(run.got);
	into.v = std::move(run.v);
	into.result = run.result;
	into.why = std::move(run.why);
}

// "2 ok, 1 BROKEN": how many runs had each outcome.
std::string counts(const tally &t)
{
	std::string c;
	for (const auto &[o, n] : t.outcomes)
		c += (c.empty() ? "" : ", ") + std::to_string(n) + " " + word(o);
	return c;
}

// "1 in 2 runs, 2 in 1": how many runs showed each value.
std::string spread(const std::map<std::string, int> &values)
{
	std::string s;
	for (const auto &[value, n] : values)
		s += (s.empty() ? "" : ", ") + value + " in " + std::to_string(n) +
		     (s.empty() ? n == 1 ? " run" : " runs" : "");
	return s;
}
