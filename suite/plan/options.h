// The runner's command line.
#ifndef SUITE_PLAN_OPTIONS_H
#define SUITE_PLAN_OPTIONS_H

#include <string>
#include <vector>

struct options {
	std::vector<std::string> launcher;     // words put before the probe's path
	std::vector<std::string> only;         // probe names; empty: all
	std::string dir;                       // where the probes are
	std::string expect;                    // the expectations file
	std::string kernel;                    // a kernel image to boot and run the suite in
	std::string ssh;                       // a machine to run the suite on, as ssh names it
	std::vector<std::string> ssh_options;  // each passed on to ssh after -o
	bool raw = false;  // send raw results to stdout, for a runner that judges them elsewhere
	bool tap = false;
	std::string junit;   // where to write a JUnit report; empty: nowhere
	std::string json;    // where to write the run's JSON record; empty: nowhere
	bool quiet = false;  // the summary alone
	bool list = false;   // list the scenarios instead of running them
	int jobs = 4;        // the three 5-second probes side by side, the quick ones beside them
	int repeat = 1;
	double time_scale = 1;             // every time limit is multiplied by it
	std::string platforms;             // a file of platforms to check side by side
	std::vector<std::string> compare;  // saved records to show as a matrix, running nothing
	std::string html;                  // where to write the matrix as a web page
	// From the environment, for --kernel: PROBESUITE_ACCEL ("tcg", "kvm",
	// or empty for KVM where it works, else TCG) and PROBESUITE_BOOT_TIMEOUT
	// (0: each accelerator's own bound).
	std::string accel;
	double boot_timeout = 0;
};

// Fills o from the command line and the environment; exits on --help,
// --version or a usage error.
void parse(int argc, char **argv, options &o);
// Fills o from the words of one platform of a platforms file; an option
// that makes no platform (a report, --platforms itself) is a usage error.
void parse_platform(const std::vector<std::string> &words, options &o);
[[noreturn]] void bad_usage(const std::string &why);
// What every usage error begins with from now on: "FILE:LINE: " while a
// platforms file is read, else nothing.
void usage_at(const std::string &where);
bool split(const std::string &line, std::vector<std::string> &words);
std::string find_program(const std::string &program);

#endif
