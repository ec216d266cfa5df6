// probesuite against stand-ins for a platform gone wrong: probes that
// write without end, hang, leave processes behind, kill or signal their
// parent, die by a signal or cannot be executed; and a runner started with
// its signals, descriptors or standard output in a bad state. Each gets a
// prompt verdict that says what happened, and nothing is left running.
#include "tests/marked.h"
#include "tests/runner.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{

// The CPU time and largest resident size of the children reaped so far.
double children_cpu()
{
	rusage u;
	getrusage(RUSAGE_CHILDREN, &u);
	return (double)u.ru_utime.tv_sec + (double)u.ru_utime.tv_usec / 1e6 +
	       (double)u.ru_stime.tv_sec + (double)u.ru_stime.tv_usec / 1e6;
}

long children_peak_kib()
{
	rusage u;
	getrusage(RUSAGE_CHILDREN, &u);
	return u.ru_maxrss;
}

// A folder of stand-ins named like the probes, and a mark for the
// processes of this test.
class Hostile : public Scratch
{
protected:
	std::string mark;

	Hostile() : Scratch("hostile")
	{
	}

	void SetUp() override
	{
		Scratch::SetUp();
		if (HasFatalFailure())
			return;
		mark = "PROBESUITE_HOSTILE_TEST=" + dir;
	}

	void TearDown() override
	{
		EXPECT_EQ(wait_marked_below(mark, 1, 2), 0u) << "processes left running";
		for (pid_t p : marked(mark))
			kill(p, SIGKILL);
		Scratch::TearDown();
	}

	void script(const std::string &name, const std::string &body, mode_t mode = 0755)
	{
		write_script(dir, name, body, mode);
	}

	run_opts suite(const std::vector<std::string> &args)
	{
		run_opts o;
		o.argv = {suite_path, "--dir", dir};
		o.argv.insert(o.argv.end(), args.begin(), args.end());
		o.env = {mark};
		o.timeout = 60;
		o.keep = 16 << 20;  // the report shows up to 1 MiB of a stream, escaped
		return o;
	}
};

// The verdict line under the scenario's heading, without its lead.
std::string verdict_of(const std::string &out, const std::string &title)
{
	std::size_t at = out.find("\n== " + title + "\n");
	if (at == std::string::npos)
		return "(no heading " + title + ")";
	at = out.find("   verdict: ", at);
	if (at == std::string::npos)
		return "(no verdict)";
	at += 12;
	return out.substr(at, out.find('\n', at) - at);
}

// The seconds in "timed out after 2.0 s)" at the end of a verdict line.
double timed_out_after(const std::string &verdict)
{
	std::size_t at = verdict.rfind("(timed out after ");
	return at == std::string::npos ? -1 : atof(verdict.c_str() + at + 17);
}

TEST_F(Hostile, OutputPastTheBoundEndsTheProbeAndMemoryStaysBounded)
{
	script("raiseprint", "head -c 1000000000 /dev/zero\n");
	script("selfreport", "head -c 3000000 /dev/zero >&2\nexec sleep 300\n");
	long peak_before = children_peak_kib();
	run_result r = run(suite({"--only", "raiseprint,selfreport"}));
	EXPECT_STATUS(r, 1) << r.err;
	// Ended at once: far fewer bytes than the probe meant to write.
	std::string v = verdict_of(r.out, "raiseprint");
	const std::string head = "BROKEN: stdout exceeded 1 MiB (";
	ASSERT_TRUE(v.starts_with(head)) << v;
	long written = atol(v.c_str() + head.size());
	EXPECT_GT(written, 1 << 20) << v;
	EXPECT_LT(written, 100000000) << v;
	EXPECT_NE(v.find(" bytes written) (ended by the runner, "), std::string::npos) << v;
	EXPECT_TRUE(verdict_of(r.out, "selfreport").starts_with("BROKEN: stderr exceeded 1 MiB ("))
	        << verdict_of(r.out, "selfreport");
	// The kept MiB is shown, as one line without a newline.
	std::string zeros;
	for (int i = 0; i < 1 << 20; i++)
		zeros += "\\x00";
	EXPECT_NE(r.out.find("   stdout:\n      1 | " + zeros + "   (no newline)\n"),
	          std::string::npos);
	EXPECT_LT(r.seconds, 30);
	// The largest process reaped so far, the runner among them. (A
	// sanitizer's shadow memory alone passes the bound.)
	long peak = children_peak_kib();
	if (!SANITIZED) {
		EXPECT_LT(peak, 64 << 10) << "KiB; before this run " << peak_before;
	}
	RecordProperty("peak_kib", (int)peak);
}

