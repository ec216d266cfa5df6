// The text report: every transcript with its verdict, then a summary.
#include "suite/suite.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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

const char *word(outcome o)
{
	switch (o) {
	case outcome::ok:
		return "ok";
	case outcome::broken:
		return "BROKEN";
	case outcome::unarranged:
		return "could not arrange";
	case outcome::interrupted:
		break;
	}
	return "interrupted";
}

// How the probe ended, in a few words, for the summary.
std::string ending(const scenario &s)
{
	if (s.got.pid < 0)
		return "not started";
	if (s.got.interrupted)
		return "interrupted after " + fixed(s.got.seconds, 1) + " s";
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

void report(const std::vector<scenario *> &list, double wall)
{
	printf("Each probe runs with stdout on a terminal, as from a shell, unless its\n"
	       "title says otherwise. Each line shown ends at its $; control characters\n"
	       "show as escapes.\n");
	if (!inherited_limits().empty())
		printf("Limits inherited by every probe: %s.\n", inherited_limits().c_str());
	for (const scenario *s : list) {
		printf("\n== %s\n", title(*s).c_str());
		show_stream("stdout", s->got.out, "   ");
		show_stream("stderr", s->got.err, "   ");
		printf("   verdict: %s%s%s (%s)\n", word(s->result), s->why.empty() ? "" : ": ",
		       s->why.c_str(), ending(*s).c_str());
	}

	std::size_t width = 8, verdict_width = 7;
	for (const scenario *s : list) {
		width = std::max(width, title(*s).size());
		verdict_width = std::max(verdict_width, strlen(word(s->result)));
	}
	int count[4] = {};
	printf("\n%-*s  %-*s %s\n", (int)width, "scenario", (int)verdict_width, "verdict",
	       "how it ended");
	for (const scenario *s : list) {
		count[(int)s->result]++;
		printf("%-*s  %-*s %s\n", (int)width, title(*s).c_str(), (int)verdict_width,
		       word(s->result), ending(*s).c_str());
	}
	printf("\n%zu scenario%s, %d kept the contract, %d broke it", list.size(),
	       list.size() == 1 ? "" : "s", count[(int)outcome::ok], count[(int)outcome::broken]);
	if (int n = count[(int)outcome::unarranged])
		printf(", %d could not be arranged", n);
	if (int n = count[(int)outcome::interrupted])
		printf(", %d interrupted", n);
	printf("; %s s in all.\n", fixed(wall, 1).c_str());
}

int exit_status(const std::vector<scenario *> &list)
{
	int status = 0;
	for (const scenario *s : list)
		if (s->result == outcome::broken)
			return status_broken;
		else if (s->result != outcome::ok)
			status = status_unarranged;
	return status;
}
