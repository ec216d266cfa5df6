// The observer: run() finds the probe's own process behind any launcher,
// tells whether descriptor 9001 reached it and why a child could not be
// set up; probesuite keeps ok, BROKEN and could not arrange apart.
#include "check/harness/keeper.h"
#include "tests/runner.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

const std::string message("Hello, pipe!\0", 13);

std::string path_of(const std::string &probe)
{
	return std::string(PROBE_DIR) + "/" + probe;
}

// Runs probe, observed, with argv's words before its path.
run_result observed_run(const std::string &probe, std::vector<std::string> argv = {},
                        bool fed = false)
{
	run_opts o;
	o.argv = std::move(argv);
	o.argv.push_back(path_of(probe));
	o.observe.probe = path_of(probe);
	int feed[2] = {-1, -1};
	if (fed) {
		EXPECT_EQ(pipe2(feed, O_CLOEXEC), 0);
		EXPECT_EQ(write(feed[1], message.data(), message.size()), (ssize_t)message.size());
		close(feed[1]);
		o.fds.push_back({9001, feed[0]});
		o.observe.fd = 9001;
	}
	run_result r = run(o);
	if (feed[0] >= 0)
		close(feed[0]);
	return r;
}

// The pid in selfreport's second line; -1 when there is none.
int printed_pid(const std::string &out)
{
	const std::string head = "Current process id number is: ";
	std::size_t at = out.find(head);
	return at == std::string::npos ? -1 : atoi(out.c_str() + at + head.size());
}

// Forks, runs its arguments as its child and passes on their status.
const std::vector<std::string> forking = {"/bin/sh", "-c", "\"$@\"; exit $?", "sh"};
// The words that run their arguments as pid 1 of a new pid namespace: in a
// user namespace of its own or, as root, without one, since a process in a
// chroot may make no user namespace. None where neither works, and why.
std::vector<std::string> pid_namespace(std::string *why = nullptr)
{
	const std::vector<std::string> ways[] = {
	        {"/usr/bin/unshare", "--user", "--map-root-user", "--pid", "--fork"},
	        {"/usr/bin/unshare", "--pid", "--fork"}};
	std::string errors;
	for (const auto &way : ways) {
		run_opts o;
		o.argv = way;
		o.argv.push_back("/bin/true");
		run_result r = run(o);
		if (r.exited && r.code == 0)
			return way;
		errors += r.err;
	}
	if (why)
		*why = errors;
	return {};
}

// A keeper whose notes run() has closed ends what it keeps, and itself,
// rather than telling of each note that met the closed pipe for ever.
TEST(Keeper, EndsOnceItsNotesAreClosed)
{
	int notes[2];
	ASSERT_EQ(pipe2(notes, O_CLOEXEC), 0);
	pid_t runner = getpid(), k = fork_keeper();
	ASSERT_GE(k, 0);
	if (k == 0) {
		close(notes[0]);
		// A grandchild that ends at once, reaped and told of by the keeper.
		keep(
		        notes[1], runner,
		        [](void *) {
			        execl("/bin/sh", "sh", "-c", "(true &); exec sleep 30",
			              (char *)nullptr);
			        _exit(127);
		        },
		        nullptr);
	}
	close(notes[1]);
	close(notes[0]);
	usleep(300000);
	kill(k, SIGTERM);
	int status = 0;
	pid_t w = 0;
	for (int i = 0; i < 100 && (w = waitpid(k, &status, WNOHANG)) == 0; i++)
		usleep(50000);
	if (w == 0) {
		kill(k, SIGKILL);
		waitpid(k, &status, 0);
	}
	forget_keeper(k);
	EXPECT_EQ(w, k) << "the keeper was still running 5 s after SIGTERM";
}

TEST(Observer, FindsTheProbeExecdInPlace)
{
	run_result r = observed_run("selfreport");
	EXPECT_TRUE(r.seen.asked && r.seen.watching && r.seen.ran) << r.seen.why_not;
	EXPECT_EQ(r.seen.pid, r.pid);
	EXPECT_EQ(printed_pid(r.out), r.pid);
	verdict v = EXPECT_CONTRACT(selfreport(), r);
	EXPECT_EQ(v.why, "");
}

