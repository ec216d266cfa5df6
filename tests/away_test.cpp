// What a guest sends is input: a stand-in kernel (tests/away/kernel.cpp)
// that replays a saved wire, sends a line past the bound, values out of
// range or leaves a daemon behind gets no verdict it did not earn, and
// the runner leaves no process and no folder behind, stopped or not.
#include "suite/plan/scenarios.h"
#include "tests/runner.h"
#include "tests/sanitized.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

// The probes planned: six scenarios.
const char *const probes = "ductopen,ductread,splitcount,tickspan";

class Away : public Scratch
{
protected:
	std::string tmp;  // the runner's TMPDIR

	Away() : Scratch("away")
	{
	}

	void SetUp() override
	{
		Scratch::SetUp();
		tmp = dir + "/tmp";
		ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
		for (const char *name :
		     {"probesuite", "ductopen", "ductread", "splitcount", "tickspan"})
			ASSERT_EQ(symlink(INIT_EXITS, (dir + "/" + name).c_str()), 0) << name;
		for (const char *mode : {"replay", "longline", "outofrange", "daemon", "painted"})
			ASSERT_EQ(symlink(AWAY_KERNEL, (dir + "/" + mode).c_str()), 0) << mode;
	}

	std::vector<std::string> args(const char *mode)
	{
		return {"--kernel", dir + "/" + mode, "--dir", dir, "--only", probes, "--tap"};
	}

	std::vector<std::string> env(const std::vector<std::string> &more = {})
	{
		std::string titles;
		for (const scenario &s : standard())
			if ((std::string(",") + probes + ",").find("," + s.probe + ",") !=
			    std::string::npos)
				titles += title(s) + "\n";
		std::vector<std::string> e = {"TMPDIR=" + tmp, "STANDIN_TITLES=" + titles};
		e.insert(e.end(), more.begin(), more.end());
		if (std::none_of(more.begin(), more.end(), [](const std::string &v) {
			    return v.starts_with("PROBESUITE_BOOT_TIMEOUT=");
		    }))
			e.push_back("PROBESUITE_BOOT_TIMEOUT=20");
		return e;
	}

	run_result suite(const char *mode, const std::vector<std::string> &more = {})
	{
		run_opts o = suite_opts(args(mode));
		for (const std::string &e : env(more))
			o.env.push_back(e);
		return run(o);
	}

	// The runner's temporary folder is gone.
	bool tmp_empty()
	{
		DIR *d = opendir(tmp.c_str());
		int n = 0;
		while (dirent *e = d ? readdir(d) : nullptr)
			n += e->d_name[0] != '.';
		if (d)
			closedir(d);
		return d && n == 0;
	}
};

// Each of the six could not be arranged, each with its reason.
TEST_F(Away, WhatTheGuestGotWrongIsNeverAVerdict)
{
	struct {
		const char *mode;
		std::vector<std::string> says;  // a reason each, in the plan's order
		std::vector<std::string> env = {};
	} cases[] = {
	        {"replay",
	         std::vector<std::string>(6, "the guest's lines do not carry this run's token")},
	        {"longline",
	         std::vector<std::string>(6, "the guest sent a line longer than "),
	         {"STANDIN_LINE_MIB=192"}},
	        // A line that never ends is held to the boot's bound.
	        {"longline",
	         std::vector<std::string>(6, "the suite did not start in the guest within 1 s"),
	         {"STANDIN_LINE_MIB=1", "PROBESUITE_BOOT_TIMEOUT=1"}},
	        {"outofrange",
	         {"does not hold: \"code\" is 99999", "does not hold: \"signal\" is 1000",
	          "does not hold: \"seconds\" is -100", "does not hold: \"pid\" is -3",
	          "the guest sent a result for it twice",
	          "the guest sent a result for \"nosuch\", which was not planned"}},
	};
	for (const auto &c : cases) {
		run_result r = suite(c.mode, c.env);
		struct rusage after;
		getrusage(RUSAGE_CHILDREN, &after);
		EXPECT_STATUS(r, 3) << c.mode << ": " << r.err;
		std::vector<std::string> l;  // the plan, then a line a scenario
		for (const std::string &line : lines(r.out))
			if (!line.starts_with("#"))
				l.push_back(line);
		ASSERT_GE(l.size(), 7u) << r.out;
		EXPECT_EQ(l[0], "1..6");
		for (std::size_t i = 0; i < 6; i++) {
			EXPECT_TRUE(l[i + 1].starts_with("ok ") &&
			            l[i + 1].find("# SKIP could not arrange: ") !=
			                    std::string::npos)
			        << c.mode << ": " << l[i + 1];
			EXPECT_NE(l[i + 1].find(c.says[i]), std::string::npos)
			        << c.mode << ": " << l[i + 1];
		}
		EXPECT_LT(r.seconds, 15) << c.mode;
		EXPECT_TRUE(tmp_empty()) << c.mode;
		// A line is held up to its bound, some 49 MiB, and no further (a
		// sanitizer's runtime takes memory of its own: the plain build checks).
		if (std::string(c.mode) == "longline" && !SANITIZED) {
			EXPECT_LT(after.ru_maxrss, 128 << 10) << "KiB";
		}
	}
}

