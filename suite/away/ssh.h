// Running the suite on another machine over ssh.
#ifndef SUITE_AWAY_SSH_H
#define SUITE_AWAY_SSH_H

#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"
#include "suite/record/record.h"
#include "suite/run/here.h"

#include <vector>

// Runs the plan on the machine o.ssh names, with the static programs of
// o.dir; as run_in_vm.
double run_over_ssh(const std::vector<scenario> &plan, const options &o, int stop_fd,
                    const take_run &take, platform &on);

#endif