TEST_F(Hostile, HungProbesAreReportedAtTheirLimitWithWhatTheyPrinted)
{
	// --time-scale 0.1: the 5-second probes' 20 s bound becomes 2 s, the
	// quick ones' 5 s becomes 0.5 s.
	script("ringhand", "echo '\n Thread created successfully'\nexec sleep 300\n");
	script("tickspan", "echo 'Starting of the program, start_t = 1'\nexec sleep 300\n");
	run_result r = run(suite({"--only", "ringhand,tickspan", "--time-scale", "0.1"}));
	EXPECT_STATUS(r, 1) << r.err;
	std::string ring = verdict_of(r.out, "ringhand"), tick = verdict_of(r.out, "tickspan");
	EXPECT_TRUE(ring.starts_with("BROKEN: status: expected exit 0, got timed out (")) << ring;
	EXPECT_GE(timed_out_after(ring), 2.0) << ring;
	EXPECT_LT(timed_out_after(ring), 3.0) << ring;
	EXPECT_GE(timed_out_after(tick), 0.5) << tick;
	EXPECT_LT(timed_out_after(tick), 1.5) << tick;
	EXPECT_NE(r.out.find("      2 |  Thread created successfully$"), std::string::npos)
	        << r.out;
	EXPECT_NE(r.out.find("      1 | Starting of the program, start_t = 1$"), std::string::npos);
	// Side by side: the run takes about the longer limit.
	EXPECT_LT(r.seconds, 10);
}

TEST_F(Hostile, ProcessesLeftBehindAreEndedAndNamed)
{
	// A daemon that holds stdout, and one that let go of it.
	script("selfreport", "setsid sleep 300 &\n"
	                     "echo 'This is the first time.'\n"
	                     "echo \"Current process id number is: $$ \"\n");
	script("raiseprint", "setsid sh -c 'sleep 300 & sleep 300; exit 0' >/dev/null 2>&1 &\n"
	                     "echo 'powl(3.2, 1.0) = 3.200000'\n");
	run_result r = run(suite({"--only", "selfreport,raiseprint"}));
	EXPECT_STATUS(r, 1) << r.err;
	EXPECT_TRUE(verdict_of(r.out, "selfreport")
	                    .starts_with("BROKEN: left 1 process running after it ended (ended "
	                                 "by the runner) (exit 0, "))
	        << r.out;
	EXPECT_TRUE(verdict_of(r.out, "raiseprint")
	                    .starts_with("BROKEN: left 3 processes running after it ended"))
	        << r.out;
	// A second after the probes ended, not when the daemons would have.
	EXPECT_LT(r.seconds, 10);
	EXPECT_EQ(marked(mark).size(), 0u);
}

TEST_F(Hostile, SignalDeathsAndAttacksOnTheParentAreNamed)
{
	script("reapcheck", "kill -SEGV $$\n");
	script("ductopen", "kill -KILL $PPID\nexec sleep 300\n");
	script("selfreport", "kill -HUP $PPID\n"
	                     "echo 'This is the first time.'\n"
	                     "echo \"Current process id number is: $$ \"\n");
	script("tickspan", "kill -STOP $PPID\necho 'Starting of the program, start_t = 1'\n");
	// Closes its streams early and keeps running: no end of file fools it.
	script("raiseprint", "echo 'powl(3.2, 1.0) = 3.200000'\nexec >&- 2>&- sleep 300\n");
	run_result r = run(suite({"--only", "reapcheck,ductopen,selfreport,tickspan,raiseprint",
	                          "--time-scale", "0.2"}));
	EXPECT_STATUS(r, 1) << r.err;
	EXPECT_TRUE(verdict_of(r.out, "reapcheck")
	                    .starts_with("BROKEN: status: expected exit 0, got killed by signal 11 "
	                                 "(Segmentation fault) (killed by signal 11 (Segmentation "
	                                 "fault), "))
	        << r.out;
	EXPECT_TRUE(verdict_of(r.out, "ductopen")
	                    .starts_with("BROKEN: its parent was killed by signal 9 (Killed) ("))
	        << r.out;
	EXPECT_TRUE(verdict_of(r.out, "selfreport")
	                    .starts_with("BROKEN: sent its parent signal 1 (Hangup)"))
	        << r.out;
	EXPECT_TRUE(verdict_of(r.out, "tickspan")
	                    .starts_with("BROKEN: stopped its parent with signal 19 (Stopped "
	                                 "(signal)) ("))  // ended, or timed out on a busy machine
	        << r.out;
	std::string v = verdict_of(r.out, "raiseprint");
	EXPECT_TRUE(v.starts_with("BROKEN: status: expected exit 0, got timed out (")) << v;
	EXPECT_GE(timed_out_after(v), 1.0) << v;
	EXPECT_NE(r.out.find("      1 | powl(3.2, 1.0) = 3.200000$"), std::string::npos) << r.out;
}

