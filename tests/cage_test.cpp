// ductopen and ductread: the pipe and its message, and reading descriptor
// 9001 in each state the starter may leave it in.
#include "tests/watch.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

const std::string message("Hello, pipe!\0", 13);

// ductopen

TEST(Ductopen, ReportsTwoNewDescriptors)
{
	run_result r = run(probe("ductopen"));
	verdict v = EXPECT_CONTRACT(ductopen(), r);
	EXPECT_EQ(r.err, "");
	// The probe starts with 0, 1 and 2 only: the lowest free are 3 and 4.
	EXPECT_EQ(v.bound["fd0"], "3");
	EXPECT_EQ(v.bound["fd1"], "4");
}

TEST(Ductopen, SendsThirteenBytesIntoTheWriteEnd)
{
	write_trace t;
	run_opts o = probe("ductopen");
	WITH_FAULT(o, t.env());
	verdict v = EXPECT_CONTRACT(ductopen(), run(o));
	ASSERT_TRUE(v.ok);
	// One write of the terminated message to fd[1], which the pipe took whole.
	EXPECT_EQ(visible(t.text()), visible(write_record(std::stoi(v.bound["fd1"]), message, 13)));
}

TEST(Ductopen, PipeFailingShowsMinusOneZeroAndOneOnly)
{
	run_opts o = probe("ductopen");
	o.limits = {{RLIMIT_NOFILE, 4}};  // room for the loader, not for a pipe
	run_result r = run(o);
	EXPECT_CONTRACT(ductopen(false), r);
	EXPECT_EQ(r.out, "<cage 01> ret: -1 \n<cage 01> fd[0]: 0 \n<cage 01> fd[1]: 1 \n");
	EXPECT_EQ(r.err, "");
}

TEST(Ductopen, PipeFailingWritesNothingAnywhere)
{
	write_trace t;
	run_opts o = probe("ductopen");
	o.limits = {{RLIMIT_NOFILE, 4}};
	WITH_FAULT(o, t.env());
	EXPECT_CONTRACT(ductopen(false), run(o));
	// Not even into standard input, where the slots' 0 would send it.
	EXPECT_EQ(t.text(), "");
}

TEST(Ductopen, MessageWriteFailingChangesNothing)
{
	write_trace t;
	run_opts o = probe("ductopen");
	WITH_FAULT(o, "FAULT_WRITE=1");
	o.env.push_back(t.env());
	run_result r = run(o);
	verdict v = EXPECT_CONTRACT(ductopen(), r);
	ASSERT_TRUE(v.ok);
	EXPECT_EQ(r.err, "");
	EXPECT_EQ(visible(t.text()), visible(write_record(std::stoi(v.bound["fd1"]), message, -1)));
}

TEST(Ductopen, CleanUnderMemcheck)
{
	run_opts o = probe("ductopen");
	UNDER_MEMCHECK(o);
	EXPECT_CONTRACT(ductopen(), run(o));
}

// ductread

// An unlinked file holding text, read from its start.
int file_holding(const std::string &text)
{
	int fd = memfd_create("source", MFD_CLOEXEC);
	if (fd >= 0 && write(fd, text.data(), text.size()) == (ssize_t)text.size())
		lseek(fd, 0, SEEK_SET);
	return fd;
}

run_opts reading(int source)
{
	run_opts o = probe("ductread");
	o.fds = {{9001, source}};
	return o;
}

TEST(Ductread, WithoutDescriptor9001ReportsTheErrorFirst)
{
	run_opts o = probe("ductread");
	o.err_to_out = true;
	run_result r = run(o);
	EXPECT_EQ(describe(r), "exit 0");
	EXPECT_EQ(r.out, "An error occurred in the read!\n"
	                 "<cage 02>  \n"
	                 "<cage 02> Read file successfully!\n");
}

TEST(Ductread, WithoutDescriptor9001WritesTheErrorOnceRaw)
{
	write_trace t;
	run_opts o = probe("ductread");
	WITH_FAULT(o, t.env());
	EXPECT_CONTRACT(ductread("", true), run(o));
	EXPECT_EQ(visible(t.text()),
	          visible(write_record(2, "An error occurred in the read!\n", 31)));
}

TEST(Ductread, TakesTwelveBytesOfTheMessageFromAPipe)
{
	int p[2];
	ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
	ASSERT_EQ(write(p[1], message.data(), 13), 13);
	close(p[1]);
	run_result r = run(reading(p[0]));
	EXPECT_CONTRACT(ductread("Hello, pipe!", false), r);
	EXPECT_EQ(r.err, "");
	// The terminator is still in the pipe: the probe asked for 12 bytes.
	char rest[16];
	EXPECT_EQ(read(p[0], rest, sizeof rest), 1);
	EXPECT_EQ(rest[0], '\0');
	close(p[0]);
}

TEST(Ductread, ReadsOnceAndNoMoreThanTwelveOfTwentyBytes)
{
	int fd = file_holding("0123456789abcdefghij");
	ASSERT_GE(fd, 0);
	EXPECT_CONTRACT(ductread("0123456789ab", false), run(reading(fd)));
	// The probe shared our file offset: it moved by exactly one 12-byte read.
	EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 12);
	close(fd);
}

TEST(Ductread, ShortSourcePrintsWhatCame)
{
	int fd = file_holding("abc");
	ASSERT_GE(fd, 0);
	run_result r = run(reading(fd));
	EXPECT_CONTRACT(ductread("abc", false), r);
	EXPECT_EQ(r.out, "<cage 02> abc \n<cage 02> Read file successfully!\n");
	close(fd);
}

TEST(Ductread, EmptySourceIsNoError)
{
	int fd = file_holding("");
	ASSERT_GE(fd, 0);
	run_result r = run(reading(fd));
	EXPECT_CONTRACT(ductread("", false), r);
	EXPECT_EQ(r.err, "");
	close(fd);
}

TEST(Ductread, WriteOnlyDescriptorIsAReadError)
{
	int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
	ASSERT_GE(fd, 0);
	EXPECT_CONTRACT(ductread("", true), run(reading(fd)));
	close(fd);
}

TEST(Ductread, DoesNotWaitForMoreThanThePipeHolds)
{
	int p[2];
	ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
	ASSERT_EQ(write(p[1], "hello", 5), 5);
	run_opts o = reading(p[0]);
	o.timeout = 20;
	run_result r = run(o);  // our write end stays open throughout
	EXPECT_CONTRACT(ductread("hello", false), r);
	EXPECT_LT(r.seconds, 10);
	close(p[0]);
	close(p[1]);
}

TEST(Ductread, CleanUnderMemcheckWithoutDescriptor9001)
{
	run_opts o = probe("ductread");
	UNDER_MEMCHECK(o);
	EXPECT_CONTRACT(ductread("", true), run(o));
}

TEST(Ductread, CleanUnderMemcheckAfterAShortRead)
{
	int fd = file_holding("abc");
	ASSERT_GE(fd, 0);
	run_opts o = reading(fd);
	UNDER_MEMCHECK(o);
	EXPECT_CONTRACT(ductread("abc", false), run(o));
	close(fd);
}

}  // namespace
