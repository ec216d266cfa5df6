// The reports of a run's record: the text report, TAP, JUnit XML, and
// the exit status.
#ifndef SUITE_REPORT_H
#define SUITE_REPORT_H

#include "suite/record.h"

#include <cstdio>
#include <functional>
#include <string>

// The text report: every transcript with its verdict, unless quiet, then
// the summary.
void report(const record &r, bool quiet, bool colour);
void report_tap(const record &r);
void report_junit(FILE *f, const record &r);

// 1 when a run broke its contract, else 3 when one could not be judged,
// else 0; or status when that is worse.
int exit_status(const record &r, int status = 0);

// The outcome's word, in its colour when the report is in colour.
std::string painted(outcome o, bool colour);

// One stream, a line per row: numbered, control characters escaped and
// each line's end marked with $, so trailing blanks show.
void show_stream(FILE *f, const char *name, const std::string &text, const char *lead);

// A file a report goes to, opened before anything runs; -1 for none. A
// name that cannot be written is a usage error.
int open_output(const std::string &path);
// Empties the file, has write fill it and closes it; false, having said
// why, when that failed. True for no file (fd -1).
bool write_output(int fd, const std::string &path, const std::function<void(FILE *)> &write);

#endif
