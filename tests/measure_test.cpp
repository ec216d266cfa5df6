// tickspan and raiseprint: the clock readings and their whole-second
// difference, the clock failing, and the extended-precision line.
#include "tests/watch.h"

#include <cctype>
#include <sstream>

namespace
{

// tickspan

TEST(Tickspan, FiveLinesWithTheStartRepeatedAndNoWholeSecond)
{
	run_result r = run(probe("tickspan"));
	verdict v = EXPECT_CONTRACT(tickspan(), r);
	ASSERT_TRUE(v.ok);
	EXPECT_EQ(r.err, "");
	long start = std::stol(v.bound["start"]), end = std::stol(v.bound["end"]);
	EXPECT_GE(start, 0);
	EXPECT_GE(end, start);
}

TEST(Tickspan, ClockFailingShowsMinusOneThreeTimes)
{
	run_opts o = probe("tickspan");
	WITH_FAULT(o, "FAULT_CLOCK=1,2");
	run_result r = run(o);
	EXPECT_CONTRACT(tickspan(false), r);
	EXPECT_EQ(r.out, "Starting of the program, start_t = -1\n"
	                 "Going to scan a big loop, start_t = -1\n"
	                 "End of the big loop, end_t = -1\n"
	                 "Total time taken by CPU: 0\n"
	                 "Exiting of the program...\n");
}

TEST(Tickspan, SecondReadingFailingTruncatesTowardZero)
{
	run_opts o = probe("tickspan");
	WITH_FAULT(o, "FAULT_CLOCK=2");
	// -1 minus a start of zero or more, over a million: 0, where rounding
	// down would give -1. A clock that fails at one reading only is broken.
	run_result r = run(o);
	verdict v = check_contract(tickspan(), r);
	EXPECT_TRUE(v.why.ends_with(", end_t = -1: a clock that fails reads -1 every time"))
	        << v.why;
	EXPECT_NE(r.out.find("\nTotal time taken by CPU: 0\n"), std::string::npos) << r.out;
}

// Readings a clock could print, however far off, against a probe the
// kernel accounted 0.01 s to: only the last keeps the contract, and none
// overflows on the way (UBSan watches the sanitizer builds).
TEST(Tickspan, ReadingsNearTheLimitsAreJudgedWithoutOverflow)
{
	struct {
		const char *start, *end, *why;
	} cases[] = {
	        {"-2", "9223372036854775807", "processor time is never below zero"},
	        // 2^64 - 11 ticks on from 5, as a signed clock_t prints it.
	        {"5", "-6", "processor time is never below zero"},
	        {"20", "9", "the clock went backwards"},
	        {"0", "9223372036854775807", "the clock ran faster than the probe"},
	        {"9223372036854775807", "9223372036854775807",
	         "the clock read more than the probe's processor time"},
	        {"900000000", "900000000", "the clock read more than the probe's processor time"},
	        {"0", "99999999999999999999", "a reading beyond a clock_t's range"},
	        {"-9223372036854775809", "0", "a reading beyond a clock_t's range"},
	        {"1000", "30000", ""},
	};
	for (const auto &c : cases) {
		run_result r;
		r.exited = true;
		r.code = 0;
		r.out = std::string("Starting of the program, start_t = ") + c.start +
		        "\nGoing to scan a big loop, start_t = " + c.start +
		        "\nEnd of the big loop, end_t = " + c.end +
		        "\nTotal time taken by CPU: 0\nExiting of the program...\n";
		r.seen.asked = r.seen.watching = r.seen.ran = true;
		r.seen.pid = 7;
		r.seen.fds_exit = {{1, "pipe"}};
		r.seen.cpu = 1;
		r.seen.hz = 100;
		verdict v = check_contract(tickspan(), r);
		EXPECT_EQ(v.ok, !*c.why) << c.start << ", " << c.end << ": " << v.why;
		EXPECT_NE(v.why.find(c.why), std::string::npos) << c.start << ", " << c.end;
		if (!*c.why) {
			EXPECT_EQ(v.why, "");  // verified, not merely unchecked
		}
	}
}

// True when main's machine code jumps back to an earlier address in main:
// the empty loop is the only loop the function has.
bool main_loops(const std::string &disassembly)
{
	std::size_t at = disassembly.find(" <main>:\n");
	if (at == std::string::npos)
		return false;
	std::istringstream lines(disassembly.substr(at + 9));
	std::string line;
	while (std::getline(lines, line) && !line.empty()) {
		// "    10b4:\tjne    10a8 <main+0x28>"
		std::size_t colon = line.find(':'), tab = line.find('\t');
		if (colon == std::string::npos || tab == std::string::npos)
			continue;
		std::istringstream insn(line.substr(tab + 1));
		std::string op, target;
		insn >> op >> target;
		if (op.empty() || op[0] != 'j' || target.empty() ||
		    !std::isxdigit((unsigned char)target[0]))
			continue;
		if (std::stoul(target, nullptr, 16) <
		    std::stoul(line.substr(0, colon), nullptr, 16))
			return true;
	}
	return false;
}

TEST(Tickspan, KeepsItsEmptyLoopInTheBuild)
{
	run_result r = run_tool({"/usr/bin/objdump", "-d", "--no-show-raw-insn",
	                         std::string(PROBE_DIR) + "/tickspan"});
	ASSERT_EQ(describe(r), "exit 0") << r.err;
	ASSERT_NE(r.out.find(" <main>:\n"), std::string::npos);
	EXPECT_TRUE(main_loops(r.out)) << "no backward jump in main: the loop was optimised away";
}

TEST(Tickspan, CleanUnderMemcheck)
{
	run_opts o = probe("tickspan");
	UNDER_MEMCHECK(o);
	EXPECT_CONTRACT(tickspan(), run(o));
}

// raiseprint

TEST(Raiseprint, PrintsThreePointTwoWithSixDecimals)
{
	run_result r = run(probe("raiseprint"));
	EXPECT_CONTRACT(raiseprint(), r);
	EXPECT_EQ(r.out, "powl(3.2, 1.0) = 3.200000\n");
	EXPECT_EQ(r.err, "");
}

TEST(Raiseprint, CleanUnderMemcheck)
{
	run_opts o = probe("raiseprint");
	UNDER_MEMCHECK(o);
	EXPECT_CONTRACT(raiseprint(), run(o));
}

}  // namespace
