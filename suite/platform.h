// What the suite runs on: this machine, the probes' C library and the
// launcher, as the record and the reports name them.
#ifndef SUITE_PLATFORM_H
#define SUITE_PLATFORM_H

#include "suite/options.h"
#include "suite/plan.h"
#include "suite/record.h"

#include <string>

// This machine's kernel and processors, and the rest the plan and the
// options tell: the probes' C library, the launcher, the runner's version
// and the time, now.
platform here(const std::vector<scenario> &plan, const options &o);

// Whether path is a program the kernel starts without a program
// interpreter; why says what it is otherwise.
bool is_static(const std::string &path, std::string &why);

// A usage error unless the runner and the probes of the plan in o.dir are
// static programs, as a guest or another machine needs: "the runner
// cannot go <where>: ...; <option> needs ...".
void need_static(const std::vector<scenario> &plan, const options &o, const char *where,
                 const char *option);

// This machine's kernel release, machine and processors, alone.
platform this_machine();

// Whether the kernel image at path is a user-mode Linux kernel: a program
// in its own right, where a kernel image for a machine is no ELF file.
bool is_uml(const std::string &path);

#endif
