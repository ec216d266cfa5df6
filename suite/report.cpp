// The text report: every transcript with its verdict, then a summary.
#include "suite/suite.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

std::string platform;

std::string fixed(double x, int decimals)
{
	char buf[32];
	snprintf(buf, sizeof buf, "%.*f", decimals, x);
	return buf;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string title(const scenario &s)
{
	return s.how.empty() ? s.probe : s.probe + " (" + s.how + ")";
}

const char *word(outcome o)
{
	switch (o) {
	case outcome::ok:
		return "ok";
	case outcome::broken:
		return "BROKEN";
	case outcome::unarranged:
		return "could not arrange";
	case outcome::known:
		return "known difference";
	case outcome::no_longer:
		return "no longer differs";
	case outcome::interrupted:
		break;
	}
	return "interrupted";
}

// How much an outcome counts against the platform: 0 for a kept contract,
// 2 for a broken one, 1 for a run that could not be judged. The exit
// status, the run a repeated scenario shows and the colour follow it.
int severity(outcome o)
{
	switch (o) {
	case outcome::ok:
	case outcome::known:  // listed: neither fails the run
	case outcome::no_longer:
		return 0;
	case outcome::broken:
		return 2;
	case outcome::unarranged:
	case outcome::interrupted:
		break;
	}
	return 1;
}

// The verdict word, in green, yellow or red by its severity when the
// report is in colour.
std::string painted(outcome o, const options &opt)
{
	static const char *const colours[] = {"\033[32m", "\033[33m", "\033[1;31m"};
	if (!opt.colour)
		return word(o);
	return colours[severity(o)] + std::string(word(o)) + "\033[0m";
}

namespace
{

// text, then blanks up to width.
std::string padded(const std::string &text, std::size_t shown, std::size_t width)
{
	return text + std::string(width > shown ? width - shown : 0, ' ');
}

}  // namespace

// How the probe ended, in a few words, for the summary.
std::string ending(const scenario &s)
{
	if (s.got.pid < 0 || describe(s.got) == "not started")
		return "not started";
	if (s.got.interrupted)
		return "interrupted after " + fixed(s.got.seconds, 1) + " s";
	// A wait as long as a stall the runner would notice.
	std::string waited = s.got.waited >= 0.25 ? ", " + fixed(s.got.waited, 1) +
	                                                    " s of it waiting for a processor"
	                                          : "";
	if (s.got.timed_out)
		return "timed out after " + fixed(s.got.seconds, 1) + " s" + waited;
	std::string stalled = s.got.stalled > 0 ? ", " + fixed(s.got.stalled, 1) +
	                                                  " s of it with the runner stopped"
	                                        : "";
	return describe(s.got) + ", " + fixed(s.got.seconds, 2) + " s" + stalled + waited;
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
		std::size_t end = ended ? nl : text.size();
		printf("%s%4d | ", lead, line);
		// A piece at a time, so a long line is escaped in little memory;
		// each without visible's quotes.
		for (std::size_t from = at; from < end; from += 4096) {
			std::size_t n = std::min<std::size_t>(4096, end - from);
			std::string row = visible(text.substr(from, n));
			fwrite(row.data() + 1, 1, row.size() - 2, stdout);
		}
		printf("%s\n", ended ? "$" : "   (no newline)");
		at = ended ? nl + 1 : text.size();
	}
}

