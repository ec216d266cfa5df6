// The record of a run: every field of every record comes back equal over
// a guest's wire and through the JSON file, whatever bytes its texts hold,
// and the file validates against the schema the project ships.
#include "suite/record/record.h"
#include "tests/runner.h"

#include <fstream>

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
	std::string wire = wire_hello(p) + "not a record\n" + wire_result(title, r) +
	                   wire_result(odd, run_result()) + "{\"title\": \"cut\", \"run\": {";
	// Every line is printable ASCII, as a serial line carries it.
	for (char c : wire)
		ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << (int)c;

	// Read in pieces, as it arrives.
	guest_report g;
	for (std::size_t at = 0; at < wire.size(); at += 7)
		read_wire(g, wire.data() + at, std::min<std::size_t>(7, wire.size() - at));
	EXPECT_TRUE(g.ready);
	EXPECT_FALSE(g.done);
	EXPECT_EQ(g.on, p);
	ASSERT_EQ(g.results.size(), 2u);  // the last record is cut short
	EXPECT_EQ(g.results[title], r);
	EXPECT_EQ(g.results[odd], run_result());
	guest_report h;
	std::string done = wire_done();
	read_wire(h, done.data(), done.size());
	EXPECT_TRUE(h.done);
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

	// What is not a record says so.
	for (const char *bad : {"{", "[]", "{\"format\": 2}", "{\"format\": 1}"})
		EXPECT_FALSE(read_record(bad, back, why)) << bad;
}

}  // namespace
