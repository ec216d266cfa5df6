// The platform matrix: several platforms checked side by side, each by a
// runner of its own, or their saved records brought together; shown as a
// row per scenario and a column per platform, the first the reference.
#ifndef SUITE_MATRIX_H
#define SUITE_MATRIX_H

#include "suite/options.h"
#include "suite/plan.h"
#include "suite/record.h"

#include <cstdio>
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

// platforms.cpp: every platform of the file, each checked as the runner
// checks its own command line; any usage error names the file and line.
std::vector<platform_line> read_platforms(const std::string &file);

// The runner's options that make the platform o, as its command line.
std::vector<std::string> platform_args(const options &o);

// matrix_run.cpp: checks every platform side by side, each by a runner
// of its own, at most a processor's worth of heavy ones at once. stop_fd
// passes a signal on to every runner, whose records then show what
// finished.
matrix run_platforms(const std::vector<platform_line> &platforms, int stop_fd);

// matrix.cpp: --platforms or --compare, as the options ask; the exit
// status.
int run_matrix(options &o);

// The records of the files, a column per platform. A single platform's
// record is named after its file; a platform's name that another file gave
// already gets its file's name in front.
matrix compared(const std::vector<std::string> &files);

// Every scenario's title, each once, in the order the platforms give them.
std::vector<std::string> rows(const matrix &m);
// The platform's tally of the scenario with this title; null for none.
const tally *cell(const column &c, const std::string &title);

// A cell whose outcome differs from the reference's, the first platform's.
struct difference {
	std::string platform, title;
	const tally *t;
	std::string reason;  // the listed reason, or the judgement's
};
std::vector<difference> differences(const matrix &m);

// The matrix_report.cpp: the table, the differences and a summary line;
// the table alone when quiet.
void report_matrix(const matrix &m, bool quiet, bool colour);
// A record of every cell, each titled "PLATFORM: TITLE", for TAP and JUnit.
record flattened(const matrix &m);
int matrix_status(const matrix &m);

// html.cpp: the matrix as one web page.
void report_html(FILE *f, const matrix &m);

#endif
