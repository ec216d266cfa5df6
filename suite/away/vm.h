// Checking a kernel: the suite inside a virtual machine (or a user-mode
// Linux kernel) that boots it with the runner as its init.
#ifndef SUITE_AWAY_VM_H
#define SUITE_AWAY_VM_H

#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"
#include "suite/record/record.h"
#include "suite/run/here.h"

#include <vector>

// Boots o.kernel with the programs of o.dir and runs the plan in it; every
// scenario is taken once, with the guest's result or with why there is
// none. Fills in what the guest said of its platform.
double run_in_vm(const std::vector<scenario> &plan, const options &o, int stop_fd,
                 const take_run &take, platform &on);

#endif
