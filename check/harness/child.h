// The child run() starts: between the keeper's fork and exec, only
// async-signal-safe calls, as the process it was forked from has other
// threads. It resets its signals, places its descriptors, installs the
// observer's filter, sets its limits and execs, telling run() through the
// observer's link which step failed, should one.
#ifndef CHECK_HARNESS_CHILD_H
#define CHECK_HARNESS_CHILD_H

#include "check/harness/observe.h"
#include "check/harness/run.h"

#include <vector>

struct child_start {
	const run_opts *o;
	char *const *argv, *const *envp;
	const std::vector<int> *keep;  // sorted
	int out, err;
	observer *w;
};

// Runs the child that arg, a child_start, describes; never returns.
[[noreturn]] void exec_child(void *arg);

#endif
