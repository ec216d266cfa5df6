// Saved records brought together as one matrix (--compare).
#ifndef SUITE_MATRIX_COMPARE_H
#define SUITE_MATRIX_COMPARE_H

#include "suite/record/record.h"

#include <string>
#include <vector>

// The records of the files, a column per platform. A single platform's
// record is named after its file; a platform's name that another file gave
// already gets its file's name in front. False with why on a usage error:
// a file that cannot be read, is no regular file of at most record_limit
// bytes, or holds no record.
bool compared(const std::vector<std::string> &files, matrix &m, std::string &why);

#endif
