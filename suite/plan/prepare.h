// What a run needs besides the command line: the probes' folder, the
// launcher's path and the scenarios chosen.
#ifndef SUITE_PLAN_PREPARE_H
#define SUITE_PLAN_PREPARE_H

#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"

#include <string>
#include <vector>

// The folder the runner's own program is in.
std::string own_dir();

// Completes o for a run and returns its plan: the probes' folder (by
// default the runner's own), the launcher's path, and the scenarios
// chosen, with the expectations file's reasons. Exits on a usage error.
std::vector<scenario> prepare(options &o);

#endif
