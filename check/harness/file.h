// Reading a whole file.
#ifndef CHECK_HARNESS_FILE_H
#define CHECK_HARNESS_FILE_H

#include <cstddef>
#include <string>

// Appends the file at path to data. False, with errno saying why, when it
// cannot be opened or read. For the kernel's own files (/proc).
bool read_file(const std::string &path, std::string &data);

// The largest files a user hands the runner: a run's record or a log, a
// platforms or expectations file, and what an ELF check reads of a
// program (its headers and interpreter's path lie at its start).
enum : std::size_t {
	record_limit = 256ul << 20,
	list_limit = 1ul << 20,
	elf_head_limit = 64ul << 10,
	elf_limit = 256ul << 20,
};

// Reads the regular file at path into data, without waiting: a directory,
// a FIFO or a device is refused, and so is a file of more than limit bytes,
// or, where cut is true, its first limit bytes are kept. False with why,
// in a few words ("it is a directory, not a regular file").
bool read_regular(const std::string &path, std::size_t limit, bool cut, std::string &data,
                  std::string &why);

#endif
