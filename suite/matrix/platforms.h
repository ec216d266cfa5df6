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

// The most platforms a file may name: each runs a whole suite beside the
// others.
enum { most_platforms = 100 };

// Every platform of the file, each checked as the runner checks its own
// command line, in platforms. False with why on a usage error, which names
// the file and line: a file that cannot be read or is no regular file of
// at most list_limit bytes, a NUL in a line, a wrong option, more than
// most_platforms. Whether a platform can go into a guest or to another
// machine is the caller's to check (check_away_usage).
bool read_platforms(const std::string &file, std::vector<platform_line> &platforms,
                    std::string &why);

// The runner's options that make the platform o, as its command line.
std::vector<std::string> platform_args(const options &o);

#endif
