// The record of a run: every field of every record comes back equal over
// a guest's wire and through the JSON file, whatever bytes its texts hold,
// and the file validates against the schema the project ships. Every
// report shows each outcome in its own form, and the record's texts with
// their control characters escaped.
#include "suite/record/record.h"
#include "suite/report/html.h"
#include "suite/report/junit.h"
#include "suite/report/matrix_table.h"
#include "suite/report/tap.h"
#include "suite/report/terminal.h"
#include "tests/runner.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <unistd.h>

namespace
{

// A run with every field set to a value of its own, its streams holding
// NUL, 0xff, escapes and characters past ASCII.
run_result distinctive()
{
	run_result r;
	r.setup = "no pipe: \xff\xfe";
	r.pid = 4242;
	r.exited = true;
	r.code = 7;
	r.signal = 11;
	r.timed_out = true;
	r.interrupted = true;
	r.seconds = 1.0 / 3;
	r.stalled = 2.5e-7;
	r.out = std::string("<cage 02> 100% \r\n\0\x01\xff\x7f\x1b[31m end\n", 29);
	r.err = "caf\xc3\xa9 \xe2\x82\xac %41\n";
	r.out_total = (1ull << 40) + 3;
	r.err_total = 5;
	r.left = 3;
	r.reaped = {{77, 0x0b00}, {78, 9}};
	r.meddled = "sent its parent signal 19 (Stopped (signal))";
	r.out_times = {{0, 0.5}, {11, 0.125}};
	r.seen = {true,
	          true,
	          "why\x01not",
	          true,
	          2,
	          1,
	          9,
	          {{0, "device"}, {1, "terminal"}, {2, "pipe"}, {9001, "closed"}},
	          {{1, "file"}, {9001, "socket"}},
	          {{7, 768}, {8, -1}},
	          3,
	          12,
	          100,
	          {{3, "pipe:[4242] read"}, {4, "pipe:[4242] write"}}};
	r.waited = 14.25;
	r.busy = "the machine was too busy: 14.2 s of 20.0 s waiting for a processor";
	return r;
}

platform distinctive_platform()
{
	return {"6.1.0-57-cloud-amd64",
	        "x86_64",
	        3,
	        "musl",
	        "1.2.3",
	        true,
	        {"bwrap", "--dev-bind", "/", "/"},
	        "/boot/vmlinuz-\xe9",
	        "TCG",
	        2.75,
	        "lab@board-3",
	        "1.0.0",
	        "2026-12-09T20:00:00Z",
	        "Linux 6.1.0 in a virtual machine (TCG)",
	        "open files 4096"};
}

TEST(RunRecord, EveryFieldComesBackEqualOverTheWire)
{
	const run_result r = distinctive();
	const platform p = distinctive_platform();
	const std::string title = "ductread (9001 holds \"Hello, pipe!\\0\")", odd = "t\xff";
	const std::string token = "0123456789abcdef0123456789abcdef";
	std::string wire = wire_hello(token, p) + "not a record\n" + wire_result(token, title, r) +
	                   wire_result(token, odd, run_result()) +
	                   "{\"title\": \"cut\", \"run\": {";
	// Every line is printable ASCII, as a serial line carries it.
	for (char c : wire)
		ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << (int)c;

	// Read in pieces, as it arrives.
	guest_report g;
	g.token = token;
	g.titles = {title, odd, "cut"};
	for (std::size_t at = 0; at < wire.size(); at += 7)
		read_wire(g, wire.data() + at, std::min<std::size_t>(7, wire.size() - at));
	EXPECT_TRUE(g.ready);
	EXPECT_FALSE(g.done);
	EXPECT_EQ(g.on, p);
	ASSERT_EQ(g.results.size(), 2u);  // the last record is cut short
	EXPECT_EQ(g.results[title], r);
	EXPECT_EQ(g.results[odd], run_result());
	EXPECT_EQ(g.refused, "");
	guest_report h;
	h.token = token;
	std::string done = wire_done(token);
	read_wire(h, done.data(), done.size());
	EXPECT_TRUE(h.done);
}

// What a guest sends is checked as input: a line without this run's
// token is refused, a value out of range or a title twice makes that
// result the guest's fault, and a title not planned or a line past the
// bound breaks the wire, in one pass over the bytes.
TEST(RunRecord, WireRefusesWhatTheGuestGotWrong)
{
	const std::string token = "0123456789abcdef0123456789abcdef";
	struct {
		const char *title;
		void (*set)(run_result &);
		const char *field;  // what its setup names; null: the result holds
		int times = 1;
	} cases[] = {
	        {"ok", [](run_result &) {}, nullptr},
	        {"code", [](run_result &r) { r.exited = true, r.code = 99999; },
	         "\"code\" is 99999"},
	        {"signal", [](run_result &r) { r.signal = 1000; }, "\"signal\" is 1000"},
	        {"seconds", [](run_result &r) { r.seconds = -100; }, "\"seconds\" is -100"},
	        {"pid", [](run_result &r) { r.pid = -3; }, "\"pid\" is -3"},
	        {"unstarted", [](run_result &r) { r.exited = true, r.code = 0; },
	         "\"pid\" is -1, none started"},
	        {"left", [](run_result &r) { r.left = -1; }, "\"left\" is -1"},
	        {"reaped",
	         [](run_result &r) {
		         r.reaped = {{0, 0}};
	         },
	         "\"reaped\" is 0"},
	        {"reaped none",
	         [](run_result &r) {
		         r.reaped = {{-1, 0}};
	         },
	         "\"reaped\" is -1"},
	        {"stdout", [](run_result &r) { r.out.assign((1 << 20) + 1, 'x'); },
	         "\"stdout\" holds 1048577 bytes"},
	        {"twice", [](run_result &) {}, "twice", 2},
	};
	guest_report g;
	g.token = token;
	std::string wire = wire_hello("", platform()) + wire_hello(token, platform());
	for (const auto &c : cases) {
		run_result r;
		c.set(r);
		g.titles.push_back(c.title);
		for (int i = 0; i < c.times; i++)
			wire += wire_result(token, c.title, r);
	}
	read_wire(g, wire.data(), wire.size());
	EXPECT_TRUE(g.ready);
	EXPECT_EQ(g.refused, "the guest's lines do not carry this run's token");
	for (const auto &c : cases) {
		ASSERT_EQ(g.results.count(c.title), 1u) << c.title;
		const std::string &setup = g.results[c.title].setup;
		if (!c.field)
			EXPECT_EQ(g.results[c.title], run_result()) << c.title;
		else
			EXPECT_NE(setup.find(c.field), std::string::npos)
			        << c.title << ": " << setup;
	}
	EXPECT_EQ(g.broken, "");
	std::string stray = wire_result(token, "nosuch", run_result()) + wire_done(token);
	read_wire(g, stray.data(), stray.size());
	EXPECT_EQ(g.broken, "the guest sent a result for \"nosuch\", which was not planned");
	EXPECT_FALSE(g.done);  // nothing is taken after it

	// A line past the bound, fed in pieces, is refused without being kept.
	guest_report l;
	l.token = token;
	l.bound = 1000;
	std::string a(300, 'a');
	for (int i = 0; i < 4; i++)
		read_wire(l, a.data(), a.size());
	EXPECT_EQ(l.broken, "the guest sent a line longer than 1000 bytes");
	EXPECT_EQ(l.pending.capacity() < 1000, true);
}

TEST(RunRecord, EveryFieldComesBackEqualThroughJsonThatValidates)
{
	record rec;
	rec.on = distinctive_platform();
	rec.repeat = 3;
	rec.seconds = 9.75;
	tally &t = rec.scenarios.emplace_back();
	t.title = "twin\xff"
	          "cell";
	t.probe = "twincell";
	t.got = distinctive();
	t.j = {outcome::known, "line 2: expected \xfe", "listed \xe2\x82\xac"};
	t.runs = 3;
	t.shown = 1;
	t.seconds = 15.5;
	t.outcomes = {{outcome::known, 2}, {outcome::no_longer, 1}};
	t.seen = {{"first thread's *x", {{"1", 2}, {"1 or 2", 1}}}, {"printed last", {{"a", 3}}}};
	rec.scenarios.emplace_back();  // one that never ran

	std::string text = json_record(rec), why;
	record back;
	ASSERT_TRUE(read_record(text, back, why)) << why;
	EXPECT_EQ(back, rec);

	std::string path = scratch_dir("record") + "/record.json";
	std::ofstream(path) << text;
	EXPECT_EQ(schema_says(path), "");
	remove_dir(path.substr(0, path.rfind('/')));

	// What is not a record says so, and a value out of range is named.
	for (const char *bad : {"{", "[]", "{\"format\": 2}", "{\"format\": 1}"})
		EXPECT_FALSE(read_record(bad, back, why)) << bad;
	rec.scenarios[0].got.signal = 1000;
	EXPECT_FALSE(read_record(json_record(rec), back, why));
	EXPECT_NE(why.find("\"signal\" is 1000"), std::string::npos) << why;
}

// A record of a scenario of each outcome, each run once; mark ends the
// platform's kernel, every reason and every transcript.
record one_of_each(const std::string &mark)
{
	record r;
	r.on.kernel = "6.1.0" + mark;
	r.on.where = "Linux " + r.on.kernel + " in a virtual machine (TCG)";
	r.on.started = "2026-12-10T12:00:00Z";
	r.seconds = 5.5;
	const std::pair<outcome, std::string> cases[] = {
	        {outcome::ok, ""},
	        {outcome::unverified, "pid not verified: seccomp is not available"},
	        {outcome::broken, "line 1: expected \"3.200000\""},
	        {outcome::unarranged, "no probe"},
	        {outcome::interrupted, "the run was stopped by SIGINT"},
	        {outcome::known, "line 2: expected end of output"},
	        {outcome::no_longer, ""},
	};
	const char *titles[] = {"raiseprint", "selfreport", "tickspan", "ductopen",
	                        "onecell",    "splitcount", "reapcheck"};
	int n = 0;
	for (const auto &[o, why] : cases) {
		tally &t = r.scenarios.emplace_back();
		t.title = t.probe = titles[n++];
		bool listed = o == outcome::known || o == outcome::no_longer;
		t.j = {o, why.empty() ? "" : why + mark,
		       listed ? "the sandbox differs" + mark : ""};
		t.runs = 1;
		t.shown = 0;
		t.seconds = 0.01;
		t.outcomes = {{o, 1}};
		t.got.pid = 100;
		t.got.exited = true;
		t.got.code = 0;
		t.got.interrupted = o == outcome::interrupted;
		t.got.seconds = 0.01;
		t.got.out = "text" + mark + "\n";
	}
	return r;
}

// What write wrote to a file.
std::string captured(const std::function<void(FILE *)> &write)
{
	std::string text;
	FILE *f = tmpfile();
	if (!f) {
		ADD_FAILURE() << "no file: " << strerror(errno);
		return text;
	}
	write(f);
	fflush(f);
	rewind(f);
	char buf[4096];
	for (std::size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
		text.append(buf, n);
	fclose(f);
	return text;
}

// What print wrote to stdout.
std::string printed(const std::function<void()> &print)
{
	return captured([&](FILE *f) {
		fflush(stdout);
		int saved = dup(1);
		ASSERT_GE(saved, 0) << strerror(errno);
		ASSERT_EQ(dup2(fileno(f), 1), 1) << strerror(errno);
		print();
		fflush(stdout);
		dup2(saved, 1);
		close(saved);
	});
}

// Every report of r by its name; the matrix's of r as the platform name
// beside one that kept every contract.
std::vector<std::pair<std::string, std::string>> reports(const record &r, const std::string &name)
{
	matrix m;
	m.platforms = {{"here", r}, {name, r}};
	for (tally &t : m.platforms[0].r.scenarios) {
		t.j = {outcome::ok, "", ""};
		t.outcomes = {{outcome::ok, 1}};
	}
	return {
	        {"terminal", printed([&] { report(r, false, false); })},
	        {"TAP", printed([&] { report_tap(r); })},
	        {"JUnit", captured([&](FILE *f) { report_junit(f, r); })},
	        {"JSON", json_record(r)},
	        {"matrix", printed([&] { report_matrix(m, false, false); })},
	        {"HTML", captured([&](FILE *f) { report_html(f, m); })},
	};
}

TEST(Reports, AnUnverifiedOkIsAPassOfItsOwnInEveryReport)
{
	const record r = one_of_each("");
	const std::string why = "pid not verified: seccomp is not available";
	const std::map<std::string, std::vector<std::string>> expected = {
	        {"terminal",
	         {"   verdict: ok unverified: " + why + " (exit 0, 0.01 s)\n",
	          "\nselfreport  ok unverified     exit 0, 0.01 s\n",
	          "\n7 scenarios, 1 kept the contract, 1 kept it unverified, 1 broke it, 1 could "
	          "not be arranged, 1 interrupted, 1 known difference, 1 listed no longer differs; "
	          "5.5 s in all.\n"}},
	        {"TAP",
	         {"\nok 1 - raiseprint\nok 2 - selfreport # unverified: " + why +
	          "\nnot ok 3 - tickspan\n"}},
	        {"JUnit",
	         {" tests=\"7\" failures=\"1\" errors=\"1\" skipped=\"2\" ",
	          "<testcase classname=\"probesuite\" name=\"selfreport\" time=\"0.010\">\n"
	          "      <properties>\n"
	          "        <property name=\"verdict\" value=\"ok unverified: " +
	                  why +
	                  "\"/>\n"
	                  "      </properties>\n"
	                  "      <system-out>"}},
	        {"JSON", {"\"outcome\": \"ok unverified\",\n", "\"ok unverified\": 1\n"}},
	        {"matrix",
	         {"\nselfreport  ok    ok unverified\n",
	          "\nodd: selfreport: ok unverified: " + why + "\n",
	          "\n2 platforms, 14 runs: 8 ok, 1 ok unverified, 1 BROKEN, 1 could not arrange, 1 "
	          "interrupted, 1 known difference, 1 no longer differs; "}},
	        {"HTML",
	         {"<td class=\"o-ok-unverified differs\" title=\"odd: selfreport",
	          ".o-ok-unverified{color:#00708a;}",
	          "<span class=\"o-ok-unverified\">ok unverified</span>"}},
	};
	auto got = reports(r, "odd");
	ASSERT_EQ(got.size(), expected.size());
	for (const auto &[name, text] : got)
		for (const std::string &part : expected.at(name))
			EXPECT_NE(text.find(part), std::string::npos)
			        << name << ": " << part << "\n"
			        << text;

	record back;
	std::string no;
	ASSERT_TRUE(read_record(got[3].second, back, no)) << no;
	EXPECT_EQ(back, r);
	std::string path = scratch_dir("reports") + "/record.json";
	std::ofstream(path) << got[3].second;
	EXPECT_EQ(schema_says(path), "");
	remove_dir(path.substr(0, path.rfind('/')));

	// Kept the contract, verified or not: the run exits 0.
	record passed = r;
	passed.scenarios.resize(2);
	EXPECT_EQ(exit_status(passed), 0);
}

TEST(Reports, TextFromOutsideIsShownWithItsControlCharactersEscaped)
{
	// Clear the screen, red, and the C1 introducer in UTF-8; a byte that is
	// no UTF-8.
	const std::string mark = "\x1b[2J\x1b[31m\xc2\x9b\xff";
	record r = one_of_each(mark);
	r.scenarios[2].title += " # SKIP" + mark;  // and a TAP directive in a title
	for (const auto &[name, text] : reports(r, "odd" + mark)) {
		if (name == "JSON") {  // data: the bytes as they are
			record back;
			std::string no;
			EXPECT_TRUE(read_record(text, back, no)) << no;
			EXPECT_EQ(back, r);
			continue;
		}
		bool tap = name == "TAP";
		EXPECT_TRUE(!tap ||
		            text.find("\nnot ok 3 - tickspan \\# SKIP\\x1b") != std::string::npos)
		        << text;
		EXPECT_EQ(text.find('\x1b'), std::string::npos) << name << ": " << text;
		EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << name << ": " << text;
		EXPECT_NE(text.find("available\\x1b[2J\\x1b[31m\\xc2\\x9b\\xff"), std::string::npos)
		        << name << ": " << text;
	}
}

}  // namespace
