// What the runner puts right about the way it was started, before it opens
// anything of its own, and how the run ends: signals and the exit status.
#ifndef SUITE_START_H
#define SUITE_START_H

#include <string>

struct start {
	bool stdout_closed = false;  // it was, and /dev/null stands in for it
	std::string limits;          // inherited limits a probe could run into
};

// Whatever a parent left the runner, every probe must start the same way.
start settle();

// SIGINT, SIGTERM and SIGHUP, from now on: the first stops the run, a
// second ends the runner at once.
void catch_signals();
// Readable once a signal stopped the run.
int stop_fd();
// The signal that stopped the run; 0 for none.
int stopped();
// The exit status, once the report has (or has not) reached stdout.
int finish(int status, bool stdout_closed);

#endif
