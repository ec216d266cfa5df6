// The suite as a LAVA test: lava/probes.sh run by dash on a stand-in
// runner that writes a given record, with a stand-in lava-test-case that
// keeps its arguments; the record taken back from a dispatcher's log
// among kernel messages and other noise, and --compare of a LAVA log with
// a record, with none and with a damaged one.
#include "suite/matrix/lava_log.h"
#include "suite/record/record.h"
#include "tests/runner.h"

#include <fstream>
#include <linux/capability.h>

namespace
{

const std::string script = std::string(SOURCE_DIR) + "/lava/probes.sh";

tally scenario(const std::string &title, outcome o, double seconds)
{
	tally t;
	t.title = title;
	t.probe = title.substr(0, title.find(' '));
	t.j.result = o;
	t.runs = 1;
	t.shown = 0;
	t.seconds = seconds;
	t.outcomes[o] = 1;
	t.got.out = "a \"quoted\" \\ line\n";
	return t;
}

// A console line as the dispatcher logs it, its msg a YAML double-quoted
// string.
std::string logged(const std::string &line, const char *prefix = "")
{
	std::string msg;
	for (char c : line)
		msg += c == '"' ? "\\\\\\\"" : c == '\\' ? "\\\\" : std::string(1, c);
	return std::string(prefix) +
	       "{\"dt\": \"2026-12-10T12:03:36.872071\", \"lvl\": \"target\", " + "\"msg\": \"" +
	       msg + "\"}\n";
}

class Lava : public Scratch
{
protected:
	Lava() : Scratch("lava")
	{
	}

	std::string given;  // what the stand-in runner writes
	int steps = 0;

