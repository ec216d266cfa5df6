// How long a child's processes waited for a processor. For each thread the
// kernel counts its time on a processor and its time runnable but waiting
// for one: the first two fields of /proc/PID/task/TID/schedstat, in ns.
#ifndef CHECK_HARNESS_WAITS_H
#define CHECK_HARNESS_WAITS_H

#include <sys/types.h>
#include <vector>

struct thread_times {
	pid_t tid;
	long long ran, waited;
};

struct waits {
	std::vector<thread_times> seen;  // every thread at the last look, by tid
	long long at = 0;                // when that was, CLOCK_MONOTONIC
	long long idle = 0;  // time none of them ran, not yet set against a wait (at most 1 s)
};

// Looks at every thread of every descendant of root, at time now, and
// returns how long they were held from a processor since the last look:
// as long as the one that waited longest, but no longer than none of them
// ran. The kernel counts a wait as it ends, so that time may be from
// before the last look, up to a second back. A thread that ended since
// takes its last wait along.
long long held_back(waits &w, pid_t root, long long now);

#endif
