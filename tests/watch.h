// Watching what a probe does besides printing: its own raw write calls,
// recorded by the preloaded fault library, and its memory use under
// valgrind's memcheck.
#ifndef TESTS_WATCH_H
#define TESTS_WATCH_H

#include "tests/common.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

// A file for the fault library's record of the probe's own write calls:
// "<fd> <count> <result>:" then the bytes written and a newline, per call.
class write_trace
{
public:
	write_trace()
	{
		char name[] = "/tmp/probe-writes-XXXXXX";
		int fd = mkstemp(name);
		if (fd >= 0)
			close(fd);
		path_ = name;
	}
	write_trace(const write_trace &) = delete;
	write_trace &operator=(const write_trace &) = delete;
	~write_trace()
	{
		unlink(path_.c_str());
	}
	std::string env() const
	{
		return "FAULT_TRACE_WRITE=" + path_;
	}
	std::string text() const
	{
		std::ifstream in(path_, std::ios::binary);
		std::ostringstream s;
		s << in.rdbuf();
		return s.str();
	}

private:
	std::string path_;
};

// One record of write_trace, as the library writes it.
inline std::string write_record(int fd, const std::string &bytes, long result)
{
	return std::to_string(fd) + " " + std::to_string(bytes.size()) + " " +
	       std::to_string(result) + ":" + bytes + "\n";
}

// Runs the probe under memcheck instead. Any error it finds (an
// uninitialised byte reaching output, a bad access, a definite leak) makes
// the probe exit with 99, which breaks every contract; the report goes to
// stderr, which every contract also checks. The sanitizer builds skip it:
// valgrind cannot run a sanitized binary. So do static probes: memcheck
// preloads its allocator, so in them it sees no heap block and takes the C
// library's own allocator for the program's errors.
#define UNDER_MEMCHECK(o)                                                                          \
	do {                                                                                       \
		if (SANITIZED)                                                                     \
			GTEST_SKIP() << "memcheck runs on the plain build";                        \
		if (names_no_loader((o).argv[0]))                                                  \
			GTEST_SKIP()                                                               \
			        << "static: memcheck's allocator cannot reach " << (o).argv[0];    \
		(o).argv.insert((o).argv.begin(), {"/usr/bin/valgrind", "--tool=memcheck", "-q",   \
		                                   "--error-exitcode=99", "--leak-check=full",     \
		                                   "--track-origins=yes"});                        \
		(o).timeout = 60;                                                                  \
	} while (0)

#endif
