// probesuite's conventions: its options as getopt_long reads them,
// --version, --list, -q, -j, --repeat with its counts, JUnit XML and
// colour; and the matcher naming the source that printed last.
#include "tests/runner.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace
{

// The line of text that starts with head, without head; "" if none does.
std::string line_after(const std::string &text, const std::string &head)
{
	for (const std::string &l : lines(text))
		if (l.starts_with(head))
			return l.substr(head.size());
	return "";
}

// "1 in 2 runs, 2 in 1" as {"1": 2, "2": 1}; the runs of each value.
std::map<std::string, int> spread(const std::string &s)
{
	std::map<std::string, int> m;
	for (std::size_t from = 0; from < s.size();) {
		std::size_t comma = s.find(", ", from);
		std::string item =
		        s.substr(from, comma == std::string::npos ? comma : comma - from);
		std::size_t in = item.rfind(" in ");
		if (in == std::string::npos) {
			ADD_FAILURE() << "not a count: " << item;
			break;
		}
		m[item.substr(0, in)] = std::atoi(item.c_str() + in + 4);
		from = comma == std::string::npos ? s.size() : comma + 2;
	}
	return m;
}

int total(const std::map<std::string, int> &m)
{
	int n = 0;
	for (const auto &[value, runs] : m)
		n += runs;
	return n;
}

// A fresh directory of stand-in launchers for each test.
class Conventions : public Scratch
{
protected:
	Conventions() : Scratch("conventions")
	{
	}

	std::string script(const std::string &name, const std::string &body)
	{
		return write_script(dir, name, body);
	}

	static int xmllint(const std::string &file)
	{
		run_opts o;
		o.argv = {"/usr/bin/xmllint", "--noout", file};
		run_result r = run(o);
		EXPECT_EQ(r.err, "") << file;
		return r.exited ? r.code : -1;
	}
};

TEST(ConventionsOptions, VersionIsTheProjectsAndListNamesEveryScenario)
{
	// The project's version, as the build configured it.
	std::string version = line_after(slurp(std::string(PROBE_DIR) + "/CMakeCache.txt"),
	                                 "CMAKE_PROJECT_VERSION:STATIC=");
	ASSERT_NE(version, "");
	run_result r = suite({"--version"});
	EXPECT_STATUS(r, 0);
	EXPECT_EQ(r.out, "probesuite " + version + "\n");

	// --list runs nothing: the probes need not be there.
	r = suite({"--list", "--dir", "/nonexistent"});
	EXPECT_STATUS(r, 0) << r.err;
	std::vector<std::string> ls = lines(r.out);
	ASSERT_EQ(ls.size(), 12u) << r.out;
	const char *const starts[] = {"ringhand ",
	                              "twincell ",
	                              "onecell ",
	                              "ductopen ",
	                              "ductread (no descriptor 9001) ",
	                              "ductread (9001 holds \"Hello, pipe!\\0\") ",
	                              "splitcount ",
	                              "splitcount (stdout on a pipe) ",
	                              "reapcheck ",
	                              "selfreport ",
	                              "tickspan ",
	                              "raiseprint "};
	for (std::size_t i = 0; i < ls.size(); i++) {
		EXPECT_TRUE(ls[i].starts_with(starts[i])) << ls[i];
		bool piped = i == 7, fed = i == 5, slow = i < 3;
		EXPECT_NE(ls[i].find(piped ? " stdout on a pipe" : " stdout on a terminal"),
		          std::string::npos)
		        << ls[i];
		EXPECT_EQ(ls[i].find("descriptor 9001 on a pipe holding \"Hello, pipe!\\x00\"") !=
		                  std::string::npos,
		          fed)
		        << ls[i];
		EXPECT_EQ(ls[i].find("about 5 s") != std::string::npos, slow) << ls[i];
	}

	// With --only, the chosen ones; with a launcher, the launcher.
	r = suite({"--list", "--only", "splitcount", "--launcher", "/bin/env -i"});
	EXPECT_STATUS(r, 0) << r.err;
	ls = lines(r.out);
	ASSERT_EQ(ls.size(), 2u) << r.out;
	EXPECT_TRUE(ls[0].ends_with("; through /bin/env -i")) << ls[0];
	EXPECT_TRUE(ls[1].starts_with("splitcount (stdout on a pipe) ")) << ls[1];
}

TEST(ConventionsOptions, GetoptRulesPrefixesAndTheDoubleDash)
{
	// Unambiguous prefixes, a value after "=", bundled short options and
	// a "--" that ends the options all work.
	for (const std::vector<std::string> &args :
	     {std::vector<std::string>{"--ta", "--on", "raiseprint"},
	      {"--tap", "--only=raiseprint", "--"},
	      {"--only", "raiseprint", "-qj1", "--tap"},
	      {"--tap", "-j", "2", "--repeat=1", "--only", "raiseprint"}}) {
		run_result r = suite(args);
		EXPECT_STATUS(r, 0) << args[0] << ": " << r.err;
		EXPECT_EQ(r.out, "1..1\nok 1 - raiseprint\n") << args[0];
	}

	struct {
		std::vector<std::string> args;
		const char *says;
	} cases[] = {
	        {{"--tap=yes"}, "--tap takes no value"},
	        {{"--help=x"}, "--help takes no value"},
	        {{"foo"}, "unexpected argument 'foo'"},
	        {{"--tap", "foo", "--only", "raiseprint"}, "unexpected argument 'foo'"},
	        {{"--", "--tap"}, "unexpected argument '--tap'"},
	        {{"--l"}, "option '--l' is ambiguous: it could be --launcher or --list"},
	        {{"--verbose"}, "unknown option '--verbose'"},
	        {{"-x"}, "unknown option '-x'"},
	        {{"-j"}, "-j needs a value"},
	        {{"--jobs"}, "--jobs needs a value"},
	        {{"--junit"}, "--junit needs a value"},
	        {{"-j", "0"}, "-j takes a count from 1 to 10000, not '0'"},
	        {{"--jobs=2x"}, "-j takes a count from 1 to 10000, not '2x'"},
	        {{"--repeat", "-1"}, "--repeat takes a count from 1 to 10000, not '-1'"},
	        {{"--repeat", "10001"}, "--repeat takes a count from 1 to 10000, not '10001'"},
	        {{"--junit", "/nonexistent/report.xml", "--only", "raiseprint"},
	         "cannot write /nonexistent/report.xml: No such file or directory"},
	};
	for (const auto &c : cases) {
		run_result r = suite(c.args);
		EXPECT_STATUS(r, 2) << c.says;
		EXPECT_EQ(r.err,
		          std::string("probesuite: ") + c.says + "\nTry 'probesuite --help'.\n");
		EXPECT_EQ(r.out, "") << c.says;
	}
}

TEST(ConventionsOptions, HelpNamesEveryOption)
{
	run_result r = suite({"--help"});
	EXPECT_STATUS(r, 0);
	for (const char *option :
	     {"--launcher", "--only", "--dir", "-j, --jobs", "--repeat", "--tap", "--junit",
	      "-q, --quiet", "--list", "--version", "-h, --help", "NO_COLOR"})
		EXPECT_NE(r.out.find(option), std::string::npos) << option;
}

TEST(ConventionsReport, QuietShowsTheSummaryAlone)
{
	run_result r = suite({"-q", "--only", "raiseprint,ductread"});
	EXPECT_STATUS(r, 0);
	std::vector<std::string> ls = lines(r.out);
	ASSERT_EQ(ls.size(), 6u) << r.out;
	EXPECT_TRUE(ls[0].starts_with("scenario  ")) << ls[0];
	const char *const titles[] = {"ductread (no descriptor 9001)",
	                              "ductread (9001 holds \"Hello, pipe!\\0\")", "raiseprint"};
	for (int i = 0; i < 3; i++) {
		ASSERT_TRUE(ls[i + 1].starts_with(std::string(titles[i]) + "  ")) << ls[i + 1];
		std::string rest = ls[i + 1].substr(strlen(titles[i]));
		EXPECT_TRUE(
		        rest.substr(rest.find_first_not_of(' ')).starts_with("ok      exit 0, "))
		        << ls[i + 1];
	}
	EXPECT_EQ(ls[4], "");
	EXPECT_TRUE(ls[5].starts_with("3 scenarios, 3 kept the contract, 0 broke it; ")) << ls[5];
}

TEST(ConventionsReport, VerdictsInColourOnATerminalOnly)
{
	const std::string green = "verdict: \033[32mok\033[0m (exit 0, ";
	unsetenv("NO_COLOR");
	run_opts o = suite_opts({"--only", "raiseprint"}, true);
	o.env.clear();  // colour, as NO_COLOR is not set
	run_result r = run(o);
	EXPECT_STATUS(r, 0);
	EXPECT_NE(r.out.find(green), std::string::npos) << visible(r.out);
	EXPECT_NE(r.out.find("raiseprint  \033[32mok\033[0m      exit 0"), std::string::npos)
	        << visible(r.out);

	// NO_COLOR with any value, even empty, or a pipe: plain words.
	for (bool tty : {true, false}) {
		o = suite_opts({"--only", "raiseprint"}, tty);
		o.env = tty ? std::vector<std::string>{"NO_COLOR="} : std::vector<std::string>{};
		r = run(o);
		EXPECT_STATUS(r, 0);
		EXPECT_NE(r.out.find("verdict: ok (exit 0, "), std::string::npos) << visible(r.out);
		EXPECT_EQ(r.out.find("\033[3"), std::string::npos) << tty;
	}
}

TEST_F(Conventions, JunitHasATestcasePerScenarioAndABrokenOneFails)
{
	std::string launcher =
	        script("wrongline", "case \"$1\" in\n"
	                            "*/raiseprint) echo 'powl(3.2, 1.0) = 3.199999' ;;\n"
	                            "esac\n"
	                            "exec \"$@\"\n");
	std::string xml = dir + "/report.xml";
	run_result r = suite(
	        {"--junit", xml, "--launcher", launcher, "--only", "ductopen,ductread,raiseprint"});
	EXPECT_STATUS(r, 1) << r.err;
	EXPECT_EQ(xmllint(xml), 0);
	std::string x = slurp(xml);
	EXPECT_TRUE(x.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n")) << x;
	EXPECT_NE(x.find("<testsuite name=\"probesuite\" tests=\"4\" failures=\"1\" errors=\"0\" "
	                 "skipped=\"0\" "),
	          std::string::npos)
	        << x;
	EXPECT_EQ(occurrences(x, "<testcase "), 4u) << x;
	for (const char *name : {"ductopen", "ductread (no descriptor 9001)",
	                         "ductread (9001 holds &quot;Hello, pipe!\\0&quot;)", "raiseprint"})
		EXPECT_EQ(occurrences(x, std::string("<testcase classname=\"probesuite\" name=\"") +
		                                 name + "\" time=\""),
		          1u)
		        << name;
	// The one failure is raiseprint's, its message the verdict, its
	// transcript in system-out.
	EXPECT_EQ(occurrences(x, "<failure "), 1u) << x;
	std::size_t fail = x.find("<failure "), raise = x.find("name=\"raiseprint\"");
	EXPECT_LT(raise, fail);
	EXPECT_NE(x.find("<failure type=\"BROKEN\" message=\"stdout line 1: expected "
	                 "&quot;powl(3.2, 1.0) = 3.200000\\n&quot; (main), got &quot;powl(3.2, "
	                 "1.0) = 3.199999\\n&quot;\">"),
	          std::string::npos)
	        << x;
	EXPECT_NE(x.find("<system-out>powl(3.2, 1.0) = 3.199999\npowl(3.2, 1.0) = "
	                 "3.200000\n</system-out>",
	                 fail),
	          std::string::npos)
	        << x;
	// The others pass, their transcripts escaped.
	EXPECT_NE(x.find("<system-out>&lt;cage 01&gt; ret: 0 \n"), std::string::npos) << x;
	EXPECT_NE(x.find("<system-err>An error occurred in the read!\n</system-err>"),
	          std::string::npos)
	        << x;
}

TEST_F(Conventions, JunitAndJsonCarryAnyBytesAProbePrintsAndSkipTheUnarranged)
{
	// Every control character, markup characters, a carriage return,
	// bytes that are not UTF-8 and one that is.
	// A stand-in tickspan that prints them.
	script("tickspan", "printf 'a\\001\\002\\010\\013\\014\\016\\037\\033[31m & < > \" \\r'\n"
	                   "printf '\\377\\300\\200\\355\\240\\200 \\303\\251\\n'\n"
	                   "printf 'err\\000\\n' >&2\n");
	std::string xml = dir + "/report.xml", json = dir + "/record.json";
	run_result r = suite({"--junit", xml, "--json", json, "--dir", dir, "--only", "tickspan"});
	EXPECT_STATUS(r, 1) << r.err;
	EXPECT_EQ(xmllint(xml), 0);
	// The record keeps the very bytes, and validates.
	EXPECT_EQ(schema_says(json), "");
	const char *decode = "import base64, json, sys\n"
	                     "run = json.load(open(sys.argv[1]))['scenarios'][0]['run']\n"
	                     "sys.stdout.buffer.write(base64.b64decode(run['stdout_base64']))\n";
	run_opts py;
	py.argv = {"/usr/bin/python3", "-c", decode, json};
	EXPECT_EQ(run(py).out, "a\001\002\010\013\014\016\037\033[31m & < > \" \r"
	                       "\377\300\200\355\240\200 \303\251\n");
	std::string record = slurp(json);
	EXPECT_NE(record.find("\"stderr\": \"err\\u0000\\n\""), std::string::npos) << record;
	std::string x = slurp(xml);
	EXPECT_NE(x.find("<system-out>a\u2401\u2402\u2408\u240b\u240c\u240e\u241f\u241b[31m &amp; "
	                 "&lt; &gt; &quot; &#13;\ufffd\ufffd\ufffd\ufffd\ufffd\ufffd \u00e9\n"
	                 "</system-out>"),
	          std::string::npos)
	        << x;
	EXPECT_NE(x.find("<system-err>err\u2400\n</system-err>"), std::string::npos) << x;

	// A probe that cannot be executed cannot be arranged: a skip, with
	// the reason.
	script("raiseprint", "echo never\n");
	ASSERT_EQ(chmod((dir + "/raiseprint").c_str(), 0644), 0);
	r = suite({"--junit", xml, "--only", "raiseprint", "--dir", dir});
	EXPECT_STATUS(r, 3) << r.err << r.out;
	EXPECT_EQ(xmllint(xml), 0);
	x = slurp(xml);
	EXPECT_NE(x.find("tests=\"1\" failures=\"0\" errors=\"0\" skipped=\"1\""),
	          std::string::npos)
	        << x;
	EXPECT_NE(x.find("<skipped message=\"cannot execute " + dir +
	                 "/raiseprint: Permission denied\"/>"),
	          std::string::npos)
	        << x;
	EXPECT_EQ(x.find("<failure"), std::string::npos) << x;
}

TEST(ConventionsReport, JunitFileThatCannotBeWrittenExitsFourAfterTheReport)
{
	run_result r = suite({"--junit", "/dev/full", "--tap", "--only", "raiseprint"});
	EXPECT_STATUS(r, 4) << r.err;
	EXPECT_EQ(r.out, "1..1\nok 1 - raiseprint\n");
	EXPECT_EQ(r.err, "probesuite: cannot write /dev/full: No space left on device\n");
}

TEST_F(Conventions, JobsBoundTheProbesRunAtOnce)
{
	// Each run marks itself running for 0.2 s before the probe starts and
	// notes how many were marked then.
	std::string launcher = script(
	        "count", "mkdir -p '" + dir + "/running'\n" + "touch '" + dir + "/running/'$$\n" +
	                         "ls '" + dir + "/running' | wc -l >> '" + dir + "/seen'\n" +
	                         "sleep 0.2\n" + "rm '" + dir + "/running/'$$\n" + "exec \"$@\"\n");
	for (int jobs : {1, 2}) {
		run_result r = suite({"-q", "-j", std::to_string(jobs), "--repeat", "3",
		                      "--launcher", launcher, "--only", "raiseprint,tickspan"});
		EXPECT_STATUS(r, 0) << r.out << r.err;
		std::vector<std::string> seen = lines(slurp(dir + "/seen"));
		ASSERT_EQ(seen.size(), 6u);
		int most = 0;
		for (const std::string &n : seen)
			most = std::max(most, std::atoi(n.c_str()));
		EXPECT_EQ(most, jobs);
		ASSERT_EQ(unlink((dir + "/seen").c_str()), 0);
	}
}

TEST(ConventionsRepeat, ThreeRunsOfEachWithTheValuesEachRunShowed)
{
	run_result r =
	        suite({"--repeat", "3", "-j", "4", "--only", "twincell,splitcount,raiseprint"});
	EXPECT_STATUS(r, 0) << r.out << r.err;
	// The three twincell runs side by side: one after another would take
	// at least 13.5 s.
	EXPECT_LT(r.seconds, 13);

	// Each scenario shows one run and counts the three.
	EXPECT_EQ(occurrences(r.out, "\n   run 1 of 3\n"), 4u) << r.out;
	EXPECT_EQ(occurrences(r.out, "\n   runs: 3 ok\n"), 4u) << r.out;
	for (const char *row :
	     {"twincell  ", "splitcount  ", "splitcount (stdout on a pipe)  ", "raiseprint  "}) {
		std::string l = line_after(r.out, row);
		EXPECT_TRUE(l.substr(l.find_first_not_of(' ')).starts_with("ok      3 ok  "))
		        << row << l;
	}
	EXPECT_NE(r.out.find("\n4 scenarios, 3 runs of each: 12 runs, 12 kept the contract, 0 "
	                     "broke it; "),
	          std::string::npos)
	        << r.out;

	// The values that may differ: what each thread saw in *x, and who
	// printed last, three runs' worth each.
	const std::map<std::string, std::vector<std::string>> may = {
	        {"twincell: first thread's *x: ", {"0", "1", "2", "1 or 2"}},
	        {"twincell: second thread's *x: ", {"1", "2", "1 or 2"}},
	        {"twincell: printed last: ",
	         {"main", "first thread", "second thread", "first thread or second thread"}},
	        {"splitcount: printed last: ", {"parent", "child", "parent or child"}},
	        {"splitcount (stdout on a pipe): printed last: ",
	         {"parent", "child", "parent or child"}},
	};
	std::string values = r.out.substr(r.out.find("\nValues that may differ from run to run"));
	EXPECT_EQ(lines(values).size(), 2 + may.size()) << values;
	for (const auto &[head, allowed] : may) {
		std::map<std::string, int> seen = spread(line_after(values, head));
		EXPECT_EQ(total(seen), 3) << head << values;
		for (const auto &[value, runs] : seen)
			EXPECT_NE(std::find(allowed.begin(), allowed.end(), value), allowed.end())
			        << head << value;
	}
}

TEST_F(Conventions, RepeatShowsTheFirstBrokenRunAndCountsIt)
{
	// Breaks raiseprint in its second run only.
	std::string launcher =
	        script("second", "mkdir '" + dir + "/1' 2>/dev/null && exec \"$@\"\n" + "mkdir '" +
	                                 dir + "/2' 2>/dev/null || exec \"$@\"\n" +
	                                 "echo 'powl(3.2, 1.0) = 3.199999'\nexec \"$@\"\n");
	std::string xml = dir + "/report.xml";
	run_result r = suite({"--repeat", "3", "-j", "1", "--launcher", launcher, "--junit", xml,
	                      "--only", "raiseprint"});
	EXPECT_STATUS(r, 1) << r.out << r.err;
	EXPECT_NE(
	        r.out.find("\n== raiseprint\n   run 2 of 3\n   stdout:\n      1 | powl(3.2, 1.0) = "
	                   "3.199999$\n"),
	        std::string::npos)
	        << r.out;
	EXPECT_NE(r.out.find("\n   runs: 2 ok, 1 BROKEN\n"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find(", 3 runs of each: 3 runs, 2 kept the contract, 1 broke it; "),
	          std::string::npos)
	        << r.out;
	EXPECT_EQ(xmllint(xml), 0);
	std::string x = slurp(xml);
	EXPECT_NE(x.find("<property name=\"runs\" value=\"2 ok, 1 BROKEN\"/>"), std::string::npos)
	        << x;
	EXPECT_EQ(occurrences(x, "<failure "), 1u) << x;
}

TEST_F(Conventions, AValueTheTranscriptCannotTellIsShownAsEither)
{
	// Both threads of a stand-in twincell print their lines between each
	// other's: the transcript fits either thread having seen 1 and the
	// other 2, and either printing last.
	script("twincell",
	       "printf '\\n Thread created successfully\\nx=0x10\\n*x=1\\n'\n"
	       "printf '\\n Thread created successfully\\nx=0x10\\n*x=2\\n'\n"
	       "printf '\\n First thread processing\\n\\n Second thread processing\\n'\n"
	       "printf 'x=0x10\\nx=0x10\\n*x=1\\n*x=2\\ny=0x20\\ny=0x20\\n*y=99\\n*y=99\\n'\n"
	       "sleep 4.7\n");
	run_result r = suite({"--repeat", "2", "-q", "--dir", dir, "--only", "twincell"});
	EXPECT_STATUS(r, 0) << r.out << r.err;
	EXPECT_NE(r.out.find("\ntwincell: first thread's *x: 1 or 2 in 2 runs\n"),
	          std::string::npos)
	        << r.out;
	EXPECT_NE(r.out.find("\ntwincell: second thread's *x: 1 or 2 in 2 runs\n"),
	          std::string::npos)
	        << r.out;
	EXPECT_NE(r.out.find("\ntwincell: printed last: first thread or second thread in 2 runs\n"),
	          std::string::npos)
	        << r.out;
}

TEST(ConventionsMatch, NamesTheSourcesThatCanHavePrintedLast)
{
	std::vector<source> s = {{"parent", {"a\n", "end\n"}}, {"child", {"b\n", "end\n"}}};
	verdict v = match(s, "a\nend\nb\nend\n");
	ASSERT_TRUE(v.ok) << v.why;
	EXPECT_EQ(v.last, std::vector<std::string>{"child"});
	v = match(s, "b\na\nend\nend\n");
	ASSERT_TRUE(v.ok) << v.why;
	EXPECT_EQ(v.last, (std::vector<std::string>{"parent", "child"}));

	// A name given to two sources counts once; a lone source printed last.
	s = {{"parent", {"begin\n"}, true}, {"parent", {"p\n"}}, {"child", {"c\n"}}};
	v = match(s, "begin\nc\np\n");
	ASSERT_TRUE(v.ok) << v.why;
	EXPECT_EQ(v.last, std::vector<std::string>{"parent"});
	v = match({{"main", {"x\n"}}}, "x\n");
	EXPECT_EQ(v.last, std::vector<std::string>{"main"});
	EXPECT_TRUE(match(s, "c\nbegin\np\n").last.empty());
}

}  // namespace
