// A fuzz input as a file a reader can open by name.
#ifndef FUZZ_MEMFILE_H
#define FUZZ_MEMFILE_H

#include <cstddef>
#include <cstdint>
#include <string>

// The bytes as an open memory file, named by the returned path; fd is
// closed by the caller. Empty when the file cannot be made.
std::string memfile(const uint8_t *data, size_t size, int &fd);

#endif