TEST(Observer, FindsTheProbeBehindAForkingLauncher)
{
	std::vector<std::string> argv = forking;
	argv[0] = "/bin/sh";
	run_result r = observed_run("selfreport", argv);
	EXPECT_TRUE(r.seen.watching && r.seen.ran) << r.seen.why_not;
	EXPECT_GT(r.seen.pid, 0);
	EXPECT_NE(r.seen.pid, r.pid);  // the shell's child
	EXPECT_EQ(printed_pid(r.out), r.seen.pid);
	verdict v = EXPECT_CONTRACT(selfreport(), r);
	EXPECT_EQ(v.why, "");

	// Without observing, the child's own pid is the one to print.
	run_opts o;
	o.argv = argv;
	o.argv.push_back(path_of("selfreport"));
	r = run(o);
	EXPECT_FALSE(r.seen.asked);
	EXPECT_FALSE(check_contract(selfreport(), r).ok);
}

TEST(Observer, TakesThePidTheProbeHasInItsOwnNamespace)
{
	std::string why;
	std::vector<std::string> argv = pid_namespace(&why);
	if (argv.empty())
		GTEST_SKIP() << "no pid namespace here (in a chroot, only root may make one): "
		             << why;
	run_result r = observed_run("reapcheck", argv);
	EXPECT_TRUE(r.seen.ran) << r.seen.why_not;
	EXPECT_EQ(r.seen.pid, 1);
	EXPECT_EQ(r.out, "Current process id number is: 1 \nval = -1; status = 0 \n");
	verdict v = EXPECT_CONTRACT(reapcheck(), r);
	EXPECT_EQ(v.why, "");
}

// The values a probe prints are checked where its process was seen, and
// said to be unverified where the part of it they need was not.
TEST(Observer, ValuesThatCannotBeCheckedAreSaidToBeUnverified)
{
	struct {
		const char *probe;
		contract c;
		void (*blind)(observed &);
		const char *why;
	} cases[] = {
	        {"ductopen", ductopen(), [](observed &s) { s.fds_exit.clear(); },
	         "fd[0] and fd[1] not verified: the probe's end was not seen"},
	        {"splitcount", splitcount(false), [](observed &s) { s.forked = -1; },
	         "the child's pid not verified: no child of the probe's that ran its file was "
	         "seen"},
	};
	for (auto &c : cases) {
		run_result r = observed_run(c.probe);
		verdict v = EXPECT_CONTRACT(c.c, r);
		EXPECT_EQ(v.why, "") << c.probe;
		c.blind(r.seen);
		v = check_contract(c.c, r);
		EXPECT_TRUE(v.ok) << c.probe << ": " << v.why;
		EXPECT_EQ(v.why, c.why) << c.probe;
	}
}

TEST(Observer, TellsWhetherDescriptor9001ReachedTheProbe)
{
	run_result r = observed_run("ductread", {}, true);
	EXPECT_EQ(r.setup, "");
	EXPECT_EQ(r.seen.fd_open, 1);
	EXPECT_CONTRACT(ductread("Hello, pipe!", false), r);

	// Passed through a forking launcher.
	r = observed_run("ductread", forking, true);
	EXPECT_EQ(r.setup, "");
	EXPECT_EQ(r.seen.fd_open, 1);
	EXPECT_CONTRACT(ductread("Hello, pipe!", false), r);

	// Closed by the launcher.
	r = observed_run("ductread", {"/bin/bash", "-c", "exec 9001<&-; exec \"$@\"", "bash"},
	                 true);
	EXPECT_EQ(r.setup, "the launcher did not pass descriptor 9001 to the probe");
	EXPECT_EQ(r.seen.fd_open, 0);
	EXPECT_EQ(r.err, "An error occurred in the read!\n");
}

