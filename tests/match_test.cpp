// The transcript matcher: interleavings only between whole calls, fields
// that vary, and names bound to one value.
#include "check/contracts/match.h"

#include <gtest/gtest.h>

namespace
{

const std::vector<source> two = {{"a", {"a1\n", "a2\n"}}, {"b", {"b1\n", "b2\n"}}};

TEST(Match, AcceptsEveryInterleavingOfWholeCalls)
{
	for (const char *t : {"a1\na2\nb1\nb2\n", "b1\na1\nb2\na2\n", "a1\nb1\nb2\na2\n"})
		EXPECT_TRUE(match(two, t).ok) << t;
}

TEST(Match, RejectsReorderedCallsOfOneSource)
{
	verdict v = match(two, "a2\na1\nb1\nb2\n");
	EXPECT_FALSE(v.ok);
	EXPECT_EQ(v.why, "line 1: expected \"a1\\n\" (a) or \"b1\\n\" (b), got \"a2\\n\"");
}

TEST(Match, RejectsACallSplitByAnother)
{
	// A call is one piece: another source's call may come before or after
	// it, never inside, even where the call has no newline of its own.
	std::vector<source> s = {{"a", {"[xy]"}}, {"b", {"b\n"}}};
	EXPECT_TRUE(match(s, "[xy]b\n").ok);
	EXPECT_TRUE(match(s, "b\n[xy]").ok);
	EXPECT_FALSE(match(s, "[xb\ny]").ok);
}

TEST(Match, ReportsMissingAndExtraOutput)
{
	EXPECT_EQ(match(two, "a1\na2\nb1\n").why,
	          "line 4: expected \"b2\\n\" (b), got end of output");
	EXPECT_EQ(match(two, "a1\na2\nb1\nb2\nzz\n").why,
	          "line 5: expected end of output, got \"zz\\n\"");
}

TEST(Match, BlankBeforeNewlineIsExact)
{
	std::vector<source> s = {{"main", {"ret = {int} \n"}}};
	EXPECT_TRUE(match(s, "ret = 7 \n").ok);
	EXPECT_FALSE(match(s, "ret = 7\n").ok);
	EXPECT_FALSE(match(s, "ret = 7  \n").ok);
}

TEST(Match, FieldsMatchTheirKind)
{
	std::vector<source> s = {{"m", {"{int} {ptr} {0|1|2} [{any}]\n"}}};
	EXPECT_TRUE(match(s, "-12 0x55d0a3c2b2a0 2 [any text]\n").ok);
	EXPECT_TRUE(match(s, "0 (nil) 0 []\n").ok);
	EXPECT_FALSE(match(s, "x 0x1 0 []\n").ok);
	EXPECT_FALSE(match(s, "1 0x 0 []\n").ok);
	EXPECT_FALSE(match(s, "1 0x1 3 []\n").ok);
}

TEST(Match, BoundNamesMustKeepOneValue)
{
	std::vector<source> s = {{"m", {"x={x=ptr}\n", "x={x=ptr}\n"}}, {"t", {"x={x=ptr}\n"}}};
	verdict v = match(s, "x=0x10\nx=0x10\nx=0x10\n");
	EXPECT_TRUE(v.ok);
	EXPECT_EQ(v.bound["x"], "0x10");
	EXPECT_FALSE(match(s, "x=0x10\nx=0x10\nx=0x11\n").ok);
}

TEST(Match, PreboundNameMustAppear)
{
	std::vector<source> s = {{"m", {"pid {=pid}\n"}}};
	EXPECT_TRUE(match(s, "pid 42\n", {{"pid", "42"}}).ok);
	EXPECT_FALSE(match(s, "pid 43\n", {{"pid", "42"}}).ok);
	EXPECT_FALSE(match(s, "pid 42\n").ok);
}

TEST(Match, FirstSourceEndsBeforeOthersBegin)
{
	std::vector<source> s = {{"lead", {"L\n"}, true}, {"b", {"b\n"}}};
	EXPECT_TRUE(match(s, "L\nb\n").ok);
	EXPECT_FALSE(match(s, "b\nL\n").ok);
}

}  // namespace
