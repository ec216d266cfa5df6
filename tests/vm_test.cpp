// probesuite --kernel: a machine that never gets to run the suite makes
// every scenario could-not-arrange promptly, with the reason and the
// console's last lines; a dynamic program is refused; and the guest's
// records come back as they were sent.
#include "suite/vm.h"
#include "tests/runner.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <glob.h>
#include <unistd.h>

namespace
{

// A folder whose runner and probes are all one static stand-in.
class Kernel : public Scratch
{
protected:
	Kernel() : Scratch("vm")
	{
	}

	void stand_in(const char *program)
	{
		for (const char *name : {"probesuite", "tickspan", "raiseprint"})
			ASSERT_EQ(symlink(program, (dir + "/" + name).c_str()), 0) << name;
	}

	static std::string kernel()
	{
		glob_t g;
		std::string k;
		if (glob("/boot/vmlinuz-*-cloud-amd64", 0, nullptr, &g) == 0)
			k = g.gl_pathv[g.gl_pathc - 1];
		globfree(&g);
		EXPECT_NE(k, "")
		        << "no /boot/vmlinuz-*-cloud-amd64 (Debian linux-image-cloud-amd64)";
		return k;
	}

	static run_result suite(const std::vector<std::string> &args,
	                        const std::vector<std::string> &env = {"PROBESUITE_ACCEL=tcg"})
	{
		run_opts o = suite_opts(args);
		o.env.insert(o.env.end(), env.begin(), env.end());
		return run(o);
	}

