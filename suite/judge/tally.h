// What the runs of one scenario gave, counted: their outcomes, and the
// values of the fields that may differ from run to run.
#ifndef SUITE_JUDGE_TALLY_H
#define SUITE_JUDGE_TALLY_H

#include "check/contracts/match.h"
#include "check/harness/run.h"
#include "suite/judge/judge.h"
#include "suite/plan/scenarios.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

// For each field that may vary from run to run: its name and the value
// this run showed.
using values = std::vector<std::pair<std::string, std::string>>;
values varying(const scenario &s, const run_result &r, const verdict &v);

// What the runs of one scenario gave: the run shown (the first of its
// worst outcome) with its judgement, and the counts over all runs.
struct tally {
	std::string title, probe;
	run_result got;
	judgement j;
	int runs = 0;
	int shown = -1;  // which run got and j are from
	double seconds = 0;
	std::map<outcome, int> outcomes;
	// For each field that may vary, in the order of the first run that
	// showed it: how many runs showed each value.
	std::vector<std::pair<std::string, std::map<std::string, int>>> seen;

	friend bool operator==(const tally &, const tally &) = default;
};

// A tally for each scenario of the plan, none of its runs made yet.
std::vector<tally> tallies(const std::vector<scenario> &plan);

// Counts the nth run of a scenario into t.
void fold(tally &t, int nth, run_result &&r, judgement &&j, const values &seen);

// "2 ok, 1 BROKEN": how many runs had each outcome.
std::string counts(const tally &t);
// "1 in 2 runs, 2 in 1": how many runs showed each value.
std::string spread(const std::map<std::string, int> &values);
// How the probe ended, in a few words: "exit 0, 0.01 s".
std::string ending(const run_result &r);

#endif
