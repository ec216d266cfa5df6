// The reports of a run's record: the text report, TAP, JUnit XML, and
// the exit status.
#ifndef SUITE_REPORT_H
#define SUITE_REPORT_H

#include "suite/record.h"

#include <cstdio>
#include <string>

// The text report: every transcript with its verdict, unless quiet, then
// the summary.
void report(const record &r, bool quiet, bool colour);
void report_tap(const record &r);
void report_junit(FILE *f, const record &r);

// 1 when a run broke its contract, else 3 when one could not be judged,
// else 0.
int exit_status(const record &r);

// One stream, a line per row: numbered, control characters escaped and
// each line's end marked with $, so trailing blanks show.
void show_stream(const char *name, const std::string &text, const char *lead);

#endif
