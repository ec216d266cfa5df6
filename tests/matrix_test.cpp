// probesuite --platforms and --compare: stand-in platforms whose probes
// differ on purpose, checked side by side; the matrix in the terminal, in
// TAP, JUnit and JSON, and as a web page in a real browser; the same
// matrix again from the saved records; a platforms file's mistakes; and a
// stopped matrix that leaves nothing running.
#include "tests/marked.h"
#include "tests/runner.h"

#include <csignal>
#include <fstream>
#include <map>
#include <thread>

namespace
{

// The table's cells by title: each column starts where its name starts
// in the heading.
std::map<std::string, std::vector<std::string>> table(const std::string &out)
{
	std::map<std::string, std::vector<std::string>> cells;
	std::vector<std::string> ls = lines(out);
	if (ls.empty() || !ls[0].starts_with("scenario "))
		return cells;
	std::vector<std::size_t> at;
	for (std::size_t i = ls[0].find("  "); i != std::string::npos; i = ls[0].find("  ", i))
		at.push_back(i = ls[0].find_first_not_of(' ', i));
	for (std::size_t r = 1; r < ls.size() && !ls[r].empty(); r++) {
		std::vector<std::string> &row = cells[ls[r].substr(0, ls[r].find("  "))];
		for (std::size_t c = 0; c < at.size(); c++) {
			std::string cell = ls[r].substr(
			        at[c], c + 1 < at.size() ? at[c + 1] - at[c] : std::string::npos);
			row.push_back(cell.substr(0, cell.find_last_not_of(' ') + 1));
		}
	}
	return cells;
}

// Seven platforms: the build's own probes, the reference; a folder where
// raiseprint prints a wrong number and ductopen is missing; the same with
// raiseprint listed as known; and the reference again through a launcher
// given by a path relative to the file, with more time, and one job at
// a time, each passed on to its runner as written.
class Matrix : public StandIns
{
protected:
	static inline run_result run_;
	static inline std::string records;