TEST(Observer, NamesWhatTheChildCouldNotDo)
{
	run_result r = observed_run("selfreport", {"/nonexistent/launcher"});
	EXPECT_EQ(r.setup, "could not start /nonexistent/launcher: No such file or directory");

	run_opts o = probe("selfreport");
	o.observe.probe = o.argv[0];
	std::ifstream nr("/proc/sys/fs/nr_open");
	rlim_t nr_open = 0;
	ASSERT_TRUE(nr >> nr_open);
	o.limits.push_back({RLIMIT_NOFILE, nr_open + 1});
	r = run(o);
	EXPECT_EQ(r.setup, "could not set the limit RLIMIT_NOFILE to " +
	                           std::to_string(nr_open + 1) + ": Operation not permitted");

	// A launcher whose exec of the probe fails, with the shell's 127 and 126.
	r = observed_run("selfreport", {"/bin/sh", "-c", "exec /nonexistent/loader \"$@\"", "sh"});
	EXPECT_EQ(r.setup, "the launcher could not start the probe (exit 127)");
	EXPECT_FALSE(r.seen.ran);
	r = observed_run("selfreport", {"/bin/sh", "-c", "exec / \"$@\"", "sh"});
	EXPECT_EQ(r.setup, "the launcher could not start the probe (exit 126)");

	// A launcher whose exec of the probe fails, whatever its status.
	r = observed_run("selfreport",
	                 {"/bin/sh", "-c", "\"/nonexistent/${1##*/}\"; exit 1", "sh"});
	EXPECT_EQ(r.setup, "the launcher could not start the probe (its exec failed)");

	// A probe killed behind a launcher is no setup failure, seen or not;
	// one killed before it ran is. (SIGTERM: a sanitizer's runtime would
	// turn a SIGSEGV into an exit of its own.)
	r = observed_run("ringhand",
	                 {"/bin/sh", "-c", "\"$@\" & sleep 1; kill -TERM $!; wait $!", "sh"});
	EXPECT_EQ(r.setup, "");
	EXPECT_STATUS(r, 128 + SIGTERM);
	r = observed_run("selfreport", {"/bin/sh", "-c", "kill -SEGV $$", "sh"});
	EXPECT_EQ(r.setup, "the launcher ended without running the probe (killed by signal 11 "
	                   "(Segmentation fault))");

	// The probe itself ending with 127 is the probe's status, not a setup failure.
	r = observed_run("selfreport", {"/bin/sh", "-c", "\"$@\"; exit 127", "sh"});
	EXPECT_EQ(r.setup, "");
	EXPECT_TRUE(r.seen.ran);
	EXPECT_FALSE(check_contract(selfreport(), r).ok);
}

// probesuite, with stand-in launchers and a stand-in probe.
class Observed : public StandIns
{
protected:
	static void SetUpTestSuite()
	{
		make_dir("observe");
		script("forks", "\"$@\"\nexit $?\n");
		// Closes every inherited descriptor above 2, then execs.
		script("closes", "exec bash -c 'for d in /proc/self/fd/*; do n=${d##*/}; "
		                 "[ \"$n\" -gt 2 ] && eval \"exec $n<&-\"; done; "
		                 "exec \"$@\"' bash \"$@\"\n");
		script("noloader", "exec /nonexistent/loader \"$@\"\n");
		script("badpath", "\"/nonexistent/${1##*/}\"\nexit 1\n");
		// Launchers that give the probe what its scenario does not, or
		// never run it.
		script("piped", "\"$1\" | cat\n");
		script("onterm", "exec script -qec \"$1\" /dev/null\n");
		script("extra",
		       "exec bash -c 'ulimit -Sn $(ulimit -Hn); exec \"$0\" 9001</dev/null' "
		       "\"$1\"\n");
		script("fails", "exit 1\n");
		script("noimage", "echo 'Error: localhost/no-such-image: image not known' >&2\n"
		                  "exit 125\n");
		script("canned",
		       "printf 'Starting of the program, start_t = 837\\nGoing to scan a "
		       "big loop, start_t = 837\\nEnd of the big loop, end_t = 853\\nTotal "
		       "time taken by CPU: 0\\nExiting of the program...\\n'\n");
		// A sandbox's kernel: maps the probe's file shared and prints a
		// transcript of its own.
		std::ofstream(dir + "/saved") << "powl(3.2, 1.0) = 3.200000\n";
		script("hosts",
		       std::string("exec ") + SHAREDMAP + " \"" + dir + "/saved\" \"$1\"\n");
		// (The child ends once the probe runs: the launcher, not the probe,
		// has a handler for its SIGCHLD.)
		script("inherit", "(sleep 1; exit 3) & exec \"$1\"\n");
		// A probe directory whose selfreport prints its parent's pid.
		ASSERT_EQ(mkdir((dir + "/probes").c_str(), 0755), 0);
		ASSERT_EQ(symlink(OTHERPID, (dir + "/probes/selfreport").c_str()), 0);
	}
};

