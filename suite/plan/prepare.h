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

// Completes o for a run and makes its plan: the probes' folder (by
// default the runner's own) as a whole path, the launcher's path, and the
// scenarios chosen, with the expectations file's reasons. False with why
// on a usage error.
bool prepare(options &o, std::vector<scenario> &plan, std::string &why);

#endif
