// Running a program as a child with chosen descriptors, environment and
// resource limits, and capturing what it did.
#ifndef CHECK_HARNESS_RUN_H
#define CHECK_HARNESS_RUN_H

#include "check/harness/observe.h"

#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <utility>
#include <vector>

struct run_opts {
	std::vector<std::string> argv;               // argv[0] is a path, not searched
	std::vector<std::string> env;                // NAME=VALUE added to our own
	std::vector<std::pair<int, int>> fds;        // {target, source}: dup2'd in the child
	std::vector<std::pair<int, rlim_t>> limits;  // {resource, soft and hard value}
	bool tty = false;         // stdout on a pseudo-terminal instead of a pipe
	bool err_to_out = false;  // stderr on the same pipe or terminal as stdout
	// Seconds before the child and all it started are killed, counted only
	// while its processes had a processor when they wanted one; at most 4
	// times as long by the clock.
	double timeout = 30;
	void (*in_child)() = nullptr;  // runs in the child just before exec
	double linger = 1;           // seconds after its end for what it started to end too, alike
	std::size_t keep = 1 << 20;  // bytes kept of each stream: past it the child is killed
	int stop_fd = -1;            // once readable, everything is ended as interrupted
	// Unless this is set: then a readable stop_fd sends the child, once,
	// the signal it returns, and the child ends in its own time, within
	// its limits, as if nothing had stopped.
	int (*pass_stop)() = nullptr;
	observe_opts observe;  // which process is the probe, and what it got
};

struct run_result {
	std::string setup;  // why the child could not be set up and started; empty when it was
	pid_t pid = -1;
	bool exited = false;  // ended by exit: code holds the status
	int code = -1;
	int signal = 0;  // ended by this signal
	bool timed_out = false;
	bool interrupted = false;  // stop_fd became readable before the child was done
	double seconds = 0;        // from start to the child's end
	double stalled = 0;        // of those, seconds this process was stopped itself
	std::string out, err;      // the first o.keep bytes of each
	std::size_t out_total = 0, err_total = 0;  // bytes written to each, kept or not
	int left = 0;  // processes still running after the linger, killed by run()
	// {pid, wait status} of the other descendants that ended with no parent
	// left to reap them, in the order they ended (the first thousand).
	std::vector<std::pair<pid_t, int>> reaped;
	std::string meddled;  // what a descendant did to the process looking after it
	// Where each chunk of out began and when it arrived, seconds from start.
	std::vector<std::pair<std::size_t, double>> out_times;
	observed seen;      // the probe's process, when run_opts.observe asked for it
	double waited = 0;  // of seconds, its processes waited this long for a processor
	// Why it timed out at the hard limit, not its own: it mostly waited for
	// a processor, and nothing can be said of it.
	std::string busy;

	friend bool operator==(const run_result &, const run_result &) = default;
};

run_result run(const run_opts &o);

// Seconds from start until byte at of out arrived; -1 when there is none.
double arrival(const run_result &r, std::size_t at);

// "exit 0", "killed by signal 9 (Killed)", "timed out": for messages.
std::string describe(const run_result &r);

#endif
