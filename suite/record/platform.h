// What the suite runs on: this machine, the probes' C library and the
// launcher, as the record and the reports name them.
#ifndef SUITE_RECORD_PLATFORM_H
#define SUITE_RECORD_PLATFORM_H

#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"
#include "suite/record/record.h"

#include <vector>

// This machine's kernel and processors, and the rest the plan and the
// options tell: the probes' C library, the launcher, the runner's version
// and the time, now.
platform this_platform(const std::vector<scenario> &plan, const options &o);

// This machine's kernel release, machine and processors, alone.
platform this_machine();

#endif
