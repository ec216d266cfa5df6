// Whether this program carries a sanitizer's runtime, and so the probes built
// beside it with the same flags, however the sanitizer was asked for (the
// SANITIZE option or -fsanitize in CMAKE_CXX_FLAGS, with either compiler).
// Every sanitizer's runtime defines this function; the weak reference to it
// stays null when none is linked in.
#ifndef TESTS_SANITIZED_H
#define TESTS_SANITIZED_H

extern "C" void __sanitizer_print_stack_trace() __attribute__((weak));

#define SANITIZED (&__sanitizer_print_stack_trace != nullptr)

#endif
