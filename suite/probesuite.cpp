// probesuite: runs every probe the way its users start it, checks each
// transcript and exit status against the probe's contract, and reports.
//
// The three 5-second probes run side by side, each on its own thread, while
// another thread runs the quick ones in turn; the main thread only shows
// progress. Every scenario is recorded first and reported afterwards, in a
// fixed order, so the report reads the same whatever finished first.
#include "check/contracts.h"
#include "check/match.h"
#include "check/run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

// What a partner process leaves in descriptor 9001: the message and its
// terminating zero byte.
const std::string message("Hello, pipe!\0", 13);

struct scenario {
	std::string probe;
	std::string how;  // how it is started, when not as from a shell
	contract expect;
	bool tty = true;    // standard output on a terminal, as from a shell
	bool fed = false;   // descriptor 9001 open on a pipe holding message
	bool slow = false;  // one of the 5-second probes
	run_result got;
	verdict v;
	std::atomic<bool> done{false};
};

struct options {
	std::vector<std::string> launcher;  // words put before the probe's path
	std::vector<std::string> only;      // probe names; empty: all
	std::string dir;                    // where the probes are
	bool tap = false;
};

const char usage[] =
        "usage: probesuite [--launcher CMD] [--only NAME,...] [--dir DIR] [--tap]\n"
        "\n"
        "Runs the ten probes in their standard scenarios, shows each transcript\n"
        "with a verdict, then a summary. Exits 0 when every scenario kept its\n"
        "contract, 1 when one broke it, 2 on a usage error.\n"
        "\n"
        "  --launcher CMD   run every probe through CMD, which gets the probe's path\n"
        "                   as its last argument (an emulator, a sandbox's loader,\n"
        "                   'valgrind -q --error-exitcode=99'). CMD is split at\n"
        "                   blanks; quotes group words. The launcher must exec the\n"
        "                   probe in its own process: reapcheck and selfreport print\n"
        "                   their pid, which must be the pid the runner started.\n"
        "  --only NAME,...  run only these probes (ductread and splitcount have two\n"
        "                   scenarios each)\n"
        "  --dir DIR        where the probes are (default: this program's directory)\n"
        "  --tap            report in TAP: a plan line, then ok or not ok per scenario\n"
        "  -h, --help       show this text\n";

// Every scenario, in the order of the report. A deque: scenarios stay
// where they are built, as the threads that fill them need.
void standard(std::deque<scenario> &s)
{
	auto add = [&](const char *probe, const char *how, contract c) {
		scenario &x = s.emplace_back();
		x.probe = probe;
		x.how = how;
		x.expect = std::move(c);
		return &x;
	};
	add("ringhand", "", ringhand())->slow = true;
	add("twincell", "", cells(true))->slow = true;
	add("onecell", "", cells(false))->slow = true;
	add("ductopen", "", ductopen());
	add("ductread", "no descriptor 9001", ductread("", true));
	add("ductread", "9001 holds \"Hello, pipe!\\0\"", ductread("Hello, pipe!", false))->fed =
	        true;
	add("splitcount", "", splitcount(true));
	add("splitcount", "stdout on a pipe", splitcount(false))->tty = false;
	add("reapcheck", "", reapcheck());
	add("selfreport", "", selfreport());
	add("tickspan", "", tickspan());
	add("raiseprint", "", raiseprint());
}

// Splits a command line at blanks; '...' and "..." group, a backslash
// takes the next character as it is. False on an unclosed quote.
bool split(const std::string &line, std::vector<std::string> &words)
{
	std::string w;
	bool in_word = false;
	char quote = 0;
	for (std::size_t i = 0; i < line.size(); i++) {
		char c = line[i];
		if (quote) {
			if (c == quote)
				quote = 0;
			else if (c == '\\' && quote == '"' && i + 1 < line.size())
				w += line[++i];
			else
				w += c;
		} else if (c == '\'' || c == '"') {
			quote = c;
			in_word = true;
		} else if (c == '\\' && i + 1 < line.size()) {
			w += line[++i];
			in_word = true;
		} else if (c == ' ' || c == '\t' || c == '\n') {
			if (in_word)
				words.push_back(w);
			w.clear();
			in_word = false;
		} else {
			w += c;
			in_word = true;
		}
	}
	if (in_word)
		words.push_back(w);
	return quote == 0;
}

// The path of program as the shell would find it; empty when there is none.
std::string find_program(const std::string &program)
{
	if (program.find('/') != std::string::npos)
		return access(program.c_str(), X_OK) == 0 ? program : "";
	const char *path = getenv("PATH");
	std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
	for (std::size_t from = 0; from <= dirs.size();) {
		std::size_t colon = dirs.find(':', from);
		if (colon == std::string::npos)
			colon = dirs.size();
		std::string dir = dirs.substr(from, colon - from);
		std::string full = (dir.empty() ? "." : dir) + "/" + program;
		if (access(full.c_str(), X_OK) == 0)
			return full;
		from = colon + 1;
	}
	return "";
}