TEST_F(Observed, PidNotItsOwnIsBrokenWithOrWithoutALauncher)
{
	const std::string probes = dir + "/probes";
	struct {
		const char *how;
		std::string launcher;
	} cases[] = {{"no launcher", ""},
	             {"forking launcher", launcher("forks")},
	             {"pid namespace", ""}};
	for (const std::string &word : pid_namespace())
		cases[2].launcher += (cases[2].launcher.empty() ? "" : " ") + word;
	for (const auto &c : cases) {
		if (c.how == cases[2].how && c.launcher.empty())
			continue;
		std::vector<std::string> args = {"--dir", probes, "--only", "selfreport"};
		if (!c.launcher.empty())
			args.insert(args.end(), {"--launcher", c.launcher});
		run_result r = suite(args);
		EXPECT_STATUS(r, 1) << c.how << "\n" << r.out;
		// The verdict names the probe's own pid, then the one it printed.
		const std::string head = "verdict: BROKEN: stdout line 2: expected \"Current "
		                         "process id number is: ",
		                  middle = " \\n\" (main), got \"Current process id number is: ";
		std::size_t at = r.out.find(head), mid = r.out.find(middle, at);
		ASSERT_NE(mid, std::string::npos) << c.how << ": " << r.out;
		int expected = atoi(r.out.c_str() + at + head.size());
		int got = atoi(r.out.c_str() + mid + middle.size());
		EXPECT_GT(expected, 0) << c.how;
		EXPECT_NE(expected, got) << c.how;
		if (c.how == cases[2].how) {
			EXPECT_EQ(expected, 1) << r.out;  // pid 1 in the namespace; its parent is 0
		}
	}
}

// gVisor's Sentry maps the probe's file to serve it and asks for its own
// pid: it is never taken for the probe, whose pid then cannot be verified,
// right or wrong; nor can whether descriptor 9001 reached it.
TEST_F(Observed, SandboxKernelIsNeverTakenForTheProbe)
{
	run_opts t;
	t.argv = {"/usr/bin/runsc", "--network=none", "do", "/bin/true"};
	if (run_result r = run(t); !r.exited || r.code != 0)
		GTEST_SKIP() << "runsc (Debian runsc) cannot run a sandbox here: " << describe(r)
		             << ": " << r.err;
	// Whether the Sentry's own calls came while it held the probe's file
	// tells whether what it printed is judged, an unverified ok, or could
	// not be arranged, as no sign of the probe was seen; it is never the
	// probe either way. (A sandbox starts slowly on a busy machine: a wider
	// limit.)
	const std::string runsc = "runsc --network=none do";
	const std::string unseen =
	        "could not arrange: the launcher ended without running the probe";
	run_result r = suite({"--launcher", runsc, "--time-scale", "3", "--dir", dir + "/probes",
	                      "--only", "selfreport"});
	bool judged =
	        r.out.find("   verdict: ok unverified: pid not verified: ") != std::string::npos;
	EXPECT_TRUE(judged || r.out.find("   verdict: " + unseen) != std::string::npos) << r.out;
	EXPECT_STATUS(r, judged ? 0 : 3) << r.out;
	r = suite({"--launcher", runsc, "--time-scale", "3", "--only", "ductread,raiseprint",
	           "--tap"});
	EXPECT_STATUS(r, 3) << r.out;
	const std::string fed = "ok 2 - ductread (9001 holds \"Hello, pipe!\\0\") # SKIP ";
	EXPECT_TRUE(r.out.find(fed + "could not arrange: descriptor 9001 did not reach the probe, "
	                             "and whether the launcher passed it could not be seen: ") !=
	                    std::string::npos ||
	            r.out.find(fed + unseen) != std::string::npos)
	        << r.out;
	EXPECT_TRUE(r.out.find("ok 3 - raiseprint # unverified: ") != std::string::npos ||
	            r.out.find("ok 3 - raiseprint # SKIP " + unseen) != std::string::npos)
	        << r.out;
}

