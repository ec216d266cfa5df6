// probesuite --ssh against a real OpenSSH server on 127.0.0.1, started
// here with its own host key, authorised key and a free port: a run, a
// port nobody listens on, a key the server refuses, and a run stopped
// midway, which leaves nothing behind on the remote side.
#include "tests/runner.h"

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// A port the kernel had free a moment ago.
int free_port()
{
	int s = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t n = sizeof a;
	int port = bind(s, (sockaddr *)&a, sizeof a) == 0 && getsockname(s, (sockaddr *)&a, &n) == 0
	                   ? ntohs(a.sin_port)
	                   : -1;
	close(s);
	return port;
}

bool accepts(int port)
{
	int s = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in a = {};
	a.sin_family = AF_INET;
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	a.sin_port = htons(port);
	bool ok = connect(s, (sockaddr *)&a, sizeof a) == 0;
	close(s);
	return ok;
}

class Ssh : public StandIns
{
protected:
	static inline pid_t sshd = -1;
	static inline int port = -1;
	static inline std::string user, remote;  // remote: the remote side's TMPDIR

	static void SetUpTestSuite()
	{
		make_dir("ssh");
		remote = dir + "/remote";
		ASSERT_EQ(mkdir(remote.c_str(), 0700), 0);
		mkdir("/run/sshd", 0755);  // sshd's privilege separation wants it
		for (const char *key : {"host", "client", "stranger"}) {
			std::string k = dir + "/" + key;
			std::string gen = "ssh-keygen -q -t ed25519 -N '' -f '" + k + "'";
			ASSERT_EQ(system(gen.c_str()), 0) << gen;
		}
		ASSERT_EQ(rename((dir + "/client.pub").c_str(), (dir + "/authorized").c_str()), 0);
		port = free_port();
		std::ofstream(dir + "/sshd_config")
		        << "Port " << port << "\nListenAddress 127.0.0.1\nHostKey " << dir
		        << "/host\nAuthorizedKeysFile " << dir << "/authorized\nPidFile none\n"
		        << "StrictModes no\nUsePAM no\nUseDNS no\nPasswordAuthentication no\n"
		        << "KbdInteractiveAuthentication no\nPermitRootLogin prohibit-password\n"
		        << "AcceptEnv TMPDIR PROBESUITE_*\n";
		user = getpwuid(getuid())->pw_name;
		sshd = fork();
		if (sshd == 0) {
			std::string config = dir + "/sshd_config", log = dir + "/sshd.log";
			int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
			dup2(fd, 2);
			execl("/usr/sbin/sshd", "/usr/sbin/sshd", "-D", "-e", "-f", config.c_str(),
			      (char *)nullptr);
			_exit(127);
		}
		for (int i = 0; i < 100 && !accepts(port); i++)
			usleep(50000);
		ASSERT_TRUE(accepts(port)) << "sshd (Debian openssh-server) did not start";
	}

	static void TearDownTestSuite()
	{
		if (sshd > 0) {
			kill(sshd, SIGTERM);
			waitpid(sshd, nullptr, 0);
		}
		StandIns::TearDownTestSuite();
	}

	void SetUp() override
	{
		if (std::string(STATIC_DIR).empty())
			GTEST_SKIP() << "a sanitizer cannot link the static runner --ssh sends";
	}

	// The runner's options for the test's server, with key and port.
	static std::vector<std::string> to(const std::string &key, int at = port)
	{
		return {"--ssh",        user + "@127.0.0.1",
		        "--ssh-option", "Port=" + std::to_string(at),
		        "--ssh-option", "IdentityFile=" + dir + "/" + key,
		        "--ssh-option", "UserKnownHostsFile=/dev/null",
		        "--ssh-option", "StrictHostKeyChecking=no",
		        "--ssh-option", "LogLevel=ERROR",
		        "--ssh-option", "SetEnv=TMPDIR=" + remote,
		        "--dir",        STATIC_DIR};
	}

	static run_result suite(const std::vector<std::string> &args)
	{
		return run(suite_opts(args));
	}

	// What is in the remote side's TMPDIR.
	static int entries()
	{
		int n = 0;
		if (DIR *d = opendir(remote.c_str())) {
			while (dirent *e = readdir(d))
				n += e->d_name[0] != '.';
			closedir(d);
		}
		return n;
	}
};

