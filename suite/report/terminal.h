// The text report of a run's record, and the exit status it gives.
#ifndef SUITE_REPORT_TERMINAL_H
#define SUITE_REPORT_TERMINAL_H

#include "suite/record/record.h"

#include <cstdio>
#include <string>

// The text report: every transcript with its verdict, unless quiet, then
// the summary.
void report(const record &r, bool quiet, bool colour);

// 1 when a run broke its contract, else 3 when one could not be judged,
// else 0; or status when that is worse.
int exit_status(const record &r, int status = 0);

// The outcome's word, in its colour when the report is in colour.
std::string painted(outcome o, bool colour);

// One stream, a line per row: numbered, control characters escaped and
// each line's end marked with $, so trailing blanks show.
void show_stream(FILE *f, const char *name, const std::string &text, const char *lead);

#endif