TEST_F(Observed, PremiseNotGivenOrProbeNeverRunCannotBeArranged)
{
	struct {
		const char *launcher, *only;
		int status;
		std::string tap;
	} cases[] = {
	        {"piped", "splitcount", 3,
	         "1..2\nok 1 - splitcount # SKIP could not arrange: the probe's stdout was a pipe, "
	         "not a "
	         "terminal\nok 2 - splitcount (stdout on a pipe)\n"},
	        {"onterm", "splitcount", 3,
	         "1..2\nok 1 - splitcount # SKIP could not arrange: the probe's stderr was a "
	         "terminal, "
	         "not a pipe\nok 2 - splitcount (stdout on a pipe) # SKIP could not arrange: the "
	         "probe's stdout was a terminal, not a pipe\n"},
	        {"extra", "ductread", 3,
	         "1..2\nok 1 - ductread (no descriptor 9001) # SKIP could not arrange: the probe's "
	         "descriptor 9001 was a device, not closed\nok 2 - ductread (9001 holds "
	         "\"Hello, pipe!\\0\") # SKIP could not arrange: the probe's descriptor 9001 was a "
	         "device, not a pipe\n"},
	        {"fails", "raiseprint", 3,
	         "1..1\nok 1 - raiseprint # SKIP could not arrange: the launcher ended without "
	         "running "
	         "the probe (exit 1)\n"},
	        // What a launcher prints without the probe is no transcript.
	        {"noimage", "raiseprint", 3,
	         "1..1\nok 1 - raiseprint # SKIP could not arrange: the launcher ended without "
	         "running the probe (exit 125): Error: localhost/no-such-image: image not known\n"},
	        {"canned", "tickspan", 3,
	         "1..1\nok 1 - tickspan # SKIP could not arrange: the launcher ended without "
	         "running the probe (exit 0)\n"},
	        // Except from a sandbox's kernel: judged, and an ok says it is unverified.
	        {"hosts", "raiseprint", 0,
	         "1..1\nok 1 - raiseprint # unverified: the probe ran in a sandbox's own kernel, "
	         "where its process cannot be seen\n"},
	        // The page's existing child: its pid and status 768 are the contract.
	        {"inherit", "reapcheck", 0, "1..1\nok 1 - reapcheck\n"},
	};
	for (const auto &c : cases) {
		if (c.launcher == std::string("onterm") && access("/usr/bin/script", X_OK) != 0)
			continue;
		run_result r =
		        suite({"--tap", "--launcher", launcher(c.launcher), "--only", c.only});
		EXPECT_STATUS(r, c.status) << c.launcher;
		EXPECT_EQ(r.out, c.tap) << c.launcher;
	}
}

