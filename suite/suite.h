// The suite runner's pieces: its scenarios and their outcomes, its
// options, and its reports.
#ifndef SUITE_SUITE_H
#define SUITE_SUITE_H

#include "check/contracts.h"
#include "check/match.h"
#include "check/run.h"

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

// How a scenario ended, as the report tells it.
enum class outcome {
	ok,           // the platform kept the contract
	broken,       // the platform's transcript or status broke it
	unarranged,   // the scenario's premise could not be set up: nothing is judged
	interrupted,  // the run was stopped before the scenario finished
	// Listed in the expectations file (--expect): neither fails the run.
	known,      // broke the contract as listed
	no_longer,  // listed, but kept the contract
};

// What the runs of one scenario gave, counted.
struct tally {
	int runs = 0;
	int shown = -1;  // the run the scenario's got, v, result and why are from
	double seconds = 0;
	std::map<outcome, int> outcomes;
	// For each field that may vary from run to run, in the order of the
	// first run that showed it: how many runs showed each value.
	std::vector<std::pair<std::string, std::map<std::string, int>>> seen;
};

struct scenario {
	std::string probe;
	std::string how;  // how it is started, when not as from a shell
	contract expect;
	bool tty = true;    // standard output on a terminal, as from a shell
	bool fed = false;   // descriptor 9001 open on a pipe holding the message
	bool slow = false;  // one of the 5-second probes
	run_result got;
	verdict v;  // the contract's verdict, when the scenario could be judged
	outcome result = outcome::interrupted;
	std::string why;     // the reason for result; empty for ok
	std::string listed;  // the expectations file's reason; empty when not listed
	tally count;         // over all its runs
};

struct options {
	std::vector<std::string> launcher;  // words put before the probe's path
	std::vector<std::string> only;      // probe names; empty: all
	std::string dir;                    // where the probes are
	std::string expect;                 // the expectations file
	std::string kernel;                 // a kernel image to boot and run the suite in
	bool tap = false;
	std::string junit;    // where to write a JUnit report; empty: nowhere
	bool quiet = false;   // the summary alone
	bool list = false;    // list the scenarios instead of running them
	bool colour = false;  // verdict words in colour
	int jobs = 4;         // the three 5-second probes side by side, the quick ones beside them
	int repeat = 1;
	double time_scale = 1;  // every time limit is multiplied by it
};

// Exit statuses, besides 0 for a run in which every scenario was ok.
enum {
	status_broken = 1,      // a scenario broke its contract
	status_usage = 2,       // the command line was wrong
	status_unarranged = 3,  // nothing broke, but a scenario could not be arranged
	status_output = 4,      // the report could not be written
};

// options.cpp
void parse(int argc, char **argv, options &o);
[[noreturn]] void bad_usage(const std::string &why);
bool split(const std::string &line, std::vector<std::string> &words);
std::string find_program(const std::string &program);

// scenarios.cpp
void standard(std::deque<scenario> &s);
void play(scenario &s, const options &o);
std::string started(const scenario &s);

// tally.cpp
std::vector<std::pair<std::string, std::string>> values(const scenario &run);
void fold(scenario &into, scenario &run, int nth,
          const std::vector<std::pair<std::string, std::string>> &seen);
std::string counts(const tally &t);
std::string spread(const std::map<std::string, int> &values);
void judge(scenario &s, const options &o);

// report.cpp
extern std::string platform;  // what the suite ran on, when not this machine
std::string fixed(double x, int decimals);
double seconds_since(std::chrono::steady_clock::time_point t0);
std::string title(const scenario &s);
const char *word(outcome o);
int severity(outcome o);
std::string painted(outcome o, const options &opt);
std::string ending(const scenario &s);
void show_stream(const char *name, const std::string &text, const char *lead);
void report(const std::vector<scenario *> &list, const options &o, double wall);
int exit_status(const std::vector<scenario *> &list);

// expect.cpp
void read_expectations(const std::string &file, std::deque<scenario> &all);
void apply_expectations(const std::vector<scenario *> &list);

// tap.cpp
void report_tap(const std::vector<scenario *> &list);

// junit.cpp
void report_junit(FILE *f, const std::vector<scenario *> &list, const options &o, double wall);
// start.cpp
void settle();
bool stdout_closed();
const std::string &inherited_limits();

// signals.cpp
void catch_signals();
int stop_fd();
int stopped();
int finish(int status);

#endif
