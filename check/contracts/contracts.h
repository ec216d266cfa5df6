// What each probe must print, and how it must end, in each scenario.
// A null error text means the call succeeded; otherwise it is the strerror
// text the probe must show.
#ifndef CHECK_CONTRACTS_CONTRACTS_H
#define CHECK_CONTRACTS_CONTRACTS_H

#include "check/contracts/match.h"
#include "check/harness/run.h"

#include <string>
#include <vector>

struct contract {
	std::vector<source> out, err;
	int code = 0;
	double min_seconds = 0;  // bounds on the running time; 0: none
	double max_seconds = 0;
	// What the runner saw of the probe's processes may choose the page's
	// variant of the contract (reapcheck's existing child), and bounds the
	// values the transcript bound: the reason they break it, or empty, with
	// unchecked set to why a value could not be checked.
	contract (*variant)(const contract &c, const run_result &r) = nullptr;
	std::string (*values)(const verdict &v, const run_result &r,
	                      std::string &unchecked) = nullptr;
	// Where the run broke the contract by the probe's own account (a
	// failed split), that account for the reason; else empty.
	std::string (*own_failure)(const run_result &r) = nullptr;
};

contract ringhand(const char *err1 = nullptr, const char *err2 = nullptr);
contract cells(bool twin, const char *err1 = nullptr, const char *err2 = nullptr);
contract ductopen(bool piped = true);
contract ductread(const std::string &text, bool failed);
contract splitcount(bool tty, bool forked = true);
contract reapcheck(const std::string &val = "-1", const std::string &status = "0");
contract selfreport();
contract tickspan(bool clock_ok = true);
contract raiseprint();

// Matches r against c, or against the variant c chooses for r, and
// checks the values it bound. "pid" is bound to the probe's pid as observed (to
// the child's when run() was not asked to observe); where it could not be
// observed, the pid lines are checked for their form and an ok verdict's
// why says "pid not verified: ...", as it says why a value went unchecked.
// The names the patterns bind come back in the verdict.
verdict check_contract(const contract &c, const run_result &r);

#endif