// What the C library says, made to lie, against what the runner saw.
TEST_F(Observed, ValuesThePlatformReportsAreCheckedAgainstWhatTheRunnerSaw)
{
	if (SANITIZED)
		GTEST_SKIP() << "fault injection needs the plain build";
	if (names_no_loader(path_of("tickspan")))
		GTEST_SKIP() << "static: nothing preloaded reaches the probes";
	auto lying = [](const std::string &fault) {
		return std::string("env LD_PRELOAD=") + FAULT_LIB + " " + fault;
	};
	// The pid fork returned to the parent is the child's plus 1000.
	run_result r = suite(
	        {"--tap", "--launcher", lying("FAULT_FORK_OFFSET=1000"), "--only", "splitcount"});
	EXPECT_STATUS(r, 1);
	const std::string head = "\nnot ok 1 - splitcount\n# the parent printed child pid ",
	                  is = ", the child's pid is ";
	std::size_t at = r.out.find(head), mid = r.out.find(is, at);
	ASSERT_NE(mid, std::string::npos) << r.out;
	EXPECT_EQ(atoi(r.out.c_str() + at + head.size()) - atoi(r.out.c_str() + mid + is.size()),
	          1000)
	        << r.out;

	struct {
		const char *fault, *only;
		int status;
		const char *says;
	} cases[] = {
	        {"FAULT_CLOCK_READS=900000,100", "tickspan", 1,
	         "\nnot ok 1 - tickspan\n# the clock went backwards: start_t = 900000, end_t = 100 "
	         "("},
	        {"FAULT_CLOCK_READS=100,900100", "tickspan", 1,
	         "\nnot ok 1 - tickspan\n# the clock ran faster than the probe: end_t - start_t = "
	         "900000 (0.900000 s), the kernel accounted 0."},
	        {"FAULT_CLOCK_READS=-1,500", "tickspan", 1,
	         "\nnot ok 1 - tickspan\n# start_t = -1, end_t = 500: a clock that fails reads -1 "
	         "every time ("},
	        {"FAULT_CLOCK_READS=900000000,900000000", "tickspan", 1,
	         "\nnot ok 1 - tickspan\n# the clock read more than the probe's processor time: "
	         "start_t = 900000000, end_t = 900000000, the kernel accounted 0."},
	        {"FAULT_CLOCK=1,2", "tickspan", 0, "\nok 1 - tickspan\n"},
	        {"FAULT_PIPE_SWAP=1", "ductopen", 1,
	         "\nnot ok 1 - ductopen\n# fd[0] 4 is not the read end of the pipe: it is the "
	         "write end ("},
	        {"FAULT_PIPE_FDS=40,41", "ductopen", 1,
	         "\nnot ok 1 - ductopen\n# fd[0] 40 is not a pipe the probe holds ("},
	        {"FAULT_FORK=1", "splitcount", 1,
	         "\nnot ok 1 - splitcount\n# the probe could not split: fork failed (exit 1) ("},
	};
	// The clock backwards, faster than the probe, failing at one reading
	// only, reading more than the probe used; and failing at every one, as
	// the page allows. The pipe's ends swapped, or never opened; the split
	// failed.
	for (const auto &c : cases) {
		r = suite({"--tap", "--launcher", lying(c.fault), "--only", c.only});
		EXPECT_STATUS(r, c.status) << c.fault;
		EXPECT_NE(r.out.find(c.says), std::string::npos) << c.fault << ":\n" << r.out;
	}
}

TEST_F(Observed, ForkingLauncherKeepsTheProbesPidsOk)
{
	run_result r = suite({"--launcher", launcher("forks"), "--only", "selfreport,reapcheck"});
	EXPECT_STATUS(r, 0) << r.out;
	EXPECT_EQ(occurrences(r.out, "   verdict: ok (exit 0, "), 2u) << r.out;
	EXPECT_EQ(r.out.find("not verified"), std::string::npos);
}

TEST_F(Observed, LauncherThatClosesDescriptorsCannotArrangeTheFedRead)
{
	run_result r = suite({"--launcher", launcher("closes"), "--only", "ductread"});
	EXPECT_STATUS(r, 3) << r.out;
	EXPECT_EQ(occurrences(r.out, "   verdict: ok (exit 0, "), 1u) << r.out;  // without 9001
	EXPECT_NE(r.out.find("   verdict: could not arrange: the launcher did not pass descriptor "
	                     "9001 to the probe (exit 0, "),
	          std::string::npos)
	        << r.out;
	EXPECT_NE(r.out.find("2 scenarios, 1 kept the contract, 0 broke it, 1 could not be "
	                     "arranged"),
	          std::string::npos)
	        << r.out;

	r = suite({"--tap", "--launcher", launcher("closes"), "--only", "ductread"});
	EXPECT_STATUS(r, 3) << r.out;
	EXPECT_EQ(r.out, "1..2\nok 1 - ductread (no descriptor 9001)\nok 2 - ductread (9001 holds "
	                 "\"Hello, pipe!\\0\") # SKIP could not arrange: the launcher did not "
	                 "pass descriptor 9001 to the probe\n");
}

