// What happened: every run of every scenario made on this machine, each
// handed on as soon as it is made.
#ifndef SUITE_RUN_HERE_H
#define SUITE_RUN_HERE_H

#include "check/harness/run.h"
#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"

#include <cstddef>
#include <functional>
#include <vector>

// Takes the nth run of scenario i of the plan. Called from several
// threads at once.
using take_run = std::function<void(std::size_t i, int nth, run_result &&r)>;

// One run of s here. stop_fd ends it as interrupted once readable.
run_result play(const scenario &s, const options &o, int stop_fd);

// Runs every scenario of plan here, o.repeat times each, and returns the
// seconds it took.
double run_here(const std::vector<scenario> &plan, const options &o, int stop_fd,
                const take_run &take);

#endif
