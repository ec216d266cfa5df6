// The record of a run: the platform it ran on and what each scenario
// gave. One description of each record's fields serves every boundary:
// the JSON file (--json) and the wire a guest sends its raw results on.
#ifndef SUITE_RECORD_RECORD_H
#define SUITE_RECORD_RECORD_H

#include "check/harness/run.h"
#include "suite/judge/tally.h"

#include <map>
#include <string>
#include <vector>

struct platform {
	std::string kernel;  // the release, as the probes saw it
	std::string machine;
	int processors = 0;
	std::string libc;  // the probes' C library: "glibc", "musl", or empty when unknown
	std::string libc_version;
	bool static_probes = false;
	std::vector<std::string> launcher;
	std::string image;        // a virtual machine's kernel image
	std::string accelerator;  // and how it ran: "KVM", "TCG"
	double boot_seconds = 0;  // until the guest's init spoke
	std::string remote;       // the machine it ran on over ssh, as ssh names it
	std::string runner;       // the runner's version
	std::string started;      // UTC, as 2026-12-09T20:00:00Z
	std::string where;        // "Linux 6.1.0 in a virtual machine (TCG), ..."; empty: here
	std::string limits;       // the runner's limits every probe inherits, when any matter

	friend bool operator==(const platform &, const platform &) = default;
};

struct record {
	platform on;
	int repeat = 1;
	double seconds = 0;  // the whole run's wall time
	std::vector<tally> scenarios;

	friend bool operator==(const record &, const record &) = default;
};

// The records of several platforms checked side by side (--platforms), or
// brought together from files (--compare): a column each, in order.
struct column {
	std::string name;
	record r;

	friend bool operator==(const column &, const column &) = default;
};

struct matrix {
	double seconds = 0;  // the whole matrix's wall time
	std::vector<column> platforms;

	friend bool operator==(const matrix &, const matrix &) = default;
};

// The record as one JSON document, and back. read_record is false, with
// why, for a text that is no such record.
std::string json_record(const record &r);
bool read_record(const std::string &text, record &r, std::string &why);

// The matrix as one JSON document, each platform's record as json_record
// writes it. read_records reads one back, or a single platform's record
// as a matrix of one column with no name.
std::string json_matrix(const matrix &m);
bool read_records(const std::string &text, matrix &m, std::string &why);

// A guest's lines, each one JSON object that carries the run's token
// (none when it is empty): who it is, a raw result per scenario, and that
// it is done.
std::string wire_hello(const std::string &token, const platform &p);
std::string wire_result(const std::string &token, const std::string &title, const run_result &r);
std::string wire_done(const std::string &token);

// The longest line a result needs whose streams were each cut at keep
// bytes (run_opts.keep): its bytes, times and reasons encoded at worst.
std::size_t wire_line_bound(std::size_t keep);

// What a guest sent so far. The host sets token and titles before the
// first line.
struct guest_report {
	std::string token;                // every line must carry it
	std::vector<std::string> titles;  // planned: a result for each once, for no other
	std::size_t bound = wire_line_bound(run_opts().keep);  // bytes of a line
	bool ready = false;                                    // its init ran
	bool done = false;                                     // it sent every result
	platform on;                                           // as the guest saw it
	std::map<std::string, run_result> results;             // by scenario title
	std::string refused;  // why a line was not taken, the first such; none: empty
	std::string broken;   // why nothing more is taken; none: empty
	std::string pending;  // a line still on its way
};

// Takes more of the wire, each whole line once, in time linear in n. A
// line that is no JSON object is skipped; one without the token is
// refused. A result with a value out of range, or a second result for a
// title, has its setup say so. A line past the bound or a title not
// planned breaks the wire.
void read_wire(guest_report &g, const char *data, std::size_t n);

#endif