std::string own_dir(const char *argv0)
{
	char buf[4096];
	ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
	std::string self = n > 0 ? std::string(buf, n) : std::string(argv0);
	std::size_t slash = self.rfind('/');
	return slash == std::string::npos ? "." : slash == 0 ? "/" : self.substr(0, slash);
}

void bad_usage(const std::string &why)
{
	fprintf(stderr, "probesuite: %s\nTry 'probesuite --help'.\n", why.c_str());
	exit(2);
}

// Fills o from the command line; exits on --help or a usage error.
void parse(int argc, char **argv, options &o)
{
	for (int i = 1; i < argc; i++) {
		std::string a = argv[i], value;
		std::size_t eq = a.find('=');
		bool takes = a == "--launcher" || a == "--only" || a == "--dir";
		if (a.starts_with("--") && eq != std::string::npos) {
			value = a.substr(eq + 1);
			a = a.substr(0, eq);
			takes = false;
		}
		if (takes) {
			if (i + 1 == argc)
				bad_usage(a + " needs a value");
			value = argv[++i];
		}
		if (a == "-h" || a == "--help") {
			fputs(usage, stdout);
			exit(0);
		} else if (a == "--tap") {
			o.tap = true;
		} else if (a == "--launcher") {
			o.launcher.clear();
			if (!split(value, o.launcher))
				bad_usage("unclosed quote in the launcher: " + value);
			if (o.launcher.empty())
				bad_usage("the launcher is empty");
		} else if (a == "--only") {
			std::vector<std::string> names;
			split(value, names);
			for (const std::string &w : names) {
				for (std::size_t from = 0; from <= w.size();) {
					std::size_t comma = w.find(',', from);
					if (comma == std::string::npos)
						comma = w.size();
					std::string name = w.substr(from, comma - from);
					if (!name.empty())
						o.only.push_back(name);
					from = comma + 1;
				}
			}
			if (o.only.empty())
				bad_usage("--only names no probe");
		} else if (a == "--dir") {
			o.dir = value;
		} else {
			bad_usage("unknown option '" + a + "'");
		}
	}
}

// Runs one scenario and records what happened and the verdict.
void play(scenario &s, const options &o)
{
	run_opts r;
	r.argv = o.launcher;
	r.argv.push_back(o.dir + "/" + s.probe);
	r.tty = s.tty;
	r.timeout = 60;
	int feed[2] = {-1, -1};
	if (s.fed) {
		// The partner's side: fill the pipe, close its write end, hand
		// over the read end.
		if (pipe2(feed, O_CLOEXEC) != 0 ||
		    write(feed[1], message.data(), message.size()) != (ssize_t)message.size()) {
			s.v.why = std::string("could not prepare descriptor 9001: ") +
			          strerror(errno);
			s.done = true;
			return;
		}
		close(feed[1]);
		r.fds.push_back({9001, feed[0]});
	}
	s.got = run(r);
	if (feed[0] >= 0)
		close(feed[0]);
	s.v = check(s.expect, s.got);
	// Patterns name the pid the probe must print; say which one it is.
	for (std::size_t at; (at = s.v.why.find("{=pid}")) != std::string::npos;)
		s.v.why.replace(at, 6, std::to_string(s.got.pid));
	s.done = true;
}

struct job {
	std::vector<scenario *> list;
	const options *o;
};

