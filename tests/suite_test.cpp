// probesuite: passes on the real probes, names what broke when a launcher
// changes a probe's output, its status or its pid, and speaks TAP.
#include "tests/runner.h"

#include <fstream>
#include <map>

namespace
{

const char *const probes[] = {"ringhand",   "twincell",  "onecell",    "ductopen", "ductread",
                              "splitcount", "reapcheck", "selfreport", "tickspan", "raiseprint"};

bool twice(const std::string &probe)
{
	return probe == "ductread" || probe == "splitcount";
}

// A number in digits only; -1 for anything else.
int number(const std::string &s)
{
	if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
		return -1;
	return std::stoi(s);
}

struct tap_result {
	bool ok;
	int number;
	std::string name;
};

// Parses a TAP stream: the plan line first, then results and "# " lines
// only. Fails the test on any other line.
std::vector<tap_result> parse_tap(const std::string &text, int *plan)
{
	std::vector<std::string> ls = lines(text);
	std::vector<tap_result> results;
	*plan = ls.empty() || !ls[0].starts_with("1..") ? -1 : number(ls[0].substr(3));
	if (*plan < 0) {
		ADD_FAILURE() << "no plan line first in " << visible(text);
		return results;
	}
	for (std::size_t i = 1; i < ls.size(); i++) {
		if (ls[i].starts_with("# "))
			continue;
		bool ok = ls[i].starts_with("ok ");
		std::size_t skip = ok ? 3 : ls[i].starts_with("not ok ") ? 7 : 0;
		std::string rest = ls[i].substr(skip);
		std::size_t dash = rest.find(" - ");
		int n = dash == std::string::npos ? -1 : number(rest.substr(0, dash));
		if (skip == 0 || n < 0 || dash + 3 == rest.size()) {
			ADD_FAILURE() << "line " << i + 1 << " is not TAP: " << visible(ls[i]);
			continue;
		}
		results.push_back({ok, n, rest.substr(dash + 3)});
	}
	return results;
}

struct row {
	std::string verdict, ended;
};

// The summary's rows by title: columns are at least two blanks apart, and
// the table ends at the first blank line.
std::map<std::string, row> summary(const std::string &out)
{
	std::map<std::string, row> rows;
	bool in = false;
	for (const std::string &l : lines(out)) {
		if (!in) {
			in = l.starts_with("scenario  ");
			continue;
		}
		std::size_t gap = l.find("  ");
		if (gap == std::string::npos)
			break;
		std::size_t v = l.find_first_not_of(' ', gap), end = l.find(' ', v);
		std::size_t e = l.find_first_not_of(' ', end);
		rows[l.substr(0, gap)] = {l.substr(v, end - v),
		                          e == std::string::npos ? "" : l.substr(e)};
	}
	return rows;
}

// Launchers that stand in for a faulty platform, written to a fresh
// directory once for all the tests here.
class SuiteLauncher : public StandIns
{
protected:
	static void SetUpTestSuite()
	{
		make_dir("test");
		// Stand-ins that run the probe and drop the blank before each
		// newline: a launcher could not, as it would give the probe a
		// pipe for its terminal.
		ASSERT_EQ(mkdir((dir + "/dropblank").c_str(), 0755), 0);
		for (const char *p : {"ductopen", "raiseprint"})
			write_script(dir + "/dropblank", p,
			             std::string("\"" PROBE_DIR "/") + p + "\" | sed 's/ $//'\n");
		// Prints a wrong number before raiseprint's; runs the others as they are.
		script("wrongline", "case \"$1\" in\n"
		                    "*/raiseprint) echo 'powl(3.2, 1.0) = 3.199999' ;;\n"
		                    "esac\n"
		                    "exec \"$@\"\n");
		// Runs the probe, then ends with status 3.
		script("exit3", "\"$@\"\nexit 3\n");
	}
};

TEST(Suite, PassesOnTheRealProbesInAboutFiveSeconds)
{
	run_result r = suite({}, true);
	EXPECT_STATUS(r, 0) << r.out << r.err;
	// The three 5-second probes run side by side: one after another
	// would take at least 15 s.
	EXPECT_LT(r.seconds, 13);
	EXPECT_EQ(r.err, "");

	// Every transcript is shown, a verdict under each.
	for (const char *line :
	     {"[Thread 02] AaaBbb $", "*y=99$", "<cage 01> ret: 0 $", "<cage 02> Hello, pipe! $",
	      "An error occurred in the read!$", "[child process 0]: counter = 5 $",
	      "val = -1; status = 0 $", "This is the first time.$", "Exiting of the program...$",
	      "powl(3.2, 1.0) = 3.200000$"})
		EXPECT_NE(r.out.find(line), std::string::npos) << line;
	std::size_t verdicts = 0;
	for (const std::string &l : lines(r.out))
		verdicts += l.starts_with("   verdict: ok (exit 0, ");
	EXPECT_EQ(verdicts, 12u);
	EXPECT_EQ(r.out.find("BROKEN"), std::string::npos);

	// The summary has a row per scenario, each ok.
	std::map<std::string, row> rows = summary(r.out);
	EXPECT_EQ(rows.size(), 12u);
	std::map<std::string, int> runs;
	for (const auto &[title, row] : rows) {
		runs[title.substr(0, title.find(' '))]++;
		EXPECT_EQ(row.verdict, "ok") << title;
		EXPECT_TRUE(row.ended.starts_with("exit 0, ")) << title << ": " << row.ended;
	}
	for (const char *p : probes)
		EXPECT_EQ(runs[p], twice(p) ? 2 : 1) << p;
	EXPECT_NE(r.out.find("12 scenarios, 12 kept the contract, 0 broke it"), std::string::npos);

	// On a terminal a progress line waits with the 5-second probes, and is
	// wiped before the report.
	EXPECT_NE(r.out.find("waiting for ringhand, twincell, onecell"), std::string::npos);
	EXPECT_EQ(r.out.find("Each probe runs"), r.out.rfind("\r\033[K") + 4);
}

TEST(Suite, TapHasAPlanAndOneResultPerScenarioInOrder)
{
	run_result r = suite({"--tap"});
	EXPECT_STATUS(r, 0) << r.out;
	int plan;
	std::vector<tap_result> results = parse_tap(r.out, &plan);
	EXPECT_EQ(plan, 12);
	ASSERT_EQ(results.size(), 12u);
	std::map<std::string, int> runs;
	for (std::size_t i = 0; i < results.size(); i++) {
		EXPECT_TRUE(results[i].ok) << results[i].name;
		EXPECT_EQ(results[i].number, (int)i + 1);
		runs[results[i].name.substr(0, results[i].name.find(' '))]++;
	}
	for (const char *p : probes)
		EXPECT_EQ(runs[p], twice(p) ? 2 : 1) << p;
	// No progress line on a pipe: nothing but TAP.
	EXPECT_EQ(r.out.find('\r'), std::string::npos);
}

TEST(Suite, OnlyRunsTheChosenProbes)
{
	run_result r = suite({"--tap", "--only", "splitcount,ductread"});
	EXPECT_STATUS(r, 0) << r.out;
	int plan;
	std::vector<tap_result> results = parse_tap(r.out, &plan);
	EXPECT_EQ(plan, 4);
	ASSERT_EQ(results.size(), 4u);
	for (std::size_t i = 0; i < results.size(); i++) {
		EXPECT_TRUE(results[i].ok) << results[i].name;
		EXPECT_EQ(results[i].number, (int)i + 1);
		EXPECT_TRUE(results[i].name.starts_with(i < 2 ? "ductread" : "splitcount"))
		        << results[i].name;
	}
}

TEST_F(SuiteLauncher, DroppedBlankBeforeNewlineIsNamed)
{
	run_result r = suite({"--dir", dir + "/dropblank", "--only", "ductopen,raiseprint"});
	EXPECT_STATUS(r, 1) << r.out;
	EXPECT_NE(r.out.find("   verdict: BROKEN: stdout line 1: expected \"<cage 01> ret: 0 "
	                     "\\n\" (main), got \"<cage 01> ret: 0\\n\""),
	          std::string::npos)
	        << r.out;
	std::map<std::string, row> rows = summary(r.out);
	EXPECT_EQ(rows.size(), 2u);
	EXPECT_EQ(rows["ductopen"].verdict, "BROKEN");
	// raiseprint has no blank to drop and still passes.
	EXPECT_EQ(rows["raiseprint"].verdict, "ok");
	EXPECT_NE(r.out.find("2 scenarios, 1 kept the contract, 1 broke it"), std::string::npos);
}

TEST_F(SuiteLauncher, WrongLineFailsInTapWithTheLineShown)
{
	run_result r = suite(
	        {"--tap", "--launcher", launcher("wrongline"), "--only", "raiseprint,selfreport"});
	EXPECT_STATUS(r, 1) << r.out;
	int plan;
	std::vector<tap_result> results = parse_tap(r.out, &plan);
	EXPECT_EQ(plan, 2);
	ASSERT_EQ(results.size(), 2u);
	// An exec'ing launcher keeps the pid that selfreport prints.
	EXPECT_TRUE(results[0].ok);
	EXPECT_EQ(results[0].name, "selfreport");
	EXPECT_FALSE(results[1].ok);
	EXPECT_EQ(results[1].name, "raiseprint");
	EXPECT_NE(
	        r.out.find("\nnot ok 2 - raiseprint\n# stdout line 1: expected \"powl(3.2, 1.0) = "
	                   "3.200000\\n\" (main), got \"powl(3.2, 1.0) = 3.199999\\n\""),
	        std::string::npos)
	        << r.out;
	EXPECT_NE(r.out.find("#      1 | powl(3.2, 1.0) = 3.199999$"), std::string::npos) << r.out;
}

// A forking launcher keeps the probe's pid: see observe_test.cpp.
TEST_F(SuiteLauncher, ThatFailsBreaksTheStatus)
{
	run_result r = suite({"--launcher", launcher("exit3"), "--only", "tickspan"});
	EXPECT_STATUS(r, 1) << r.out;
	EXPECT_NE(r.out.find("verdict: BROKEN: status: expected exit 0, got exit 3"),
	          std::string::npos)
	        << r.out;
}

// A usage error is found before any report file is opened: existing ones
// are left as they were.
TEST(Suite, UsageErrorsExitWithTwoAndSayWhyTouchingNoReportFile)
{
	run_result r = suite({"--help"});
	EXPECT_STATUS(r, 0);
	for (const char *option : {"--launcher", "--only", "--dir", "--tap", "--json"})
		EXPECT_NE(r.out.find(option), std::string::npos) << option;

	std::string dir = scratch_dir("usage");
	ASSERT_NE(dir, "");
	std::string junit = dir + "/j.xml", json = dir + "/r.json";
	std::ofstream(junit) << "old junit";
	std::ofstream(json) << "old json";
	struct {
		std::vector<std::string> args;
		std::string says;
	} cases[] = {
	        {{"--only", "ringhand,nosuch"}, "no probe is called 'nosuch'"},
	        {{"--launcher", "/nonexistent/emulator"}, "cannot find the launcher"},
	        {{"--launcher", "'unclosed"}, "unclosed quote"},
	        {{"--only"}, "--only needs a value"},
	        {{"--verbose"}, "unknown option '--verbose'"},
	        {{"--kernel", "/nonexistent"}, "cannot read the kernel image /nonexistent"},
	        {{"--expect", "/nonexistent"}, "cannot read the expectations file /nonexistent"},
	        {{"--json", dir + "/no/such/folder"}, "cannot write " + dir + "/no/such/folder"},
	};
	for (const auto &c : cases) {
		std::vector<std::string> args = {"--junit", junit, "--json", json};
		args.insert(args.end(), c.args.begin(), c.args.end());
		r = suite(args);
		EXPECT_STATUS(r, 2) << c.says;
		EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
		EXPECT_EQ(r.out, "") << c.says;
		EXPECT_EQ(slurp(junit), "old junit") << c.says;
		EXPECT_EQ(slurp(json), "old json") << c.says;
	}
	remove_dir(dir);
}

}  // namespace