TEST_F(Hostile, APausedRunnerNeitherTimesOutTheProbeNorHidesItsPause)
{
	// Stopped past the probe's limit (2 s here), resumed: the probe ended
	// after about 1 s, though its last call waited at the observer's
	// filter for the runner. The runner's own stop counts for nothing, and
	// the report says how long it was.
	script("raiseprint", "sleep 1\necho 'powl(3.2, 1.0) = 3.200000'\n");
	run_result r;
	std::thread t([&] { r = run(suite({"--only", "raiseprint", "--time-scale", "0.4"})); });
	pid_t runner = runner_once(mark, cmdline({"sleep", "1"}), 1);
	EXPECT_GT(runner, 0) << "the probe did not start";
	if (runner > 0) {
		kill(runner, SIGSTOP);
		usleep(3000000);
		kill(runner, SIGCONT);
	}
	t.join();
	EXPECT_STATUS(r, 0) << r.out;
	std::string v = verdict_of(r.out, "raiseprint");
	EXPECT_TRUE(v.starts_with("ok (exit 0, ")) << v;
	EXPECT_NE(v.find(" s of it with the runner stopped)"), std::string::npos) << v;
	EXPECT_GT(r.seconds, 3);
}

// Probes on a processor that others keep busy, or on a free one. Each
// test has the processors to itself (tests/CMakeLists.txt), but the host
// may be busy too: the bounds are wide.
class HostileLoad : public Hostile
{
protected:
	std::vector<pid_t> loops;

	void SetUp() override
	{
		if (access("/usr/bin/taskset", X_OK) != 0)
			GTEST_SKIP() << "needs taskset";
		Hostile::SetUp();
	}

	void TearDown() override
	{
		for (pid_t p : loops) {
			kill(p, SIGKILL);
			waitpid(p, nullptr, 0);
		}
		if (!dir.empty())
			Hostile::TearDown();
	}

	// n processes spinning on processor 0 until the test ends.
	void load_processor_0(int n)
	{
		for (int i = 0; i < n; i++) {
			pid_t p = fork();
			if (p == 0) {
				prctl(PR_SET_PDEATHSIG, SIGKILL);
				execl("/usr/bin/taskset", "taskset", "-c", "0", "/bin/sh", "-c",
				      "while :; do :; done", (char *)nullptr);
				_exit(127);
			}
			ASSERT_GT(p, 0);
			loops.push_back(p);
		}
	}
};

const char spin[] = "while :; do :; done\n";

TEST_F(HostileLoad, AHungProbeTimesOutAtItsBoundWhetherItSpinsOrSleeps)
{
	// 0.2: a 1 s bound, and a hard limit of 4 s.
	script("tickspan", spin);
	script("selfreport", "exec sleep 300\n");
	run_result r = run(suite({"--only", "tickspan,selfreport", "--time-scale", "0.2"}));
	EXPECT_STATUS(r, 1) << r.out;
	for (const char *p : {"selfreport", "tickspan"}) {
		std::string v = verdict_of(r.out, p);
		// The host's own load may leave no processor free for the spinner;
		// the sleeper never waits for one.
		if (p == std::string("tickspan") &&
		    v.starts_with("could not arrange: the machine was too busy: "))
			GTEST_SKIP() << "no processor was free: " << v;
		EXPECT_TRUE(v.starts_with("BROKEN: status: expected exit 0, got timed out (")) << v;
		EXPECT_GE(timed_out_after(v), 1.0) << v;
		EXPECT_LT(timed_out_after(v), 3.0) << v;
	}
}