void report(const std::vector<scenario *> &list, const options &o, double wall)
{
	bool repeated = o.repeat > 1;
	if (!platform.empty())
		printf("Ran on %s.\n", platform.c_str());
	if (!o.quiet) {
		printf("Each probe runs with stdout on a terminal, as from a shell, unless its\n"
		       "title says otherwise. Each line shown ends at its $; control characters\n"
		       "show as escapes.\n");
		if (!inherited_limits().empty())
			printf("Limits inherited by every probe: %s.\n",
			       inherited_limits().c_str());
		if (repeated)
			printf("Each scenario ran %d times; the first run of its worst outcome is "
			       "shown.\n",
			       o.repeat);
	}
	for (const scenario *s : o.quiet ? std::vector<scenario *>() : list) {
		printf("\n== %s\n", title(*s).c_str());
		if (repeated && s->count.shown >= 0)
			printf("   run %d of %d\n", s->count.shown + 1, o.repeat);
		show_stream("stdout", s->got.out, "   ");
		show_stream("stderr", s->got.err, "   ");
		printf("   verdict: %s%s%s (%s)\n", painted(s->result, o).c_str(),
		       s->why.empty() ? "" : ": ", s->why.c_str(), ending(*s).c_str());
		if (repeated)
			printf("   runs: %s\n", counts(s->count).c_str());
		if (!s->listed.empty())
			printf("   listed as a known difference: %s\n", s->listed.c_str());
	}

	std::size_t width = 8, verdict_width = 7, runs_width = 4;
	for (const scenario *s : list) {
		width = std::max(width, title(*s).size());
		verdict_width = std::max(verdict_width, strlen(word(s->result)));
		runs_width = std::max(runs_width, counts(s->count).size());
	}
	printf("%s%-*s  %-*s %s%s\n", o.quiet ? "" : "\n", (int)width, "scenario",
	       (int)verdict_width, "verdict",
	       repeated ? padded("runs", 4, runs_width + 2).c_str() : "", "how it ended");
	std::map<outcome, int> all;
	int runs = 0;
	for (const scenario *s : list) {
		for (const auto &[result, n] : s->count.outcomes) {
			all[result] += n;
			runs += n;
		}
		if (int missing = o.repeat - s->count.runs; missing > 0) {
			all[outcome::interrupted] += missing;  // stopped before they ran
			runs += missing;
		}
		std::string c = counts(s->count);
		printf("%-*s  %s %s%s\n", (int)width, title(*s).c_str(),
		       padded(painted(s->result, o), strlen(word(s->result)), verdict_width)
		               .c_str(),
		       repeated ? padded(c, c.size(), runs_width + 2).c_str() : "",
		       ending(*s).c_str());
	}
	printf("\n%zu scenario%s", list.size(), list.size() == 1 ? "" : "s");
	if (repeated)
		printf(", %d runs of each: %d run%s", o.repeat, runs, runs == 1 ? "" : "s");
	printf(", %d kept the contract, %d broke it", all[outcome::ok], all[outcome::broken]);
	for (const auto &[result, n] : all)
		if (result == outcome::unarranged)
			printf(", %d could not be arranged", n);
		else if (result == outcome::known)
			printf(", %d known difference%s", n, n == 1 ? "" : "s");
		else if (result == outcome::no_longer)
			printf(", %d listed no longer differ%s", n, n == 1 ? "s" : "");
		else if (result != outcome::ok && result != outcome::broken)
			printf(", %d %s", n, word(result));
	printf("; %s s in all.\n", fixed(wall, 1).c_str());

	bool any = false;
	for (const scenario *s : repeated ? list : std::vector<scenario *>()) {
		for (const auto &[field, values] : s->count.seen) {
			if (!any)
				printf("\nValues that may differ from run to run, and how many "
				       "runs "
				       "showed each:\n");
			any = true;
			printf("%s: %s: %s\n", title(*s).c_str(), field.c_str(),
			       spread(values).c_str());
		}
	}
}

// 1 when a run broke its contract, else 3 when one could not be judged,
// else 0.
int exit_status(const std::vector<scenario *> &list)
{
	int worst = 0;
	for (const scenario *s : list) {
		worst = std::max(worst, severity(s->result));  // interrupted when it never ran
		for (const auto &[result, n] : s->count.outcomes)
			worst = std::max(worst, severity(result));
	}
	return worst == 2 ? status_broken : worst == 1 ? status_unarranged : 0;
}
