// The files reports go to.
#ifndef SUITE_REPORT_OUTPUT_H
#define SUITE_REPORT_OUTPUT_H

#include <cstdio>
#include <functional>
#include <string>

// A file a report goes to, opened before anything runs; -1 for none. A
// name that cannot be written is a usage error.
int open_output(const std::string &path);
// Empties the file, has write fill it and closes it; false, having said
// why, when that failed. True for no file (fd -1).
bool write_output(int fd, const std::string &path, const std::function<void(FILE *)> &write);
// Whether what goes to standard output is in colour: it is a terminal,
// and NO_COLOR is not set.
bool in_colour();

#endif