// What the machine started in a session of its own ends with it.
TEST_F(Away, NothingTheMachineStartedOutlivesIt)
{
	std::string pidfile = dir + "/daemon.pid";
	run_result r = suite("daemon", {"STANDIN_PIDFILE=" + pidfile});
	// Its empty results judged: each broke its contract.
	EXPECT_STATUS(r, 1) << r.out << r.err;
	EXPECT_EQ(occurrences(r.out, "\nnot ok "), 6u) << r.out;
	EXPECT_EQ(r.left, 0) << "the runner left processes running";
	pid_t daemon = atoi(slurp(pidfile).c_str());
	ASSERT_GT(daemon, 0);
	EXPECT_TRUE(kill(daemon, 0) == -1 && errno == ESRCH) << "pid " << daemon << " runs on";
	EXPECT_TRUE(tmp_empty());
}

// The guest's words reach the terminal with their control bytes escaped.
TEST_F(Away, ControlBytesFromTheGuestAreShownEscaped)
{
	run_result r = suite("painted", {});
	EXPECT_STATUS(r, 1) << r.out << r.err;
	EXPECT_EQ(r.out.find('\033'), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("# ran on Linux 6.1.0-standin\\x1b[2J\\x1b[31m as user-mode Linux"),
	          std::string::npos)
	        << r.out;
}

// SIGTERM while a long line comes in: the runner ends promptly, as
// stopped, and leaves no folder.
TEST_F(Away, StoppedDuringALongLineEndsPromptlyLeavingNoFolder)
{
	std::vector<std::string> a = args("longline"),
	                         e = env({"STANDIN_LINE_MIB=1", "NO_COLOR=1"});
	a.insert(a.begin(), suite_path);
	for (char **v = environ; *v; v++)
		e.push_back(*v);
	std::vector<char *> argv, envp;
	for (std::string &s : a)
		argv.push_back(s.data());
	for (std::string &s : e)
		envp.push_back(s.data());
	argv.push_back(nullptr);
	envp.push_back(nullptr);
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
	pid_t pid;
	ASSERT_EQ(posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()), 0);
	posix_spawn_file_actions_destroy(&fa);
	// Until the megabyte is on the wire.
	std::string wire;
	for (int i = 0; i < 200 && wire.empty(); i++) {
		glob_t g;
		std::string pattern = tmp + "/probesuite-vm.*/results";
		struct stat st;
		if (glob(pattern.c_str(), 0, nullptr, &g) == 0 && stat(g.gl_pathv[0], &st) == 0 &&
		    st.st_size >= (1 << 20))
			wire = g.gl_pathv[0];
		globfree(&g);
		usleep(50000);
	}
	EXPECT_NE(wire, "") << "the line never came";
	auto t0 = std::chrono::steady_clock::now();
	kill(pid, SIGTERM);
	int status = 0;
	while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
		;
	double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	EXPECT_STATUS(status, 143);
	EXPECT_LT(took, 5);
	EXPECT_TRUE(tmp_empty());
}

}  // namespace
