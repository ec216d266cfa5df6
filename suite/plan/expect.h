// The expectations file (--expect): scenarios known to break their
// contract on the platform at hand, each with the reason.
#ifndef SUITE_PLAN_EXPECT_H
#define SUITE_PLAN_EXPECT_H

#include "suite/plan/scenarios.h"

#include <string>
#include <vector>

// Sets the listed reason of every scenario the file names. False, with why
// ("FILE:LINE: why"), for a file that cannot be read or is no regular file
// of at most list_limit bytes, a line without a reason or with a NUL, or a
// name that is no scenario's.
bool read_expectations(const std::string &file, std::vector<scenario> &all, std::string &why);

#endif
