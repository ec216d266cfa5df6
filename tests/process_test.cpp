// splitcount, reapcheck and selfreport: the split and both sides' counts,
// waiting with and without a child, and the process's own id.
#include "tests/watch.h"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// splitcount

// Runs splitcount. Its child, which its parent does not wait for, is
// reaped by run(): its pid and status come back in *child and *status.
run_result split(const run_opts &o, pid_t *child, int *status)
{
	run_result r = run(o);
	*child = r.reaped.size() == 1 ? r.reaped[0].first : -1;
	*status = r.reaped.size() == 1 ? r.reaped[0].second : -1;
	return r;
}

TEST(Splitcount, OnAPipeBothSidesPrintTheOpeningLineAndCountToFive)
{
	pid_t child;
	int status;
	run_result r = split(probe("splitcount"), &child, &status);
	verdict v = EXPECT_CONTRACT(splitcount(false), r);
	EXPECT_EQ(r.err, "");
	// The parent's brackets hold the pid of the child that counted.
	ASSERT_GT(child, 0);
	EXPECT_EQ(v.bound["child"], std::to_string(child));
	EXPECT_STATUS(status, 0);
}

TEST(Splitcount, OnATerminalTheOpeningLineComesOnce)
{
	run_opts o = probe("splitcount");
	o.tty = true;
	pid_t child;
	int status;
	run_result r = split(o, &child, &status);
	verdict v = EXPECT_CONTRACT(splitcount(true), r);
	ASSERT_GT(child, 0);
	EXPECT_EQ(v.bound["child"], std::to_string(child));
	EXPECT_STATUS(status, 0);
}

TEST(Splitcount, ForkFailingPrintsTheFailureAndExitsWithOne)
{
	run_opts o = probe("splitcount");
	WITH_FAULT(o, "FAULT_FORK=1");
	run_result r = run(o);
	EXPECT_CONTRACT(splitcount(false, false), r);
	EXPECT_EQ(r.out, "--beginning of program-- \nfork() failed! \n");
}

TEST(Splitcount, CleanUnderMemcheck)
{
	run_opts o = probe("splitcount");
	UNDER_MEMCHECK(o);
	EXPECT_CONTRACT(splitcount(false), run(o));
}

// reapcheck

TEST(Reapcheck, WithoutAChildReportsItsPidAndMinusOneAtOnce)
{
	run_result r = run(probe("reapcheck"));
	EXPECT_CONTRACT(reapcheck(), r);
	EXPECT_EQ(r.out, "Current process id number is: " + std::to_string(r.pid) +
	                         " \nval = -1; status = 0 \n");
	EXPECT_LT(r.seconds, 10);
}

// The child that the probe's process already has when the probe starts:
// forked just before exec, it sleeps a second and exits with 7.
pid_t *left_child;

void start_child_then_exec()
{
	pid_t p = fork();
	if (p == 0) {
		sleep(1);
		_exit(7);
	}
	*left_child = p;
}

TEST(Reapcheck, WaitsForAChildItsProcessAlreadyHad)
{
	void *shared = mmap(nullptr, sizeof(pid_t), PROT_READ | PROT_WRITE,
	                    MAP_SHARED | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(shared, MAP_FAILED);
	left_child = static_cast<pid_t *>(shared);
	*left_child = 0;
	run_opts o = probe("reapcheck");
	o.in_child = start_child_then_exec;
	o.tty = true;  // line by line: the first line shows when it was printed
	run_result r = run(o);
	ASSERT_GT(*left_child, 0);
	EXPECT_CONTRACT(reapcheck(std::to_string(*left_child), std::to_string(7 << 8)), r);
	// Blocked in wait until the child ended, before printing anything.
	EXPECT_GE(arrival(r, 0), 0.9);
	munmap(shared, sizeof(pid_t));
}

TEST(Reapcheck, CleanUnderMemcheck)
{
	run_opts o = probe("reapcheck");
	UNDER_MEMCHECK(o);
	EXPECT_CONTRACT(reapcheck(), run(o));
}

// selfreport

TEST(Selfreport, PrintsTheGreetingAndItsOwnPid)
{
	run_result r = run(probe("selfreport"));
	EXPECT_CONTRACT(selfreport(), r);
	EXPECT_EQ(r.out, "This is the first time.\nCurrent process id number is: " +
	                         std::to_string(r.pid) + " \n");
	EXPECT_EQ(r.err, "");
}

TEST(Selfreport, WritesOnlyThroughTheStream)
{
	write_trace t;
	run_opts o = probe("selfreport");
	WITH_FAULT(o, t.env());
	EXPECT_CONTRACT(selfreport(), run(o));
	EXPECT_EQ(t.text(), "");  // no raw write of its own
}

TEST(Selfreport, CleanUnderMemcheck)
{
	run_opts o = probe("selfreport");
	UNDER_MEMCHECK(o);
	EXPECT_CONTRACT(selfreport(), run(o));
}

}  // namespace
