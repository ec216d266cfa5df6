// What every run elsewhere (a guest, another machine) needs from here:
// static programs, checked before anything runs, and this runner's limits.
#ifndef SUITE_AWAY_NEEDS_H
#define SUITE_AWAY_NEEDS_H

#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"

#include <string>
#include <vector>

// The usage error of --kernel and --ssh, found before anything runs or is
// written: the runner and the probes of the plan in o.dir must be static
// programs, as a guest or another machine needs ("DIR/PROBE cannot go
// <where>: ...; <option> needs ..."). False with why.
bool check_away_usage(const std::vector<scenario> &plan, const options &o, std::string &why);

// The options that give a runner elsewhere this one's limits: -j and
// --time-scale.
std::vector<std::string> limit_options(const options &o);

#endif
