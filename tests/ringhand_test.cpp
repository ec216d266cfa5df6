// ringhand: the hand-off transcript on a pipe and on a terminal, and each
// thread creation failing.
#include "tests/common.h"

#include <cstring>

namespace
{

const char *again = strerror(EAGAIN);

TEST(Ringhand, HandsOffOnAPipeAndExitsAfterFiveSeconds)
{
	run_result r = run(probe("ringhand"));
	EXPECT_CONTRACT(ringhand(), r);
	EXPECT_EQ(r.err, "");
}

TEST(Ringhand, ReaderPrintsNoEarlierThanTwoSecondsOnATerminal)
{
	run_opts o = probe("ringhand");
	o.tty = true;
	run_result r = run(o);
	EXPECT_CONTRACT(ringhand(), r);
	std::size_t at = r.out.find("[Thread 02] ret");
	ASSERT_NE(at, std::string::npos);
	EXPECT_GE(arrival(r, at), 1.9);
	// The writer's lines come at once, not with the reader's.
	EXPECT_LT(arrival(r, r.out.find("[Thread 01] ret")), 1.5);
}

TEST(Ringhand, FirstCreationFailingLeavesTheReaderPolling)
{
	run_opts o = probe("ringhand");
	WITH_FAULT(o, "FAULT_PTHREAD_CREATE=1");
	EXPECT_CONTRACT(ringhand(again, nullptr), run(o));
}

TEST(Ringhand, SecondCreationFailingLeavesTheBytesInTheRing)
{
	run_opts o = probe("ringhand");
	WITH_FAULT(o, "FAULT_PTHREAD_CREATE=2");
	EXPECT_CONTRACT(ringhand(nullptr, again), run(o));
}

TEST(Ringhand, BothCreationsFailing)
{
	run_opts o = probe("ringhand");
	WITH_FAULT(o, "FAULT_PTHREAD_CREATE=1,2");
	run_result r = run(o);
	EXPECT_CONTRACT(ringhand(again, again), r);
	EXPECT_EQ(r.out, std::string("\n Can't create thread :[") + again +
	                         "]\n Can't create thread :[" + again + "]");
}

}  // namespace