	// probes.sh on a stand-in runner that writes the record json (none
	// when empty) and exits with status; the stand-in lava-test-case's
	// lines are in dir/cases. The shell finds PATH's programs, or only
	// those named.
	run_result step(const std::string &json, int status,
	                const std::vector<std::string> &extra = {},
	                const std::vector<std::string> &only = {}, rlim_t files = 0)
	{
		given = dir + "/given.json";
		std::ofstream(given) << json;
		write_script(dir, "probesuite",
		             "echo \"$*\" >'" + dir + "/args'\nulimit -n >'" + dir +
		                     "/limit'\n"
		                     "while [ $# -gt 0 ]; do [ \"$1\" = --json ] && cat '" +
		                     given +
		                     "' >\"$2\"; shift; done\n"
		                     "echo 1..1\nexit " +
		                     std::to_string(status) + "\n");
		std::string bin = dir + "/bin" + std::to_string(++steps);
		mkdir(bin.c_str(), 0755);
		write_script(bin, "lava-test-case", "echo \"$*\" >>'" + dir + "/cases'\n");
		std::string path = bin;
		if (only.empty())
			path += ":/usr/bin:/bin";
		for (const std::string &p : only) {
			std::string to = bin;
			to += "/" + p;
			EXPECT_EQ(symlink(("/usr/bin/" + p).c_str(), to.c_str()), 0) << p;
		}
		run_opts o;
		o.argv = {"/bin/dash", script, dir};
		o.argv.insert(o.argv.end(), extra.begin(), extra.end());
		o.env = {"PATH=" + path, "TMPDIR=" + dir};
		o.timeout = 30;
		if (files)
			o.limits = {{RLIMIT_NOFILE, files}};
		return run(o);
	}
};

TEST_F(Lava, EachOutcomeIsACaseWithItsResultAndSecondsUnderAFoldedUniqueName)
{
	struct {
		std::string title;
		outcome o;
		double seconds;
		std::string reported;  // as lava-test-case gets it
	} cases[] = {
	        {"ringhand", outcome::ok, 5.25, "ringhand --result pass --measurement 5.25"},
	        {"selfreport", outcome::unverified, 0.5,
	         "selfreport --result pass --measurement 0.5"},
	        {"ductread (9001 holds \"Hello, pipe!\\0\")", outcome::broken, 0.5,
	         "ductread__9001_holds__Hello__pipe__0__ --result fail --measurement 0.5"},
	        {"splitcount", outcome::unarranged, 0,
	         "splitcount --result skip --measurement 0.0"},
	        {"onecell", outcome::known, 5.5, "onecell --result skip --measurement 5.5"},
	        {"twincell", outcome::no_longer, 4.5, "twincell --result pass --measurement 4.5"},
	        {"tickspan", outcome::interrupted, 1.5, "tickspan --result fail --measurement 1.5"},
	        {"a/b", outcome::ok, 0.25, "a_b --result pass --measurement 0.25"},
	        {"a_b", outcome::ok, 0.25, "a_b_2 --result pass --measurement 0.25"},
	        {"a:b", outcome::ok, 0.25, "a_b_3 --result pass --measurement 0.25"},
	        {"probesuite-run", outcome::ok, 0.25,
	         "probesuite-run_2 --result pass --measurement 0.25"},
	        {"caf\xc3\xa9 \xe2\x82\xac", outcome::ok, 0.25,
	         "caf______ --result pass --measurement 0.25"},
	        {"x\xff.y", outcome::ok, 0.25, "x_.y --result pass --measurement 0.25"},
	};
	record r;
	for (const auto &c : cases)
		r.scenarios.push_back(scenario(c.title, c.o, c.seconds));
	// The record as the runner writes it, and on one line.
	std::string pretty = json_record(r), compact;
	for (std::size_t i = 0; i < pretty.size(); i++)
		if (pretty[i] != '\n')
			compact += pretty[i];
		else
			i = pretty.find_first_not_of(' ', i + 1) - 1;
	for (const std::string &json : {pretty, compact}) {
		unlink((dir + "/cases").c_str());
		run_result got = step(json, 1, {"--only", "ringhand", "-j", "2"});
		EXPECT_STATUS(got, 1) << got.err;
		std::vector<std::string> reported = lines(slurp(dir + "/cases"));
		ASSERT_EQ(reported.size(), std::size(cases) + 1) << slurp(dir + "/cases");
		for (std::size_t i = 0; i < std::size(cases); i++)
			EXPECT_EQ(reported[i], cases[i].reported + " --units seconds")
			        << cases[i].title;
		EXPECT_TRUE(
		        reported.back().starts_with("probesuite-run --result fail --measurement "))
		        << reported.back();
	}
	EXPECT_TRUE(slurp(dir + "/args").starts_with("--tap --json "));
	EXPECT_TRUE(slurp(dir + "/args").ends_with(" --only ringhand -j 2\n"))
	        << slurp(dir + "/args");
}

// The whole run's case passes when nothing broke, and fails when the
// runner broke a contract or wrote no record; the script exits as it did.
TEST_F(Lava, TheRunsCaseFollowsTheRunnersStatus)
{
	struct {
		int status;
		bool recorded;
		std::string result;
	} cases[] = {{0, true, "pass"}, {3, true, "pass"}, {1, true, "fail"}, {2, false, "fail"}};
	for (const auto &c : cases) {
		record r;
		if (c.recorded)
			r.scenarios.push_back(scenario("selfreport", outcome::ok, 0.1));
		unlink((dir + "/cases").c_str());
		run_result got = step(c.recorded ? json_record(r) : "", c.status);
		EXPECT_STATUS(got, c.status) << c.status;
		std::vector<std::string> reported = lines(slurp(dir + "/cases"));
		ASSERT_FALSE(reported.empty()) << c.status;
		EXPECT_TRUE(
		        reported.back().starts_with("probesuite-run --result " + c.result + " "))
		        << c.status << ": " << reported.back();
	}
}

// Under a hard limit of 4096 open files the runner starts with room for
// descriptor 9001 where the shell may raise it (CAP_SYS_RESOURCE), and
// with a note why not elsewhere.
TEST_F(Lava, TheOpenFileLimitIsRaisedAboveDescriptor9001WhereItMayBe)
{
	record r;
	r.scenarios.push_back(scenario("ductread", outcome::ok, 0.1));
	run_result got = step(json_record(r), 0, {}, {}, 4096);
	EXPECT_STATUS(got, 0) << got.err;
	if (capable(CAP_SYS_RESOURCE)) {
		EXPECT_EQ(slurp(dir + "/limit"), "10000\n");
	} else {
		EXPECT_EQ(slurp(dir + "/limit"), "4096\n");
		EXPECT_NE(got.err.find("the open-file limit stays at 4096"), std::string::npos)
		        << got.err;
	}
}

// The record comes back byte for byte from a log in which kernel
// messages cut into its lines, the dispatcher split one, and other lines
// come between; with base64 or, where there is none, od and awk.
TEST_F(Lava, TheRecordComesBackExactlyFromTheLogAmongKernelMessages)
{
	for (bool with_base64 : {true, false}) {
		record r;
		r.scenarios.push_back(scenario("ringhand", outcome::ok, 5));
		r.scenarios.push_back(scenario("raiseprint", outcome::broken, 0.1));
		r.scenarios[1].got.out = std::string("\xff\x00 bytes\n", 8);
		std::vector<std::string> tools = {"mktemp", "rm", "cat", "awk", "wc", "tr", "od"};
		if (with_base64)
			tools.push_back("base64");
		run_result got = step(json_record(r), 1, {}, tools);
		ASSERT_STATUS(got, 1) << got.err;
		std::vector<std::string> console = lines(got.out);
		std::string log = "{\"dt\": \"2026-12-10T12:03:26.4\", \"lvl\": \"info\", \"msg\": "
		                  "\"start: 0 validate\"}\n";
		int base64_lines = 0;
		for (const std::string &line : console) {
			if (line.find_first_of(" <>") != std::string::npos || line.size() < 40) {
				log += logged(line, "- ");
				log += logged("[    3.141592] random: crng init done");
				continue;
			}
			switch (base64_lines++ % 4) {
			case 0:  // a kernel message cuts in, the rest of the line follows
				log += logged(line.substr(0, 10) +
				              "[   12.345678] clocksource: tsc: unstable");
				log += logged(line.substr(10));
				break;
			case 1:  // the dispatcher split the line
				log += logged(line.substr(0, 33)) + logged(line.substr(33));
				break;
			case 2:  // the dispatcher's own line, and one it escaped
				log += logged(line) +
				       "{\"dt\": \"x\", \"lvl\": \"debug\", \"msg\": \"ok\"}\n" +
				       "{\"dt\": \"x\", \"lvl\": \"target\", \"msg\": "
				       "\"\\e[0m\\u00e9t\\u00e9\"}\n";
				break;
			default:
				log += logged(line, "- ") + logged("probes# ");
			}
		}
		ASSERT_GT(base64_lines, 4) << got.out;
		std::ofstream(dir + "/lava") << log;
		std::string json, why;
		EXPECT_TRUE(record_from_log(log, json, why)) << why;
		EXPECT_EQ(json, slurp(given)) << with_base64;

		// --compare reads the log as it reads the record.
		ASSERT_EQ(rename(given.c_str(), (dir + "/lava.json").c_str()), 0);
		run_result from_log = suite({"--compare", dir + "/lava"});
		run_result from_record = suite({"--compare", dir + "/lava.json"});
		EXPECT_STATUS(from_log, 1) << from_log.err;
		EXPECT_EQ(from_log.out, from_record.out);
	}
}

// A log with no record, or a damaged one, is a usage error that names the
// file.
TEST_F(Lava, CompareOfALogWithoutAWholeRecordIsAUsageErrorNamingTheFile)
{
	auto logged_record = [&](const std::string &size, const std::string &payload, bool end) {
		std::string log = logged("probes-record-begin " + size);
		for (std::size_t i = 0; i < payload.size(); i += 76)
			log += logged(payload.substr(i, 76));
		return log + (end ? logged("probes-record-end") : "");
	};
	std::string b64 = "eyJmb3JtYXQiOiAxfQ==";  // {"format": 1}
	struct {
		std::string log, says;
	} cases[] = {
	        {logged("probes# ") + logged("Kernel panic - not syncing"), "holds no run record"},
	        {logged_record("13", b64, false), "cut short"},
	        {logged_record("13", b64.substr(0, 19), true), "not base64"},
	        {logged_record("20", b64, true), "has 13 bytes, not the 20"},
	        {logged_record("13", b64, true), "damaged: no field \"platform\""},
	        {logged_record("8", "bm90IEpTT04=", true), "damaged: not JSON"},  // "not JSON"
	};
	for (const auto &c : cases) {
		std::string file = dir + "/job.log";
		std::ofstream(file) << c.log;
		run_result r = suite({"--compare", file});
		EXPECT_STATUS(r, 2) << c.says;
		EXPECT_NE(r.err.find(file + " is a LAVA log"), std::string::npos) << r.err;
		EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
	}
}

}  // namespace