void *play_all(void *arg)
{
	job *j = (job *)arg;
	for (scenario *s : j->list)
		play(*s, *j->o);
	return nullptr;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string fixed(double x, int decimals)
{
	char buf[32];
	snprintf(buf, sizeof buf, "%.*f", decimals, x);
	return buf;
}

std::string title(const scenario &s)
{
	return s.how.empty() ? s.probe : s.probe + " (" + s.how + ")";
}

// A verdict in a few words, for the summary.
std::string outcome(const scenario &s)
{
	if (s.got.pid < 0)
		return "not started";
	if (s.got.timed_out)
		return "timed out after " + fixed(s.got.seconds, 1) + " s";
	return describe(s.got) + ", " + fixed(s.got.seconds, 2) + " s";
}

// One stream, a line per row: numbered, control characters escaped and
// each line's end marked with $, so trailing blanks show.
void show_stream(const char *name, const std::string &text, const char *lead)
{
	if (text.empty()) {
		printf("%s%s: (nothing)\n", lead, name);
		return;
	}
	printf("%s%s:\n", lead, name);
	int line = 1;
	for (std::size_t at = 0; at < text.size(); line++) {
		std::size_t nl = text.find('\n', at);
		bool ended = nl != std::string::npos;
		std::string row = visible(text.substr(at, ended ? nl - at : std::string::npos));
		row = row.substr(1, row.size() - 2);  // without visible's quotes
		printf("%s%4d | %s%s\n", lead, line, row.c_str(), ended ? "$" : "   (no newline)");
		at = ended ? nl + 1 : text.size();
	}
}

void report(const std::vector<scenario *> &list, double wall)
{
	printf("Each probe runs with stdout on a terminal, as from a shell, unless its\n"
	       "title says otherwise. Each line shown ends at its $; control characters\n"
	       "show as escapes.\n");
	for (const scenario *s : list) {
		printf("\n== %s\n", title(*s).c_str());
		show_stream("stdout", s->got.out, "   ");
		show_stream("stderr", s->got.err, "   ");
		if (s->v.ok)
			printf("   verdict: ok (%s)\n", outcome(*s).c_str());
		else
			printf("   verdict: BROKEN: %s (%s)\n", s->v.why.c_str(),
			       outcome(*s).c_str());
	}

	std::size_t width = 8;
	for (const scenario *s : list)
		width = std::max(width, title(*s).size());
	int broken = 0;
	printf("\n%-*s  %-7s %s\n", (int)width, "scenario", "verdict", "how it ended");
	for (const scenario *s : list) {
		broken += !s->v.ok;
		printf("%-*s  %-7s %s\n", (int)width, title(*s).c_str(), s->v.ok ? "ok" : "BROKEN",
		       outcome(*s).c_str());
	}
	printf("\n%zu scenario%s, %zu kept the contract, %d broke it; %s s in all.\n", list.size(),
	       list.size() == 1 ? "" : "s", list.size() - broken, broken, fixed(wall, 1).c_str());
}

void report_tap(const std::vector<scenario *> &list)
{
	printf("1..%zu\n", list.size());
	int n = 0;
	for (const scenario *s : list) {
		printf("%s %d - %s\n", s->v.ok ? "ok" : "not ok", ++n, title(*s).c_str());
		if (s->v.ok)
			continue;
		printf("# %s (%s)\n", s->v.why.c_str(), outcome(*s).c_str());
		show_stream("stdout", s->got.out, "#   ");
		show_stream("stderr", s->got.err, "#   ");
	}
}

}  // namespace

int main(int argc, char **argv)
{
	options o;
	parse(argc, argv, o);
	if (o.dir.empty())
		o.dir = own_dir(argv[0]);
	if (!o.launcher.empty()) {
		std::string path = find_program(o.launcher[0]);
		if (path.empty())
			bad_usage("cannot find the launcher '" + o.launcher[0] + "'");
		o.launcher[0] = path;
	}

	std::deque<scenario> all;
	standard(all);
	for (const std::string &name : o.only)
		if (std::none_of(all.begin(), all.end(),
		                 [&](const scenario &s) { return s.probe == name; }))
			bad_usage("no probe is called '" + name + "'");
	std::vector<scenario *> list;
	for (scenario &s : all) {
		bool wanted = o.only.empty() ||
		              std::find(o.only.begin(), o.only.end(), s.probe) != o.only.end();
		if (!wanted)
			continue;
		std::string path = o.dir + "/" + s.probe;
		if (access(path.c_str(), X_OK) != 0)
			bad_usage("no probe at " + path + " (see --dir)");
		list.push_back(&s);
	}

	// A thread per slow probe and one for all the quick ones. Where a
	// thread cannot be made, its work runs here instead.
	auto t0 = std::chrono::steady_clock::now();
	std::vector<job> jobs;
	job quick{{}, &o};
	for (scenario *s : list)
		if (s->slow)
			jobs.push_back({{s}, &o});
		else
			quick.list.push_back(s);
	jobs.push_back(quick);
	std::vector<pthread_t> threads;
	for (job &j : jobs) {
		pthread_t t;
		if (pthread_create(&t, nullptr, play_all, &j) == 0)
			threads.push_back(t);
		else
			play_all(&j);
	}

	bool progress = isatty(1);
	for (;;) {
		std::string waiting;
		std::size_t done = 0;
		for (const scenario *s : list)
			if (s->done)
				done++;
			else if (s->slow)
				waiting += (waiting.empty() ? "" : ", ") + s->probe;
		if (done == list.size())
			break;
		if (progress) {
			printf("\r[%zu/%zu done, %s s] %s%s\033[K", done, list.size(),
			       fixed(seconds_since(t0), 1).c_str(),
			       waiting.empty() ? "" : "waiting for ", waiting.c_str());
			fflush(stdout);
		}
		usleep(100000);
	}
	for (pthread_t t : threads)
		pthread_join(t, nullptr);
	if (progress)
		printf("\r\033[K");
	double wall = seconds_since(t0);

	if (o.tap)
		report_tap(list);
	else
		report(list, wall);
	int status = 0;
	for (const scenario *s : list)
		if (!s->v.ok)
			status = 1;
	return status;
}