	static void SetUpTestSuite()
	{
		make_dir("matrix");
		ASSERT_EQ(mkdir((dir + "/wrong").c_str(), 0755), 0);
		script("wrong/raiseprint", "echo 'powl(3.2, 1.0) = 3.199999'\n");
		script("wrong/selfreport", "exec '" PROBE_DIR "/selfreport'\n");
		script("launch", "exec \"$@\"\n");
		std::ofstream(dir + "/known") << "raiseprint\tthis library rounds down\n";
		std::ofstream(dir + "/platforms")
		        << "# the reference first\n"
		           "native\t--only ductopen,selfreport,raiseprint\n"
		           "wrong\t--dir wrong --only ductopen,selfreport,raiseprint\n"
		           "listed\t--dir wrong --expect known --only selfreport,raiseprint\n"
		           "\n"
		           "launched\t--launcher './launch' --only ductopen,selfreport,raiseprint\n"
		           "scaled\t--time-scale 2 --only ductopen,selfreport,raiseprint\n"
		           "one-job\t-j 1 --only ductopen,selfreport,raiseprint\n"
		           "quoted\t--launcher \"'" +
		                   dir + "/launch'\" --only ductopen,selfreport,raiseprint\n";
		records = dir + "/m.json";
		run_ = suite({"--platforms", dir + "/platforms", "--json", records, "--junit",
		              dir + "/m.xml"});
	}
};

TEST_F(Matrix, ShowsEachOutcomeInItsCellAndEveryDifferenceFromTheFirstWithItsReason)
{
	EXPECT_STATUS(run_, 1) << run_.out << run_.err;
	EXPECT_EQ(run_.err, "");
	std::vector<std::string> ok7(7, "ok");
	std::map<std::string, std::vector<std::string>> want = {
	        {"ductopen", {"ok", "could not arrange", "-", "ok", "ok", "ok", "ok"}},
	        {"selfreport", ok7},
	        {"raiseprint", {"ok", "BROKEN", "known difference", "ok", "ok", "ok", "ok"}},
	};
	EXPECT_EQ(table(run_.out), want) << run_.out;
	EXPECT_TRUE(run_.out.starts_with("scenario    native  wrong              listed  "))
	        << run_.out;
	std::string differs =
	        "\nWhere the outcome differs from native's:\n"
	        "wrong: ductopen: could not arrange: no probe at " +
	        dir + "/wrong/ductopen: No such file or directory\n" +
	        "wrong: raiseprint: BROKEN: stdout line 1: expected \"powl(3.2, 1.0) = "
	        "3.200000\\n\" (main), got \"powl(3.2, 1.0) = 3.199999\\n\"\n"
	        "listed: raiseprint: known difference: this library rounds down\n\n"
	        "7 platforms, 20 runs: 17 ok, 1 BROKEN, 1 could not arrange, 1 known difference; ";
	EXPECT_NE(run_.out.find(differs), std::string::npos) << run_.out;
	EXPECT_EQ(schema_says(records), "");
}

TEST_F(Matrix, QuietGivesTheTableAloneAndCompareTheSameMatrixFromTheRecords)
{
	std::string table_only = run_.out.substr(0, run_.out.find("\n\n") + 1);
	run_result r = suite({"--compare", records, "-q"});
	EXPECT_STATUS(r, 1) << r.err;
	EXPECT_EQ(r.out, table_only);
	r = suite({"--compare", records});
	EXPECT_EQ(r.out, run_.out);

	// A single platform's record is a column named after its file.
	std::string one = dir + "/alone.json";
	r = suite({"--only", "selfreport", "--json", one, "-q"});
	ASSERT_STATUS(r, 0) << r.err;
	r = suite({"--compare", one, records, "-q"});
	EXPECT_STATUS(r, 1) << r.err;
	EXPECT_TRUE(r.out.starts_with("scenario    alone  native  wrong ")) << r.out;
	EXPECT_EQ(table(r.out)["selfreport"], std::vector<std::string>(8, "ok")) << r.out;
}

TEST_F(Matrix, TapAndJunitHaveATestPerPlatformAndScenario)
{
	run_result r = suite({"--compare", records, "--tap"});
	EXPECT_STATUS(r, 1);
	std::vector<std::string> results;
	for (const std::string &l : lines(r.out))
		if (l.starts_with("ok ") || l.starts_with("not ok "))
			results.push_back(l);
	ASSERT_EQ(results.size(), 20u) << r.out;
	EXPECT_TRUE(r.out.starts_with("1..20\n")) << r.out;
	EXPECT_EQ(results[0], "ok 1 - native: ductopen");
	EXPECT_EQ(results[3], "ok 4 - wrong: ductopen # SKIP could not arrange: no probe at " +
	                              dir + "/wrong/ductopen: No such file or directory");
	EXPECT_EQ(results[5], "not ok 6 - wrong: raiseprint");
	EXPECT_EQ(results[7], "not ok 8 - listed: raiseprint # TODO known difference: this library "
	                      "rounds down");
	EXPECT_EQ(results[19], "ok 20 - quoted: raiseprint");

	std::string xml = slurp(dir + "/m.xml");
	EXPECT_NE(xml.find("tests=\"20\" failures=\"1\" errors=\"0\" skipped=\"2\""),
	          std::string::npos)
	        << xml;
	EXPECT_NE(xml.find("<testcase classname=\"probesuite\" name=\"wrong: raiseprint\""),
	          std::string::npos)
	        << xml;
	EXPECT_EQ(occurrences(xml, "<testcase "), 20u);
}

// Debian's chromium, headless, as root, with nothing to reach.
run_result chromium(const std::string &profile, const std::vector<std::string> &args)
{
	run_opts o;
	o.argv = {"/usr/bin/chromium",
	          "--headless",
	          "--no-sandbox",
	          "--disable-gpu",
	          "--disable-quic",
	          "--no-first-run",
	          "--disable-background-networking",
	          "--disable-component-update",
	          "--disable-sync",
	          "--user-data-dir=" + profile};
	o.argv.insert(o.argv.end(), args.begin(), args.end());
	o.timeout = 60;
	o.keep = 16 << 20;
	return run(o);
}

// The page of 14 platforms, the matrix's seven twice, as a browser builds
// it; a screenshot for CI to keep, with a cell that differs opened.
TEST_F(Matrix, WebPageReadsInABrowserEachCellOpeningItsTranscript)
{
	if (access("/usr/bin/chromium", X_OK) != 0)
		GTEST_SKIP() << "needs Debian's chromium";
	std::string page = dir + "/matrix.html", earlier = dir + "/earlier.json";
	std::ofstream(earlier) << slurp(records);
	run_result r = suite({"--compare", records, earlier, "--html", page, "-q"});
	ASSERT_STATUS(r, 1) << r.err;
	std::string html = slurp(page);
	EXPECT_EQ(html.find("http"), std::string::npos) << "the page fetches nothing";

	run_result dom = chromium(dir + "/profile", {"--dump-dom", "file://" + page});
	ASSERT_STATUS(dom, 0) << dom.err;
	std::string d = dom.out;
	std::size_t table = d.find("<table class=\"matrix\""), body = d.find("<tbody>", table);
	ASSERT_NE(body, std::string::npos) << d;
	std::string heading = d.substr(table, body - table);
	EXPECT_EQ(occurrences(heading, "<th>"), 15u) << heading;  // scenario, 14 platforms
	EXPECT_NE(heading.find("<th>earlier/native</th>"), std::string::npos) << heading;
	EXPECT_EQ(occurrences(d, "<th scope=\"row\">"), 3u);
	EXPECT_EQ(occurrences(d, "<td class=\"o-broken differs\""), 2u);
	EXPECT_EQ(occurrences(d, "<details>"), 40u);  // 14 × 3, less listed's two ductopen
	std::size_t cell = d.find("<td class=\"o-broken differs\" title=\"wrong: raiseprint");
	ASSERT_NE(cell, std::string::npos) << d;
	std::string opened = d.substr(cell, d.find("</td>", cell) - cell);
	EXPECT_NE(opened.find("verdict: BROKEN: stdout line 1: expected"), std::string::npos)
	        << opened;
	EXPECT_NE(opened.find("   1 | powl(3.2, 1.0) = 3.199999$"), std::string::npos) << opened;
	EXPECT_NE(d.find("<td>glibc"), std::string::npos) << "the platforms' C library";

	std::string shown = dir + "/shown.html";
	std::ofstream(shown) << html.replace(html.find("<details>", html.find("o-broken differs")),
	                                     9, "<details open>");
	unlink(MATRIX_SCREENSHOT);
	r = chromium(dir + "/profile", {"--screenshot=" MATRIX_SCREENSHOT, "--window-size=1280,900",
	                                "file://" + shown});
	EXPECT_STATUS(r, 0) << r.err;
	EXPECT_TRUE(slurp(MATRIX_SCREENSHOT).starts_with("\x89PNG")) << MATRIX_SCREENSHOT;
}

// A mistake in a platforms file is found before anything runs or any
// report file is touched, and named with its file and line.
TEST(MatrixUsage, EachMistakeIsNamedWithItsFileAndLine)
{
	std::string dir = scratch_dir("matrix-usage");
	ASSERT_NE(dir, "");
	std::string file = dir + "/platforms", json = dir + "/r.json";
	struct {
		std::string text;
		std::string says;
	} cases[] = {
	        {"a\t--tap\n", "platforms:1: --tap makes no platform"},
	        {"# x\na\t--platforms other\n", "platforms:2: --platforms makes no platform"},
	        {"a\t--html x.html\n", "platforms:1: --html makes no platform"},
	        {"a\t--json x.json\n", "platforms:1: --json makes no platform"},
	        {"a\t-q\n", "platforms:1: -q makes no platform"},
	        {"a\t--frobnicate\n", "platforms:1: unknown option '--frobnicate'"},
	        {"a\t--only nosuch\n", "platforms:1: no probe is called 'nosuch'"},
	        {"a\t--launcher 'valgrind -q\n", "platforms:1: unclosed quote"},
	        {"a --dir x\n", "platforms:1: a tab, not a blank, separates"},
	        {"a\n\nb\t--dir .\na\t-j 2\n",
	         "platforms:4: the platform 'a' is named already on line 1"},
	        {"a\t--expect missing\n",
	         "platforms:1: cannot read the expectations file " + dir + "/missing"},
	        {"a\t--kernel /nonexistent/vmlinuz-*\n",
	         "platforms:1: no kernel image matches /nonexistent/vmlinuz-*"},
	        {"a\t-j 2\nb\t--kernel /etc/hostname --dir /nothing\n",
	         "platforms:2: /nothing/probesuite cannot go into the guest: cannot read it"},
	        {"# nothing\n", "names no platform"},
	};
	std::ofstream(json) << "old json";
	for (const auto &c : cases) {
		std::ofstream(file) << c.text;
		run_result r = suite({"--platforms", file, "--json", json});
		EXPECT_STATUS(r, 2) << c.says;
		EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
		EXPECT_EQ(r.out, "") << c.says;
		EXPECT_EQ(slurp(json), "old json") << c.says;
	}
	struct {
		std::vector<std::string> args;
		std::string says;
	} lines[] = {
	        {{"--platforms", file, "--launcher", "strace"},
	         "--launcher makes a platform: give it on the platform's line"},
	        {{"--html", json}, "--html draws a matrix"},
	        {{"--compare", dir + "/none.json"}, "cannot read the record " + dir + "/none.json"},
	        {{"--compare", file}, file + " is no run record: not JSON"},
	};
	std::ofstream(file) << "a\n";
	for (const auto &c : lines) {
		run_result r = suite(c.args);
		EXPECT_STATUS(r, 2) << c.says;
		EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
	}
	remove_dir(dir);
}

// Ctrl-C while the platforms run: every platform's runner is told, ends
// its probes and writes its record; the matrix shows what finished.
TEST(MatrixSignal, SigintEndsEveryPlatformAndTheMatrixShowsWhatFinished)
{
	std::string dir = scratch_dir("matrix-signal");
	ASSERT_NE(dir, "");
	std::string mark = "PROBESUITE_MATRIX_TEST=" + dir;
	for (const char *folder : {"/hung", "/quick"})
		ASSERT_EQ(mkdir((dir + folder).c_str(), 0755), 0);
	write_script(dir + "/hung", "ringhand", "setsid sleep 300 &\nexec sleep 300\n");
	write_script(dir + "/quick", "raiseprint",
	             "echo 'powl(3.2, 1.0) = 3.200000'\n: >\"$0.done\"\n");
	std::ofstream(dir + "/platforms") << "quick\t--dir quick --only raiseprint\n"
	                                     "hung\t--dir hung --only ringhand\n"
	                                     "hung-too\t--dir hung --only ringhand\n";
	run_opts o = suite_opts({"--platforms", dir + "/platforms"});
	o.env.push_back(mark);
	o.timeout = 60;
	run_result r;
	std::thread t([&] { r = run(o); });
	// The runner, three runners of platforms, and their probes' keepers,
	// and two sleeps each.
	pid_t runner = runner_once(mark, cmdline({"sleep", "300"}), 4);
	EXPECT_GT(runner, 0) << "the platforms did not start";
	// The quick platform's runner is done: its probe, and itself.
	auto quick_running = [&] {
		for (pid_t p : marked(mark))
			if (slurp("/proc/" + std::to_string(p) + "/cmdline").find("/quick") !=
			    std::string::npos)
				return true;
		return access((dir + "/quick/raiseprint.done").c_str(), F_OK) != 0;
	};
	for (int i = 0; i < 500 && quick_running(); i++)
		usleep(20000);
	EXPECT_FALSE(quick_running());
	if (runner > 0)
		kill(runner, SIGINT);
	t.join();
	EXPECT_STATUS(r, 130) << r.out << r.err;
	EXPECT_LT(r.seconds, 20);
	std::map<std::string, std::vector<std::string>> want = {
	        {"ringhand", {"-", "interrupted", "interrupted"}},
	        {"raiseprint", {"ok", "-", "-"}},
	};
	EXPECT_EQ(table(r.out), want) << r.out;
	EXPECT_EQ(wait_marked_below(mark, 1, 2), 0u) << "processes left running";
	for (pid_t p : marked(mark))
		kill(p, SIGKILL);
	remove_dir(dir);
}

}  // namespace
