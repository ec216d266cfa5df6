// The text report: every transcript with its verdict, then a summary.
#include "suite/report/terminal.h"
#include "suite/report/output.h"
#include "suite/text.h"

#include <algorithm>
#include <cstring>

namespace
{

// text, then blanks up to width.
std::string padded(const std::string &text, std::size_t shown, std::size_t width)
{
	return text + std::string(width > shown ? width - shown : 0, ' ');
}

void transcripts(const record &r, bool colour)
{
	bool repeated = r.repeat > 1;
	printf("Each probe runs with stdout on a terminal, as from a shell, unless its\n"
	       "title says otherwise. Each line shown ends at its $; control characters\n"
	       "show as escapes.\n");
	if (!r.on.limits.empty())
		printf("Limits inherited by every probe: %s.\n", escaped(r.on.limits).c_str());
	if (repeated)
		printf("Each scenario ran %d times; the first run of its worst outcome is shown.\n",
		       r.repeat);
	for (const tally &t : r.scenarios) {
		printf("\n== %s\n", escaped(t.title).c_str());
		if (repeated && t.shown >= 0)
			printf("   run %d of %d\n", t.shown + 1, r.repeat);
		show_stream(stdout, "stdout", t.got.out, "   ");
		show_stream(stdout, "stderr", t.got.err, "   ");
		printf("   verdict: %s%s%s (%s)\n", painted(t.j.result, colour).c_str(),
		       t.j.why.empty() ? "" : ": ", escaped(t.j.why).c_str(),
		       ending(t.got).c_str());
		if (repeated)
			printf("   runs: %s\n", counts(t).c_str());
		if (!t.j.listed.empty())
			printf("   listed as a known difference: %s\n",
			       escaped(t.j.listed).c_str());
	}
}

void summary(const record &r, bool quiet, bool colour)
{
	bool repeated = r.repeat > 1;
	std::size_t width = 8, verdict_width = 7, runs_width = 4;
	for (const tally &t : r.scenarios) {
		width = std::max(width, escaped(t.title).size());
		verdict_width = std::max(verdict_width, strlen(form(t.j.result).word));
		runs_width = std::max(runs_width, counts(t).size());
	}
	printf("%s%-*s  %-*s %s%s\n", quiet ? "" : "\n", (int)width, "scenario", (int)verdict_width,
	       "verdict", repeated ? padded("runs", 4, runs_width + 2).c_str() : "",
	       "how it ended");
	std::map<outcome, int> all;
	int runs = 0;
	for (const tally &t : r.scenarios) {
		for (const auto &[result, n] : t.outcomes) {
			all[result] += n;
			runs += n;
		}
		if (int missing = r.repeat - t.runs; missing > 0) {
			all[outcome::interrupted] += missing;  // stopped before they ran
			runs += missing;
		}
		std::string c = counts(t);
		const char *word = form(t.j.result).word;
		printf("%-*s  %s %s%s\n", (int)width, escaped(t.title).c_str(),
		       padded(painted(t.j.result, colour), strlen(word), verdict_width).c_str(),
		       repeated ? padded(c, c.size(), runs_width + 2).c_str() : "",
		       ending(t.got).c_str());
	}
	printf("\n%s", counted((long)r.scenarios.size(), "scenario", "scenarios").c_str());
	if (repeated)
		printf(", %d runs of each: %s", r.repeat, counted(runs, "run", "runs").c_str());
	printf(", %d kept the contract", all[outcome::ok]);
	if (int n = all[outcome::unverified])
		printf(", %d kept it unverified", n);
	printf(", %d broke it", all[outcome::broken]);
	for (const auto &[result, n] : all)
		if (result == outcome::unarranged)
			printf(", %d could not be arranged", n);
		else if (result == outcome::known)
			printf(", %d known difference%s", n, n == 1 ? "" : "s");
		else if (result == outcome::no_longer)
			printf(", %d listed no longer differ%s", n, n == 1 ? "s" : "");
		else if (result == outcome::interrupted)
			printf(", %d %s", n, form(result).word);
	printf("; %s s in all.\n", fixed(r.seconds, 1).c_str());
}

void varied(const record &r)
{
	bool any = false;
	for (const tally &t : r.scenarios) {
		for (const auto &[field, values] : t.seen) {
			if (!any)
				printf("\nValues that may differ from run to run, and how many "
				       "runs "
				       "showed each:\n");
			any = true;
			printf("%s: %s: %s\n", escaped(t.title).c_str(), escaped(field).c_str(),
			       escaped(spread(values)).c_str());
		}
	}
}

}  // namespace

std::string painted(outcome o, bool colour)
{
	if (!colour)
		return form(o).word;
	return form(o).colour + std::string(form(o).word) + "\033[0m";
}

// One stream, a line per row: numbered, control characters escaped and
// each line's end marked with $, so trailing blanks show.
void show_stream(FILE *f, const char *name, const std::string &text, const char *lead)
{
	if (text.empty()) {
		fprintf(f, "%s%s: (nothing)\n", lead, name);
		return;
	}
	fprintf(f, "%s%s:\n", lead, name);
	int line = 1;
	for (std::size_t at = 0; at < text.size(); line++) {
		std::size_t nl = text.find('\n', at);
		bool ended = nl != std::string::npos;
		std::size_t end = ended ? nl : text.size();
		fprintf(f, "%s%4d | ", lead, line);
		// A piece at a time, so a long line is escaped in little memory,
		// none cut inside a character.
		for (std::size_t from = at, n; from < end; from += n) {
			n = std::min<std::size_t>(4096, end - from);
			for (int k = 0; k < 3 && from + n < end && (text[from + n] & 0xc0) == 0x80;
			     k++)
				n++;
			std::string row = escaped(text.substr(from, n), true);
			fwrite(row.data(), 1, row.size(), f);
		}
		fprintf(f, "%s\n", ended ? "$" : "   (no newline)");
		at = ended ? nl + 1 : text.size();
	}
}

void report(const record &r, bool quiet, bool colour)
{
	if (!r.on.where.empty())
		printf("Ran on %s.\n", escaped(r.on.where).c_str());
	if (!quiet)
		transcripts(r, colour);
	summary(r, quiet, colour);
	if (r.repeat > 1)
		varied(r);
}

int exit_status(const record &r, int status)
{
	for (const tally &t : r.scenarios) {
		status = worse_status(status, t.j.result);  // interrupted when it never ran
		for (const auto &[result, n] : t.outcomes)
			status = worse_status(status, result);
	}
	return status;
}