TEST_F(HostileLoad, AProbeHeldFromItsProcessorIsJudgedOnItsOwnTimeOrNotAtAll)
{
	// 0.2: a 1 s bound and a hard limit of 4 s. With five loops beside them
	// on processor 0, a probe that needs about 0.3 s of it (in a process of
	// its own) takes about 1.5 s, and one that spins for ever reaches the
	// hard limit.
	load_processor_0(5);
	script("raiseprint", "(i=0; while [ $i -lt 200000 ]; do i=$((i+1)); done)\n"
	                     "echo 'powl(3.2, 1.0) = 3.200000'\n");
	script("tickspan", spin);
	run_result r = run(suite({"--only", "raiseprint,tickspan", "--launcher", "taskset -c 0",
	                          "--time-scale", "0.2"}));
	EXPECT_STATUS(r, 3) << r.out;
	// A script is no image of a process's own: its process is not seen.
	std::string ok = verdict_of(r.out, "raiseprint");
	EXPECT_TRUE(ok.starts_with("ok unverified: the probe's process was not seen (exit 0, "))
	        << ok;
	EXPECT_NE(ok.find(" s of it waiting for a processor)"), std::string::npos) << ok;
	std::string busy = verdict_of(r.out, "tickspan");
	EXPECT_TRUE(busy.starts_with("could not arrange: the machine was too busy: ")) << busy;
	EXPECT_NE(busy.find(" s waiting for a processor (timed out after "), std::string::npos)
	        << busy;
	EXPECT_GE(timed_out_after(busy), 4.0) << busy;
	EXPECT_LT(timed_out_after(busy), 6.0) << busy;
}

TEST_F(Hostile, SetupFailuresAreNamedWithTheirErrnoAndJudgeOnlyTheirProbe)
{
	script("ductread", "echo never\n", 0644);                              // not executable
	std::ofstream(dir + "/splitcount") << "#!/nonexistent/interpreter\n";  // a bad #!
	ASSERT_EQ(chmod((dir + "/splitcount").c_str(), 0755), 0);
	// An ELF header for another machine (AArch64), executable.
	std::string elf(64, '\0');
	elf.replace(0, 7,
	            "\x7f"
	            "ELF\x02\x01\x01");
	elf[16] = 2;          // ET_EXEC
	elf[18] = (char)183;  // EM_AARCH64
	std::ofstream(dir + "/tickspan", std::ios::binary) << elf;
	ASSERT_EQ(chmod((dir + "/tickspan").c_str(), 0755), 0);
	ASSERT_EQ(mkdir((dir + "/selfreport").c_str(), 0755), 0);  // a directory
	script("reapcheck", "exit 127\n");                         // a probe's own 127 is its own
	run_result r = run(suite({"--only", "ductread,splitcount,tickspan,selfreport,reapcheck,"
	                                    "raiseprint"}));
	EXPECT_STATUS(r, 1) << r.err;
	EXPECT_EQ(r.err, "");
	struct {
		const char *title, *verdict;
	} cases[] = {
	        {"ductread (no descriptor 9001)", "could not arrange: cannot execute DIR/ductread: "
	                                          "Permission denied (not started)"},
	        {"splitcount (stdout on a pipe)",
	         "could not arrange: could not start DIR/splitcount: No such file or directory "
	         "(not started)"},
	        {"tickspan", "could not arrange: could not start DIR/tickspan: Exec format error "
	                     "(not started)"},
	        {"selfreport",
	         "could not arrange: could not start DIR/selfreport: Permission denied (not "
	         "started)"},
	        {"reapcheck", "BROKEN: status: expected exit 0, got exit 127 (exit 127, "},
	        {"raiseprint", "could not arrange: no probe at DIR/raiseprint: No such file or "
	                       "directory (not started)"},
	};
	for (const auto &c : cases) {
		std::string want = c.verdict;
		if (std::size_t at = want.find("DIR"); at != std::string::npos)
			want.replace(at, 3, dir);
		EXPECT_TRUE(verdict_of(r.out, c.title).starts_with(want))
		        << c.title << ": " << verdict_of(r.out, c.title);
	}
	EXPECT_NE(r.out.find("8 scenarios, 0 kept the contract, 1 broke it, 7 could not be "
	                     "arranged"),
	          std::string::npos)
	        << r.out;

	// Nothing broken, something not arranged: 3.
	r = run(suite({"--only", "raiseprint", "--tap"}));
	EXPECT_STATUS(r, 3) << r.out;
	EXPECT_EQ(r.out, "1..1\nok 1 - raiseprint # SKIP could not arrange: no probe at " + dir +
	                         "/raiseprint: No such file or directory\n");
}

