// How one run is judged: what its premise, its transcript, its exit status
// and what it left behind say about the platform.
#ifndef SUITE_JUDGE_JUDGE_H
#define SUITE_JUDGE_JUDGE_H

#include "check/contracts/match.h"
#include "check/harness/run.h"
#include "suite/judge/outcome.h"
#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"

#include <string>

struct judgement {
	outcome result = outcome::interrupted;
	std::string why;     // the reason for result; empty for an ok
	std::string listed;  // the expectations file's reason; empty when not listed

	friend bool operator==(const judgement &, const judgement &) = default;
};

// Judges what one run of s gave. signal is the one that stopped the
// runner, if any. v is the contract's verdict, when r could be judged.
judgement judge(const scenario &s, const run_result &r, const options &o, int signal, verdict &v);

#endif
