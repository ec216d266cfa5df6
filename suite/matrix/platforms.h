// The platforms file (--platforms): a platform a line, each made by the
// runner's options.
#ifndef SUITE_MATRIX_PLATFORMS_H
#define SUITE_MATRIX_PLATFORMS_H

#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"

#include <string>
#include <vector>

// One line of a platforms file.
struct platform_line {
	std::string name;
	int line = 0;
	options o;  // its options, each path made whole
	std::vector<scenario> plan;
	// It keeps a processor busy most of the time it runs: a kernel
	// booted, an emulator or an instrumenting launcher, more time asked.
	bool heavy = false;
};

// Every platform of the file, each checked as the runner checks its own
// command line; any usage error names the file and line.
std::vector<platform_line> read_platforms(const std::string &file);

// The runner's options that make the platform o, as its command line.
std::vector<std::string> platform_args(const options &o);

#endif