	static bool has(const std::string &text, const std::string &part)
	{
		return text.find(part) != std::string::npos;
	}
};

TEST_F(Kernel, ImageThatIsNotAKernelIsCouldNotArrangePromptly)
{
	stand_in(INIT_EXITS);
	std::string text = dir + "/vmlinuz";
	std::ofstream(text) << "not a kernel\n";
	// With KVM tried first where it opens, and with TCG only.
	for (const std::vector<std::string> &env :
	     {std::vector<std::string>{}, std::vector<std::string>{"PROBESUITE_ACCEL=tcg"}}) {
		run_result r = suite(
		        {"--kernel", text, "--dir", dir, "--only", "tickspan,raiseprint"}, env);
		EXPECT_TRUE(r.exited && r.code == 3) << describe(r) << "\n" << r.out << r.err;
		EXPECT_LT(r.seconds, 20);
		const std::string why =
		        "could not arrange: the suite did not start in the guest (the "
		        "machine ended with status 1); the console's last lines: ";
		std::size_t first = r.out.find("   verdict: " + why);
		EXPECT_NE(first, std::string::npos) << r.out;
		EXPECT_NE(r.out.find("   verdict: " + why, first + 1), std::string::npos) << r.out;
		EXPECT_TRUE(has(r.out, "\ntickspan    could not arrange not started\n"
		                       "raiseprint  could not arrange not started\n"))
		        << r.out;
		// qemu's own complaint is the last line.
		std::size_t at = r.out.find(why);
		ASSERT_NE(at, std::string::npos) << r.out;
		std::string tail = r.out.substr(at + why.size(),
		                                r.out.find(" (not started)", at) - at - why.size());
		EXPECT_TRUE(has(tail, "kernel")) << tail;
		EXPECT_TRUE(has(r.out,
		                "2 scenarios, 0 kept the contract, 0 broke it, 2 could not be "
		                "arranged; "))
		        << r.out;
	}
}

TEST_F(Kernel, ListedScenarioThatCouldNotBeArrangedStaysSo)
{
	stand_in(INIT_EXITS);
	std::string text = dir + "/vmlinuz", known = dir + "/known";
	std::ofstream(text) << "not a kernel\n";
	std::ofstream(known) << "tickspan\tthe clock is coarse here\n";
	run_result r = suite(
	        {"--kernel", text, "--dir", dir, "--only", "tickspan", "--expect", known, "--tap"});
	EXPECT_TRUE(r.exited && r.code == 3) << describe(r) << "\n" << r.out << r.err;
	EXPECT_TRUE(
	        r.out.starts_with("1..1\nok 1 - tickspan # SKIP could not arrange: the suite did "
	                          "not start in the guest"))
	        << r.out;
	EXPECT_FALSE(has(r.out, "TODO")) << r.out;
}

TEST_F(Kernel, InitThatDiesPanicsTheKernelAndTheConsoleSaysSo)
{
	stand_in(INIT_EXITS);
	run_result r = suite({"--kernel", kernel(), "--dir", dir, "--only", "tickspan", "--tap"});
	EXPECT_TRUE(r.exited && r.code == 3) << describe(r) << "\n" << r.out << r.err;
	EXPECT_TRUE(
	        r.out.starts_with("1..1\nok 1 - tickspan # SKIP could not arrange: the suite did "
	                          "not start in the guest (the machine ended with status 0); "
	                          "Kernel panic - not syncing: Attempted to kill init! "
	                          "exitcode=0x00000000; the console's last lines: "))
	        << r.out;
	EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << "a reason of one line";
	// A kernel boots to init in a few seconds here under TCG; a wide margin.
	EXPECT_LT(r.seconds, 60);
}

TEST_F(Kernel, InitThatNeverSpeaksIsBoundByTheBootTimeout)
{
	stand_in(INIT_HANGS);
	run_result r = suite({"--kernel", kernel(), "--dir", dir, "--only", "raiseprint"},
	                     {"PROBESUITE_ACCEL=tcg", "PROBESUITE_BOOT_TIMEOUT=4"});
	EXPECT_TRUE(r.exited && r.code == 3) << describe(r) << "\n" << r.out << r.err;
	EXPECT_TRUE(has(
	        r.out, "   verdict: could not arrange: the suite did not start in the guest within "
	               "4 s; the console"))
	        << r.out;
	EXPECT_GE(r.seconds, 4);
	EXPECT_LT(r.seconds, 30);
}

TEST_F(Kernel, WhatCannotGoIntoTheGuestIsRefused)
{
	stand_in(INIT_EXITS);
	std::string k = kernel();
	// A dynamic build (this one, unless it is the static flavour): a usage
	// error.
	run_result r;
	if (!names_no_loader(suite_path)) {
		r = suite({"--kernel", k, "--dir", PROBE_DIR, "--only", "tickspan"});
		EXPECT_TRUE(r.exited && r.code == 2) << describe(r);
		EXPECT_TRUE(has(r.err, "probesuite: " PROBE_DIR "/probesuite cannot go into the "
		                       "guest: it is linked dynamically (interpreter /lib"))
		        << r.err;
		EXPECT_EQ(r.out, "");
	}

	// A dynamic launcher cannot run in the guest: nothing is booted.
	r = suite({"--kernel", k, "--dir", dir, "--only", "tickspan", "--launcher", "/bin/true"});
	EXPECT_TRUE(r.exited && r.code == 3) << describe(r) << "\n" << r.out;
	EXPECT_TRUE(has(r.out, "verdict: could not arrange: the launcher /bin/true cannot run "
	                       "inside the guest: it is linked dynamically"))
	        << r.out;
	EXPECT_LT(r.seconds, 5);

	struct {
		std::vector<std::string> args, env;
		std::string says;
	} cases[] = {
	        {{"--kernel", dir + "/none"}, {}, "cannot read the kernel image " + dir + "/none"},
	        {{"--kernel", k},
	         {"PROBESUITE_ACCEL=hvf"},
	         "PROBESUITE_ACCEL is neither tcg nor kvm"},
	        {{"--kernel", k},
	         {"PROBESUITE_BOOT_TIMEOUT=soon"},
	         "PROBESUITE_BOOT_TIMEOUT is not"},
	        {{"--kernel", dir + "/tickspan", "--dir", dir + "/nothing"},
	         {},
	         "probesuite cannot go into the guest: cannot read it"},
	};
	for (const auto &c : cases) {
		std::vector<std::string> args = c.args;
		if (args.size() == 2)
			args.insert(args.end(), {"--dir", dir, "--only", "tickspan"});
		r = suite(args, c.env);
		EXPECT_TRUE(r.exited && r.code == 2) << c.says << ": " << describe(r) << r.out;
		EXPECT_TRUE(has(r.err, c.says)) << r.err;
	}
}

// The guest's records: every byte of a transcript comes back, a record cut
// short is left out, and keys a host does not know are skipped.
TEST(GuestRecord, ComesBackAsSent)
{
	scenario s;
	s.probe = "ductread";
	s.how = "9001 holds \"Hello, pipe!\\0\"";
	s.got.pid = 4242;
	s.got.exited = true;
	s.got.code = 7;
	s.got.signal = 0;
	s.got.seconds = 1.25;
	s.got.out = std::string("<cage 02> 100% \r\n\0\x01\xff\x7f end", 24) + "\n";
	s.got.err = "line one\nline two %41\n";
	s.got.out_times = {{0, 0.5}, {11, 0.75}};
	s.result = outcome::ok;

	scenario t;
	t.probe = "tickspan";
	t.got.timed_out = true;
	t.got.signal = 9;
	t.result = outcome::unarranged;
	t.why = "could not prepare descriptor 9001: Too many open files";

	std::string wire = "probesuite-guest 1\nrelease 6.1.0-57-cloud-amd64\ncpus 3\n" +
	                   record(s) + "colour blue\n" + record(t);
	guest_report g = read_report(wire + "scenario raiseprint\npid 3\n");
	EXPECT_TRUE(g.ready);
	EXPECT_FALSE(g.done);
	EXPECT_EQ(g.release, "6.1.0-57-cloud-amd64");
	EXPECT_EQ(g.cpus, 3);
	ASSERT_EQ(g.results.size(), 2u);  // raiseprint's record is cut short
	const run_result &r = g.results["ductread (9001 holds \"Hello, pipe!\\0\")"];
	EXPECT_EQ(r.setup, "");
	EXPECT_EQ(r.pid, 4242);
	EXPECT_TRUE(r.exited);
	EXPECT_EQ(r.code, 7);
	EXPECT_FALSE(r.timed_out);
	EXPECT_DOUBLE_EQ(r.seconds, 1.25);
	EXPECT_EQ(r.out, s.got.out);
	EXPECT_EQ(r.err, s.got.err);
	EXPECT_EQ(r.out_times, s.got.out_times);
	// Every record is whole lines of printable bytes.
	for (char c : record(s))
		EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << (int)c;

	// Could not be arranged before it ran: the reason travels as setup.
	const run_result &u = g.results["tickspan"];
	EXPECT_EQ(u.setup, t.why);
	EXPECT_TRUE(u.timed_out);
	EXPECT_EQ(u.signal, 9);

	EXPECT_TRUE(read_report(wire + "done \n").done);
	// A last line still on its way is not read.
	EXPECT_FALSE(read_report("probesuite-guest 1\ndone").done);
}

}  // namespace
