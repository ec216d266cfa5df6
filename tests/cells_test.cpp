// twincell and onecell: main's stores and the threads' reads of the cells,
// each thread creation failing, and a failed allocation.
#include "tests/common.h"

#include <cstring>

namespace
{

const char *again = strerror(EAGAIN);

run_opts cells_probe(bool twin)
{
	return probe(twin ? "twincell" : "onecell");
}

// Main prints 1 then 2, each thread prints the one pointer and a value the
// timing allows, y is 99 throughout, and the process ends at 5 s.
void prints_cells(bool twin)
{
	run_result r = run(cells_probe(twin));
	verdict v = EXPECT_CONTRACT(cells(twin), r);
	EXPECT_EQ(r.err, "");
	if (twin && v.ok) {
		EXPECT_NE(v.bound["x"], v.bound["y"]);
	}
}

void first_creation_failing(bool twin)
{
	run_opts o = cells_probe(twin);
	WITH_FAULT(o, "FAULT_PTHREAD_CREATE=1");
	EXPECT_CONTRACT(cells(twin, again, nullptr), run(o));
}

void second_creation_failing(bool twin)
{
	run_opts o = cells_probe(twin);
	WITH_FAULT(o, "FAULT_PTHREAD_CREATE=2");
	EXPECT_CONTRACT(cells(twin, nullptr, again), run(o));
}

void both_creations_failing(bool twin)
{
	run_opts o = cells_probe(twin);
	WITH_FAULT(o, "FAULT_PTHREAD_CREATE=1,2");
	run_result r = run(o);
	EXPECT_CONTRACT(cells(twin, again, again), r);
	EXPECT_EQ(r.out, std::string("\n Can't create thread :[") + again +
	                         "]\n Can't create thread :[" + again + "]");
}

// The nth 4-byte allocation fails: one line on stderr, status 1, and no
// thread started.
void allocation_failing(bool twin, const char *which)
{
	run_opts o = cells_probe(twin);
	WITH_FAULT(o, std::string("FAULT_MALLOC4=") + which);
	run_result r = run(o);
	EXPECT_TRUE(r.exited) << describe(r);
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err, "malloc: Cannot allocate memory\n");
	EXPECT_LT(r.seconds, 4);  // not the 5 s a started run sleeps
}

TEST(Twincell, PrintsBothCellsWhileMainStoresOneThenTwo)
{
	prints_cells(true);
}

TEST(Twincell, FirstCreationFailingStartsOnlyTheSecondThread)
{
	first_creation_failing(true);
}

TEST(Twincell, SecondCreationFailingSkipsTheSecondStore)
{
	second_creation_failing(true);
}

TEST(Twincell, BothCreationsFailing)
{
	both_creations_failing(true);
}

TEST(Twincell, FailedAllocationOfEitherCellEndsWithStatusOne)
{
	allocation_failing(true, "1");
	allocation_failing(true, "2");
}

TEST(Onecell, PrintsTheCellWhileMainStoresOneThenTwo)
{
	prints_cells(false);
}

TEST(Onecell, FirstCreationFailingStartsOnlyTheSecondThread)
{
	first_creation_failing(false);
}

TEST(Onecell, SecondCreationFailingSkipsTheSecondStore)
{
	second_creation_failing(false);
}

TEST(Onecell, BothCreationsFailing)
{
	both_creations_failing(false);
}

TEST(Onecell, FailedAllocationEndsWithStatusOne)
{
	allocation_failing(false, "1");
}

}  // namespace