TEST_F(Hostile, NoPseudoTerminalNamesItsReason)
{
	if (access("/usr/bin/bwrap", X_OK) != 0)
		GTEST_SKIP() << "needs bwrap";
	run_opts o = suite({"--only", "raiseprint,splitcount", "--tap"});
	o.argv.insert(o.argv.begin(),
	              {"/usr/bin/bwrap", "--dev-bind", "/", "/", "--tmpfs", "/dev/pts"});
	o.argv[o.argv.size() - 4] = PROBE_DIR;  // the real probes
	run_result r = run(o);
	if (r.out.find("bwrap:") != std::string::npos || r.err.find("bwrap:") != std::string::npos)
		GTEST_SKIP() << "bwrap cannot run here: " << r.err;
	EXPECT_STATUS(r, 3) << r.out << r.err;
	EXPECT_EQ(r.out, "1..3\n"
	                 "ok 1 - splitcount # SKIP could not arrange: no pseudo-terminal: "
	                 "posix_openpt: No such device\n"
	                 "ok 2 - splitcount (stdout on a pipe)\n"
	                 "ok 3 - raiseprint # SKIP could not arrange: no pseudo-terminal: "
	                 "posix_openpt: No such device\n");
}

// The children of pid, from every one of its threads: zombies included,
// so a child that is gone from the list has been reaped.
std::size_t children_count(pid_t pid)
{
	std::size_t n = 0;
	std::string tasks = "/proc/" + std::to_string(pid) + "/task";
	DIR *d = opendir(tasks.c_str());
	if (!d)
		return 0;
	while (dirent *e = readdir(d))
		if (e->d_name[0] != '.') {
			std::istringstream list(slurp(tasks + "/" + e->d_name + "/children"));
			for (pid_t p; list >> p;)
				n++;
		}
	closedir(d);
	return n;
}

// Stand-ins for the 5-second probes that never end, each with a daemon,
// and a quick one that keeps its contract and leaves a file as it ends.
class HostileSignal : public Hostile
{
protected:
	void SetUp() override
	{
		Hostile::SetUp();
		for (const char *p : {"ringhand", "twincell", "onecell"})
			script(p, "setsid sleep 300 &\nexec sleep 300\n");
		script("raiseprint", "echo 'powl(3.2, 1.0) = 3.200000'\n: >\"$0.done\"\n");
	}

	// Runs the suite on a thread; once the three hung probes and their
	// daemons are up and the quick probe's run is over, sends the runner
	// each of sigs.
	run_result signalled(std::initializer_list<int> sigs)
	{
		std::string done = dir + "/raiseprint.done";
		unlink(done.c_str());
		run_result r;
		std::thread t([&] {
			r = run(suite({"--only", "ringhand,twincell,onecell,raiseprint"}));
		});
		// The runner, three keepers and six sleeps.
		pid_t runner = runner_once(mark, cmdline({"sleep", "300"}), 6, 10);
		EXPECT_GT(runner, 0) << "the probes did not start";
		// The quick probe ended, and its keeper was reaped: its run is over,
		// and no signal can interrupt it now.
		if (runner > 0) {
			for (int i = 0; i < 500; i++) {
				if (access(done.c_str(), F_OK) == 0 && children_count(runner) == 3)
					break;
				usleep(20000);
			}
			EXPECT_EQ(children_count(runner), 3u)
			        << "the quick probe's run did not end";
		}
		for (int sig : sigs)
			if (runner > 0)
				kill(runner, sig);
		t.join();
		return r;
	}
};

TEST_F(HostileSignal, SigtermSighupOrSigintEndsEveryProbeReportsAndExitsWith128PlusIt)
{
	for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
		std::string name = std::string("SIG") + sigabbrev_np(sig);
		run_result r = signalled({sig});
		EXPECT_STATUS(r, 128 + sig) << name << "\n" << r.out << r.err;
		for (const char *p : {"ringhand", "twincell", "onecell"}) {
			std::string v = verdict_of(r.out, p);
			EXPECT_TRUE(v.starts_with("interrupted: the run was stopped by " + name +
			                          " (interrupted after "))
			        << p << ": " << v;
		}
		EXPECT_TRUE(verdict_of(r.out, "raiseprint").starts_with("ok (exit 0, ")) << r.out;
		EXPECT_NE(r.out.find("4 scenarios, 1 kept the contract, 0 broke it, 3 interrupted"),
		          std::string::npos)
		        << r.out;
		EXPECT_LT(r.seconds, 15);
		EXPECT_EQ(marked(mark).size(), 0u) << name;
	}
}

