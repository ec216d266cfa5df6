// The scenarios every probe runs in, each with its premise (how its
// descriptors are set up), its contract and, from an expectations file,
// the reason it is known to differ.
#ifndef SUITE_PLAN_SCENARIOS_H
#define SUITE_PLAN_SCENARIOS_H

#include "check/contracts/contracts.h"

#include <string>
#include <vector>

struct scenario {
	std::string probe;
	std::string how;  // how it is started, when not as from a shell
	contract expect;
	bool tty = true;     // standard output on a terminal, as from a shell
	bool fed = false;    // descriptor 9001 open on a pipe holding the message
	bool slow = false;   // one of the 5-second probes
	std::string listed;  // the expectations file's reason; empty when not listed
};

// What a partner process leaves in descriptor 9001: the message and its
// terminating zero byte.
extern const std::string message;

// Every scenario, in the order of the report.
std::vector<scenario> standard();

std::string title(const scenario &s);

// Its time limit, in seconds, before --time-scale: the contract's bound,
// or 5 s for a probe whose contract sets none.
double time_limit(const scenario &s);

// How s is started, for --list.
std::string started(const scenario &s);

#endif
