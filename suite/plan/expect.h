// The expectations file (--expect): scenarios known to break their
// contract on the platform at hand, each with the reason.
#ifndef SUITE_PLAN_EXPECT_H
#define SUITE_PLAN_EXPECT_H

#include "suite/plan/scenarios.h"

#include <string>
#include <vector>

// Sets the listed reason of every scenario the file names; a file that
// cannot be read, a line without a reason, or a name that is no
// scenario's is a usage error.
void read_expectations(const std::string &file, std::vector<scenario> &all);

#endif
