// What the probe tests share: where the probes are, how to start one, and
// how to say why a transcript broke its contract.
#ifndef TESTS_COMMON_H
#define TESTS_COMMON_H

#include "check/contracts/contracts.h"
#include "check/contracts/match.h"
#include "check/harness/run.h"
#include "tests/sanitized.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <utility>
#include <vector>

inline run_opts probe(const std::string &name)
{
	run_opts o;
	o.argv = {std::string(PROBE_DIR) + "/" + name};
	return o;
}

// A tool run on a build product (readelf, objdump): all it prints, which
// for a static program is far more than a probe's bound.
inline run_result run_tool(std::vector<std::string> argv)
{
	run_opts o;
	o.argv = std::move(argv);
	o.keep = std::size_t(1) << 30;
	o.timeout = 60;
	return run(o);
}

// True when the program at path names no loader (no PT_INTERP): it is
// static, and nothing preloaded reaches it.
inline bool names_no_loader(const std::string &path)
{
	run_result r = run_tool({"/usr/bin/readelf", "-W", "-l", path});
	EXPECT_EQ(describe(r), "exit 0") << r.err;
	EXPECT_NE(r.out.find("Program Headers:"), std::string::npos) << r.out;
	return r.out.find("\n  INTERP ") == std::string::npos;
}

// Makes the calls that setting (say "FAULT_FORK=1") names fail in the probe.
// The preloaded library cannot come before a sanitizer's runtime, nor reach
// a static probe, so those builds skip these cases.
#define WITH_FAULT(o, setting)                                                                     \
	do {                                                                                       \
		if (SANITIZED)                                                                     \
			GTEST_SKIP() << "fault injection needs the plain build";                   \
		if (names_no_loader((o).argv[0]))                                                  \
			GTEST_SKIP() << "static: nothing preloaded reaches " << (o).argv[0];       \
		(o).env.push_back(std::string("LD_PRELOAD=") + FAULT_LIB);                         \
		(o).env.push_back(setting);                                                        \
	} while (0)

// Whether r ended by exit with status code; when not, what was expected
// and what came ("expected exit 1, got killed by signal 11 (...)").
inline testing::AssertionResult ended_with_exit(const run_result &r, int code)
{
	if (r.exited && r.code == code)
		return testing::AssertionSuccess();
	return testing::AssertionFailure() << "expected exit " << code << ", got " << describe(r);
}

// The same of a wait status.
inline testing::AssertionResult ended_with_exit(int status, int code)
{
	if (WIFEXITED(status) && WEXITSTATUS(status) == code)
		return testing::AssertionSuccess();
	testing::AssertionResult no = testing::AssertionFailure();
	no << "expected exit " << code << ", got ";
	if (WIFEXITED(status))
		no << "exit " << WEXITSTATUS(status);
	else if (WIFSIGNALED(status))
		no << "signal " << WTERMSIG(status);
	else
		no << "wait status " << status;
	return no;
}
#define EXPECT_STATUS(r, code) EXPECT_TRUE(ended_with_exit((r), (code)))
#define ASSERT_STATUS(r, code) ASSERT_TRUE(ended_with_exit((r), (code)))

// Fails the test, saying why and showing the transcript, when r breaks c.
// Returns the verdict, whose names hold the values the patterns bound.
inline verdict expect_contract(const contract &c, const run_result &r, const char *file, int line)
{
	verdict v = check_contract(c, r);
	if (!v.ok)
		ADD_FAILURE_AT(file, line) << v.why << "\n  stdout: " << visible(r.out)
		                           << "\n  stderr: " << visible(r.err);
	return v;
}
#define EXPECT_CONTRACT(c, r) expect_contract((c), (r), __FILE__, __LINE__)

#endif