// The static build's folder holds all ten probes; else three quick ones
// stand for them.
TEST_F(Ssh, RunsThereAndIsJudgedHereLeavingNothing)
{
	bool all = names_no_loader(suite_path);
	std::string json = dir + "/record.json";
	std::vector<std::string> args = to("client");
	if (all)
		args.back() = PROBE_DIR;
	else
		args.insert(args.end(), {"--only", "raiseprint,selfreport,ductread"});
	args.insert(args.end(), {"--tap", "--json", json});
	run_result r = suite(args);
	std::size_t n = all ? 12 : 4;
	EXPECT_STATUS(r, 0) << r.out << r.err;
	EXPECT_TRUE(r.out.starts_with("1.." + std::to_string(n) + "\n# ran on Linux ")) << r.out;
	EXPECT_NE(r.out.find(" on " + user + "@127.0.0.1 over ssh, "), std::string::npos) << r.out;
	EXPECT_EQ(occurrences(r.out, "\nok "), n) << r.out;
	EXPECT_EQ(occurrences(r.out, "\n# "), 1u) << "every pid verified: " << r.out;
	EXPECT_EQ(schema_says(json), "");
	EXPECT_EQ(entries(), 0);
}

// ssh's own words are the reason, promptly.
TEST_F(Ssh, UnreachableOrRefusedCannotBeArrangedWithSshsMessage)
{
	struct {
		std::vector<std::string> args;
		const char *says;
	} cases[] = {
	        {to("client", free_port()), "Connection refused"},
	        {to("stranger"), "Permission denied (publickey)"},
	};
	for (const auto &c : cases) {
		std::vector<std::string> args = c.args;
		args.insert(args.end(), {"--only", "raiseprint", "--tap"});
		run_result r = suite(args);
		EXPECT_STATUS(r, 3) << r.out << r.err;
		EXPECT_TRUE(r.out.starts_with(
		        "1..1\nok 1 - raiseprint # SKIP could not arrange: the suite did not start "
		        "on " +
		        user + "@127.0.0.1 (ssh ended with status 255); ssh's last lines: "))
		        << r.out;
		EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
		EXPECT_LT(r.seconds, 15);
	}
}

// Stopped while a 5-second probe runs there: the remote runner ends its
// probe, and its folder goes.
TEST_F(Ssh, StoppedRunLeavesNoFolderAndNoProcessThere)
{
	// A folder whose reapcheck pauses for ever.
	std::string hang = dir + "/hang";
	ASSERT_EQ(mkdir(hang.c_str(), 0755), 0);
	ASSERT_EQ(symlink(STATIC_DIR "/probesuite", (hang + "/probesuite").c_str()), 0);
	ASSERT_EQ(symlink(STANDIN, (hang + "/reapcheck").c_str()), 0);
	std::vector<std::string> args = to("client");
	args.back() = hang;  // --dir
	args.insert(args.begin(), suite_path);
	args.insert(args.end(), {"--only", "reapcheck", "--time-scale", "10"});
	pid_t runner = fork();
	if (runner == 0) {
		std::vector<char *> argv;
		argv.reserve(args.size() + 1);
		for (std::string &a : args)
			argv.push_back(a.data());
		argv.push_back(nullptr);
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		execv(argv[0], argv.data());
		_exit(127);
	}
	// Once the stand-in runs there, stop the runner.
	bool seen = false;
	for (int i = 0; i < 200 && !seen; i++) {
		usleep(50000);
		seen = system(("pgrep -f '^" + remote + "/tmp.*/probes/reapcheck$' >/dev/null")
		                      .c_str()) == 0;
	}
	EXPECT_TRUE(seen) << "the stand-in never ran there";
	kill(runner, SIGTERM);
	int status;
	waitpid(runner, &status, 0);
	EXPECT_STATUS(status, 128 + SIGTERM);
	for (int i = 0; i < 100 && entries() > 0; i++)
		usleep(50000);
	EXPECT_EQ(entries(), 0) << "the remote folder stayed";
	EXPECT_NE(system(("pgrep -f '^" + remote + "/' >/dev/null").c_str()), 0)
	        << "a process stayed there";
}

}  // namespace
