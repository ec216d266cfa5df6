// What happened: every run of every scenario, made on this machine or in
// a guest, each handed on as soon as it is made.
#ifndef SUITE_RUNS_H
#define SUITE_RUNS_H

#include "check/run.h"
#include "suite/options.h"
#include "suite/plan.h"
#include "suite/record.h"

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

// vm.cpp: boots o.kernel with the programs of o.dir and runs the plan in
// it; every scenario is taken once, with the guest's result or with why
// there is none. Fills in what the guest said of its platform.
double run_in_vm(const std::vector<scenario> &plan, const options &o, int stop_fd,
                 const take_run &take, platform &on);

// Usage errors of --kernel and --ssh, found before anything runs or is
// written.
void check_away_usage(const std::vector<scenario> &plan, const options &o);

// ssh.cpp: runs the plan on the machine o.ssh names, with the static
// programs of o.dir; as run_in_vm.
double run_over_ssh(const std::vector<scenario> &plan, const options &o, int stop_fd,
                    const take_run &take, platform &on);

#endif
