// Reading a whole file.
#ifndef CHECK_HARNESS_FILE_H
#define CHECK_HARNESS_FILE_H

#include <string>

// Appends the file at path to data. False, with errno saying why, when it
// cannot be opened or read.
bool read_file(const std::string &path, std::string &data);

#endif
