// What every run elsewhere (a guest, another machine) needs from here:
// static programs, checked before anything runs, and this runner's limits.
#ifndef SUITE_AWAY_NEEDS_H
#define SUITE_AWAY_NEEDS_H

#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"

#include <string>
#include <vector>

// A usage error unless the runner and the probes of the plan in o.dir are
// static programs, as a guest or another machine needs: "the runner
// cannot go <where>: ...; <option> needs ...".
void need_static(const std::vector<scenario> &plan, const options &o, const char *where,
                 const char *option);

// Usage errors of --kernel and --ssh, found before anything runs or is
// written.
void check_away_usage(const std::vector<scenario> &plan, const options &o);

// The options that give a runner elsewhere this one's limits: -j and
// --time-scale.
std::vector<std::string> limit_options(const options &o);

#endif