TEST_F(Observed, LauncherThatCannotStartTheProbeCannotArrange)
{
	run_result r = suite({"--launcher", launcher("noloader"), "--only", "raiseprint,tickspan"});
	EXPECT_STATUS(r, 3) << r.out;
	EXPECT_EQ(occurrences(r.out,
	                      "   verdict: could not arrange: the launcher could not start the "
	                      "probe (exit 127) (exit 127, "),
	          2u)
	        << r.out;
	EXPECT_EQ(r.out.find("BROKEN"), std::string::npos);

	r = suite({"--tap", "--launcher", launcher("badpath"), "--only", "selfreport"});
	EXPECT_STATUS(r, 3) << r.out;
	EXPECT_EQ(r.out, "1..1\nok 1 - selfreport # SKIP could not arrange: the launcher could "
	                 "not start the probe (its exec failed)\n");
}

TEST_F(Observed, WithoutSeccompPidLinesAreCheckedForTheirFormOnly)
{
	run_opts o =
	        suite_opts({"--launcher", launcher("forks"), "--only", "selfreport,reapcheck"});
	o.argv.insert(o.argv.begin(), NOSECCOMP);
	run_result r = run(o);
	EXPECT_STATUS(r, 0) << r.out;
	const std::string note = "pid not verified: seccomp is not available (Function not "
	                         "implemented)";
	EXPECT_EQ(occurrences(r.out, "   verdict: ok unverified: " + note + " (exit 0, "), 2u)
	        << r.out;

	// TAP tells it in a note on the result; for a probe that prints no
	// pid, too.
	o = suite_opts({"--launcher", launcher("forks"), "--only",
	                "selfreport,reapcheck,raiseprint", "--tap"});
	o.argv.insert(o.argv.begin(), NOSECCOMP);
	r = run(o);
	EXPECT_STATUS(r, 0) << r.out;
	EXPECT_EQ(r.out, "1..3\nok 1 - reapcheck # unverified: " + note +
	                         "\nok 2 - selfreport # unverified: " + note +
	                         "\nok 3 - raiseprint # unverified: not observed: seccomp is not "
	                         "available (Function not implemented)\n");

	// A wrong pid behind the launcher cannot be told; a wrong pid of the
	// runner's own child still can.
	o = suite_opts({"--launcher", launcher("forks"), "--dir", dir + "/probes", "--only",
	                "selfreport"});
	o.argv.insert(o.argv.begin(), NOSECCOMP);
	r = run(o);
	EXPECT_STATUS(r, 0) << r.out;
	EXPECT_EQ(occurrences(r.out, "   verdict: ok unverified: " + note), 1u) << r.out;
	o = suite_opts({"--dir", dir + "/probes", "--only", "selfreport"});
	o.argv.insert(o.argv.begin(), NOSECCOMP);
	r = run(o);
	EXPECT_STATUS(r, 1) << r.out;

	// Whether descriptor 9001 got lost on the way cannot be seen either.
	o = suite_opts({"--tap", "--launcher", launcher("closes"), "--only", "ductread"});
	o.argv.insert(o.argv.begin(), NOSECCOMP);
	r = run(o);
	EXPECT_STATUS(r, 3) << r.out;
	EXPECT_NE(r.out.find("\nok 2 - ductread (9001 holds \"Hello, pipe!\\0\") # SKIP could not "
	                     "arrange: descriptor 9001 did not reach the probe, and whether the "
	                     "launcher passed it could not be seen: seccomp is not available "
	                     "(Function not implemented)\n"),
	          std::string::npos)
	        << r.out;
	o = suite_opts({"--tap", "--launcher", launcher("forks"), "--only", "ductread"});
	o.argv.insert(o.argv.begin(), NOSECCOMP);
	r = run(o);
	EXPECT_STATUS(r, 0) << r.out;
}

