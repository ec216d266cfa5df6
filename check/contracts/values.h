// The checks of the values a transcript bound against what the runner saw
// of the probe's processes, for the contracts' values and own_failure:
// each gives the reason the values break the contract, or empty, with
// unchecked set to why a value could not be checked.
#ifndef CHECK_CONTRACTS_VALUES_H
#define CHECK_CONTRACTS_VALUES_H

#include "check/contracts/match.h"
#include "check/harness/run.h"

#include <string>

// The child's pid the parent printed, against the pid of the child seen.
std::string child_pid(const verdict &v, const run_result &r, std::string &unchecked);

// The descriptors the probe printed, against its pipes as it ends (it
// never closes them): fd[0] the read end, fd[1] the write end of one pipe.
std::string pipe_pair(const verdict &v, const run_result &r, std::string &unchecked);

// The clock readings: both -1 (a failed clock) or neither, never below
// zero, in order, each and their difference at most the processor time
// the kernel accounted to the probe.
std::string clock_readings(const verdict &v, const run_result &r, std::string &unchecked);

#endif
