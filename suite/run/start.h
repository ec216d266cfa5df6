// What the runner puts right about the way it was started, before it opens
// anything of its own.
#ifndef SUITE_RUN_START_H
#define SUITE_RUN_START_H

#include <string>

struct start {
	bool stdout_closed = false;  // it was, and /dev/null stands in for it
	std::string limits;          // inherited limits a probe could run into
};

// Whatever a parent left the runner, every probe must start the same way.
start settle_start();

#endif
