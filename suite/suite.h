// The suite runner's pieces: its scenarios and their outcomes, its
// options, and its reports.
#ifndef SUITE_SUITE_H
#define SUITE_SUITE_H

#include "check/contracts.h"
#include "check/match.h"
#include "check/run.h"

#include <atomic>
#include <deque>
#include <string>
#include <vector>

// How a scenario ended, as the report tells it.
enum class outcome {
	ok,           // the platform kept the contract
	broken,       // the platform's transcript or status broke it
	unarranged,   // the scenario's premise could not be set up: nothing is judged
	interrupted,  // the run was stopped before the scenario finished
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
	std::string why;  // the reason for result; empty for ok
	std::atomic<bool> done{false};
};

struct options {
	std::vector<std::string> launcher;  // words put before the probe's path
	std::vector<std::string> only;      // probe names; empty: all
	std::string dir;                    // where the probes are
	bool tap = false;
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

// report.cpp
std::string fixed(double x, int decimals);
std::string title(const scenario &s);
const char *word(outcome o);
std::string ending(const scenario &s);
void show_stream(const char *name, const std::string &text, const char *lead);
void report(const std::vector<scenario *> &list, double wall);
int exit_status(const std::vector<scenario *> &list);

// tap.cpp
void report_tap(const std::vector<scenario *> &list);

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