TEST_F(HostileSignal, SecondSigintEndsAtOnceAndStillLeavesNothing)
{
	run_result r = signalled({SIGINT, SIGINT});
	EXPECT_STATUS(r, 130) << r.out << r.err;
	EXPECT_LT(r.seconds, 15);
	// Each keeper ends its probe as the runner goes.
	EXPECT_EQ(wait_marked_below(mark, 1, 3), 0u);
}

TEST_F(Hostile, FailingStdoutIsReportedAndTheExitIsNonZero)
{
	script("ringhand", "sleep 0.3\n");  // still running when stdout fails
	int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
	ASSERT_GE(full, 0);
	int gone[2];
	ASSERT_EQ(pipe2(gone, O_CLOEXEC), 0);
	close(gone[0]);  // no reader: a write raises SIGPIPE, unless ignored
	struct {
		int fd;
		const char *says;
	} cases[] = {
	        {full, "probesuite: the report could not be written: No space left on device\n"},
	        {gone[1], "probesuite: the report could not be written: Broken pipe\n"},
	};
	for (const auto &c : cases) {
		run_opts o = suite({"--only", "ringhand,raiseprint", "--tap"});
		o.fds = {{1, c.fd}};
		run_result r = run(o);
		EXPECT_STATUS(r, 4) << c.says;
		EXPECT_EQ(r.err, c.says);
	}
	close(full);
	close(gone[1]);

	run_opts o = suite({"--only", "raiseprint"});
	o.in_child = [] { close(1); };
	run_result r = run(o);
	EXPECT_STATUS(r, 4);
	EXPECT_EQ(r.err,
	          "probesuite: the report could not be written: standard output is closed\n");
}

const char quick[] = "ductread,splitcount,reapcheck,selfreport,raiseprint";
const char quick_tap[] = "1..7\n"
                         "ok 1 - ductread (no descriptor 9001)\n"
                         "ok 2 - ductread (9001 holds \"Hello, pipe!\\0\")\n"
                         "ok 3 - splitcount\n"
                         "ok 4 - splitcount (stdout on a pipe)\n"
                         "ok 5 - reapcheck\n"
                         "ok 6 - selfreport\n"
                         "ok 7 - raiseprint\n";

// The real probes, run by a runner started in a bad state.
run_result real_quick_probes(void (*in_child)())
{
	run_opts o;
	o.argv = {suite_path, "--tap", "--only", quick};
	o.in_child = in_child;
	o.timeout = 60;
	return run(o);
}

TEST(HostileStart, IgnoredSigchldChangesNoVerdictAndCostsLittleCpu)
{
	double before = children_cpu();
	run_result r = real_quick_probes([] { signal(SIGCHLD, SIG_IGN); });
	EXPECT_STATUS(r, 0) << r.out;
	EXPECT_EQ(r.out, quick_tap);
	EXPECT_LT(children_cpu() - before, 3);
}

TEST(HostileStart, ClosedStdinAndStderrChangeNoVerdict)
{
	run_result r = real_quick_probes([] {
		close(0);
		close(2);
	});
	EXPECT_STATUS(r, 0) << r.out;
	EXPECT_EQ(r.out, quick_tap);
}

TEST(HostileStart, InheritedLimitsAreNamedInTheReport)
{
	run_opts o;
	o.argv = {suite_path, "--tap", "--only", "raiseprint"};
	o.limits = {{RLIMIT_CPU, 1000}, {RLIMIT_FSIZE, 1 << 30}};
	run_result r = run(o);
	EXPECT_STATUS(r, 0) << r.out;
	EXPECT_EQ(r.out, "1..1\n# limits inherited by every probe: CPU time 1000 s, file size 1 "
	                 "GiB\nok 1 - raiseprint\n");
}

TEST(HostileStart, TimeScaleMustBeAPositiveNumber)
{
	for (const char *bad : {"0", "-1", "x", "2s", ""}) {
		run_opts o;
		o.argv = {suite_path, "--time-scale", bad};
		run_result r = run(o);
		EXPECT_STATUS(r, 2) << bad;
		EXPECT_EQ(r.err, std::string("probesuite: --time-scale needs a number from 0.01 to "
		                             "1000, not '") +
		                         bad + "'\nTry 'probesuite --help'.\n");
	}
}

}  // namespace
