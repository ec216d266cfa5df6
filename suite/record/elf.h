// What an ELF program's headers say: whether the kernel starts it without a
// program interpreter, and the C library it was built with.
#ifndef SUITE_RECORD_ELF_H
#define SUITE_RECORD_ELF_H

#include "suite/record/record.h"

#include <string>

// Whether path is a program the kernel starts without a program
// interpreter; why says what it is otherwise.
bool is_static(const std::string &path, std::string &why);

// Whether the kernel image at path is a user-mode Linux kernel: a program
// in its own right, where a kernel image for a machine is no ELF file.
bool is_uml(const std::string &path);

// The C library a probe's file shows, in p: its loader's name, or a static
// program's own strings. A static musl program names its version in the
// paths of its sources.
void libc_of(const std::string &path, platform &p);

#endif
