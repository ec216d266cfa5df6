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

// The bounds of -j's and --repeat's counts, and of --time-scale.
enum { most_count = 10000 };
constexpr double least_scale = 0.01, most_scale = 1000;

// What parse reads: the command line, or the words of one platform of a
// platforms file, where an option that makes no platform (a report,
// --platforms itself) is a usage error.
enum parse_mode { from_command_line, from_platform_line };

// Fills o from the words and, for another platform, the environment;
// false with why on a usage error. Exits on --help and --version.
bool parse(int argc, char **argv, options &o, parse_mode mode, std::string &why);
// The same for the words of one platform of a platforms file.
bool parse_platform(const std::vector<std::string> &words, options &o, std::string &why);
// Says why and exits with status 2.
[[noreturn]] void bad_usage(const std::string &why);
// Splits a command line at blanks; '...' and "..." group, a backslash
// takes the next character as it is. False on an unclosed quote.
bool split(const std::string &line, std::vector<std::string> &words);
// The path of program as the shell would find it: a regular file that may
// be executed; empty when there is none.
std::string find_program(const std::string &program);

#endif
