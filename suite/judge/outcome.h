// How a scenario ended, and every form each outcome takes in the reports,
// in one table.
#ifndef SUITE_JUDGE_OUTCOME_H
#define SUITE_JUDGE_OUTCOME_H

#include <span>
#include <string>

enum class outcome {
	ok,           // the platform kept the contract
	unverified,   // kept it as far as the runner could check; the reason says what not
	broken,       // the platform's transcript or status broke it
	unarranged,   // the scenario's premise could not be set up: nothing is judged
	interrupted,  // the run was stopped before the scenario finished
	// Listed in the expectations file (--expect): neither fails the run.
	known,      // broke the contract as listed
	no_longer,  // listed, but kept the contract
};

// Exit statuses, besides 0 for a run in which every scenario was ok.
enum {
	status_broken = 1,      // a scenario broke its contract
	status_usage = 2,       // the command line was wrong
	status_unarranged = 3,  // nothing broke, but a scenario could not be arranged
	status_output = 4,      // the report could not be written
};

struct outcome_form {
	outcome o;
	const char *word;    // in the text report
	const char *name;    // in the JSON record
	const char *colour;  // the word's, on a terminal
	// Which run of a repeated scenario is shown: the first of the highest
	// rank. 3 broke the contract, listed or not; 2 was not judged; 1 kept
	// it unverified, which says more than an ok it might have hidden.
	int rank;
	int status;  // its share in the exit status; status_broken outweighs the rest
	bool tap_ok;
	// What follows " # " on the TAP line, then ": " and the reason: the
	// expectations file's when listed_reason, else the verdict's. A SKIP or
	// TODO directive, or a note a TAP reader takes for part of a pass's
	// description. Null for none.
	const char *tap_note;
	bool listed_reason;
	const char *junit;  // the testcase's element; null for a pass
};

const outcome_form &form(outcome o);
// Every outcome's form, in the order of the enum.
std::span<const outcome_form> every_form();

// The outcome named so in a JSON record; false when none is.
bool outcome_named(const std::string &name, outcome &o);

// The exit status of a run in which these outcomes were seen.
int worse_status(int status, outcome o);

#endif