void drop_sys_resource()
{
	prctl(PR_CAPBSET_DROP, CAP_SYS_RESOURCE, 0, 0, 0);
}

void drop_sys_admin()
{
	prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN, 0, 0, 0);
}

// The soft limit below 9001, the hard one as it is.
void low_soft_nofile()
{
	rlimit l;
	getrlimit(RLIMIT_NOFILE, &l);
	l.rlim_cur = 1024;
	setrlimit(RLIMIT_NOFILE, &l);
}

TEST(ObservedLimits, OpenFileLimitBelow9001IsRaisedWhereItMayBe)
{
	run_opts o = suite_opts({"--only", "ductread"});
	rlimit l;
	ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &l), 0);
	if (l.rlim_max > 9001) {
		o.in_child = low_soft_nofile;
		run_result r = run(o);
		EXPECT_STATUS(r, 0) << r.out;
		EXPECT_EQ(occurrences(r.out, "   verdict: ok (exit 0, "), 2u) << r.out;
	}
	o.in_child = nullptr;
	o.limits.push_back({RLIMIT_NOFILE, 4096});
	if (capable(CAP_SYS_RESOURCE)) {
		// The hard limit too.
		run_result r = run(o);
		EXPECT_STATUS(r, 0) << r.out;
		EXPECT_EQ(occurrences(r.out, "   verdict: ok (exit 0, "), 2u) << r.out;
		o.in_child = drop_sys_resource;
	}
	if (!capable(CAP_SYS_RESOURCE) || geteuid() == 0) {
		run_result r = run(o);
		EXPECT_STATUS(r, 3) << r.out;
		EXPECT_EQ(occurrences(r.out, "   verdict: ok (exit 0, "), 1u) << r.out;
		EXPECT_NE(r.out.find("   verdict: could not arrange: the open-file limit is 4096; "
		                     "descriptor 9001 needs more (not started)"),
		          std::string::npos)
		        << r.out;
		o.argv.push_back("--tap");
		r = run(o);
		EXPECT_STATUS(r, 3) << r.out;
		EXPECT_EQ(r.out,
		          "1..2\n# limits inherited by every probe: open files 4096 (too few for "
		          "descriptor 9001)\nok 1 - ductread (no descriptor 9001)\nok 2 - ductread "
		          "(9001 "
		          "holds \"Hello, pipe!\\0\") # SKIP could not arrange: the open-file "
		          "limit is 4096; descriptor 9001 needs more\n");
	}
}

TEST_F(Observed, SetuidLauncherIsNotFilteredWithoutCapSysAdmin)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root, to drop CAP_SYS_ADMIN";
	// Without the capability the filter needs no_new_privs: fine for a
	// plain launcher, which is still observed.
	run_opts o = suite_opts({"--launcher", launcher("forks"), "--only", "selfreport"});
	o.in_child = drop_sys_admin;
	run_result r = run(o);
	EXPECT_STATUS(r, 0) << r.out;
	EXPECT_EQ(occurrences(r.out, "   verdict: ok (exit 0, "), 1u) << r.out;

	// A setuid launcher would lose its privileges: not filtered, not verified.
	std::string setuid = launcher("forks-setuid");
	std::ifstream in(launcher("forks"));
	std::ofstream(setuid) << in.rdbuf();
	ASSERT_EQ(chmod(setuid.c_str(), 04755), 0);
	o = suite_opts({"--launcher", setuid, "--only", "selfreport"});
	o.in_child = drop_sys_admin;
	r = run(o);
	EXPECT_STATUS(r, 0) << r.out;
	EXPECT_NE(r.out.find("   verdict: ok unverified: pid not verified: the launcher is setuid "
	                     "or has "
	                     "file capabilities"),
	          std::string::npos)
	        << r.out;
}

}  // namespace
