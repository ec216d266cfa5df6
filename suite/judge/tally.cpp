// Counting what the runs of a scenario gave: their outcomes, and the
// values of the fields that may differ from run to run.
#include "suite/judge/tally.h"
#include "suite/judge/judge.h"
#include "suite/text.h"

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

}  // namespace

// The values r's stdout gave the fields that may vary: each named choice,
// and which source printed last when there are several. Where the
// transcript fits more than one value, the value is all of them, "1 or 2":
// the matcher's pick would be a guess.
values varying(const scenario &s, const run_result &r, const verdict &v)
{
	values seen;
	if (!v.ok)
		return seen;
	const std::vector<source> &out = s.expect.out;
	choice_map c;
	std::vector<std::string> names;
	for (const source &src : out) {
		for (const std::string &pat : src.calls)
			add_choices(pat, c);
		if (std::find(names.begin(), names.end(), src.name) == names.end())
			names.push_back(src.name);
	}
	std::string pid = std::to_string(r.pid);
	for (const auto &[name, alts] : c) {
		auto bound = v.bound.find(name);
		if (bound == v.bound.end())
			continue;
		std::vector<std::string> fits;
		for (const std::string &alt : alts)
			if (alt == bound->second ||
			    match(out, r.out, {{"pid", pid}, {name, alt}}).ok)
				fits.push_back(alt);
		seen.emplace_back(name, joined(fits, " or "));
	}
	if (names.size() > 1)
		seen.emplace_back("printed last", joined(v.last, " or "));
	return seen;
}

std::vector<tally> tallies(const std::vector<scenario> &plan)
{
	std::vector<tally> v(plan.size());
	for (std::size_t i = 0; i < plan.size(); i++) {
		v[i].title = title(plan[i]);
		v[i].probe = plan[i].probe;
	}
	return v;
}

void fold(tally &t, int nth, run_result &&r, judgement &&j, const values &seen)
{
	t.runs++;
	t.seconds += r.seconds;
	t.outcomes[j.result]++;
	for (const auto &one : seen) {
		auto f = std::find_if(t.seen.begin(), t.seen.end(),
		                      [&](const auto &known) { return known.first == one.first; });
		if (f == t.seen.end())
			f = t.seen.insert(t.seen.end(), {one.first, {}});
		f->second[one.second]++;
	}
	int higher = form(j.result).rank - form(t.j.result).rank;
	if (t.shown >= 0 && (higher < 0 || (higher == 0 && nth > t.shown)))
		return;
	t.shown = nth;
	t.got = std::move(r);
	t.j = std::move(j);
}

std::string counts(const tally &t)
{
	std::string c;
	for (const auto &[o, n] : t.outcomes)
		c += (c.empty() ? "" : ", ") + std::to_string(n) + " " + form(o).word;
	return c;
}

std::string spread(const std::map<std::string, int> &values)
{
	std::string s;
	for (const auto &[value, n] : values)
		s += (s.empty() ? "" : ", ") + value + " in " + std::to_string(n) +
		     (s.empty() ? n == 1 ? " run" : " runs" : "");
	return s;
}

std::string ending(const run_result &r)
{
	if (r.pid < 0 || describe(r) == "not started")
		return "not started";
	if (r.interrupted)
		return "interrupted after " + fixed(r.seconds, 1) + " s";
	// A wait as long as a stall the runner would notice.
	std::string waited =
	        r.waited >= 0.25 ? ", " + fixed(r.waited, 1) + " s of it waiting for a processor"
	                         : "";
	if (r.timed_out)
		return "timed out after " + fixed(r.seconds, 1) + " s" + waited;
	std::string stalled =
	        r.stalled > 0 ? ", " + fixed(r.stalled, 1) + " s of it with the runner stopped"
	                      : "";
	return describe(r) + ", " + fixed(r.seconds, 2) + " s" + stalled + waited;
}
