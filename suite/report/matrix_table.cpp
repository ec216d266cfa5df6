// The matrix in the terminal: a row per scenario, a column per platform,
// each cell its outcome; then every cell that differs from the first
// platform's, with its reason, and a summary line. TAP and JUnit take
// every cell as a test of its own.
#include "suite/report/matrix_table.h"
#include "suite/matrix/matrix.h"
#include "suite/report/output.h"
#include "suite/report/terminal.h"
#include "suite/text.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace
{

// The cell's text, and how wide it shows.
std::string shown(const tally *t, bool colour, std::size_t &width)
{
	width = t ? strlen(form(t->j.result).word) : 1;
	return t ? painted(t->j.result, colour) : "-";
}

void table(const matrix &m, const std::vector<std::string> &titles, bool colour)
{
	std::size_t first = 8;
	for (const std::string &title : titles)
		first = std::max(first, escaped(title).size());
	std::vector<std::size_t> widths;
	for (const column &c : m.platforms) {
		std::size_t w = escaped(c.name).size(), n;
		for (const tally &t : c.r.scenarios)
			w = std::max(w, (shown(&t, false, n), n));
		widths.push_back(w);
	}
	printf("%-*s", (int)first, "scenario");
	for (std::size_t i = 0; i < m.platforms.size(); i++)
		printf("  %-*s", i + 1 < widths.size() ? (int)widths[i] : 0,
		       escaped(m.platforms[i].name).c_str());
	printf("\n");
	for (const std::string &title : titles) {
		printf("%-*s", (int)first, escaped(title).c_str());
		for (std::size_t i = 0; i < m.platforms.size(); i++) {
			std::size_t n;
			std::string text = shown(cell(m.platforms[i], title), colour, n);
			bool last = i + 1 == m.platforms.size();
			printf("  %s%s", text.c_str(),
			       last ? ""
			            : std::string(widths[i] - std::min(n, widths[i]), ' ').c_str());
		}
		printf("\n");
	}
}

void listed_differences(const matrix &m, bool colour)
{
	std::vector<difference> d = differences(m);
	if (m.platforms.size() < 2)
		return;
	if (d.empty()) {
		printf("\nEvery platform's outcomes are %s's.\n",
		       escaped(m.platforms[0].name).c_str());
		return;
	}
	printf("\nWhere the outcome differs from %s's:\n", escaped(m.platforms[0].name).c_str());
	for (const difference &x : d)
		printf("%s: %s: %s%s%s\n", escaped(x.platform).c_str(), escaped(x.title).c_str(),
		       painted(x.t->j.result, colour).c_str(), x.reason.empty() ? "" : ": ",
		       escaped(x.reason).c_str());
}

void summary(const matrix &m)
{
	// Wide, as the counts of many records add up.
	std::map<outcome, long long> all;
	long long runs = 0;
	for (const column &c : m.platforms)
		for (const tally &t : c.r.scenarios) {
			if (t.outcomes.empty())  // it never ran: its one outcome says why
				all[t.j.result]++, runs++;
			for (const auto &[o, n] : t.outcomes)
				all[o] += n, runs += n;
		}
	printf("\n%s, %s:", counted((long)m.platforms.size(), "platform", "platforms").c_str(),
	       counted(runs, "run", "runs").c_str());
	const char *sep = " ";
	for (const auto &[o, n] : all) {
		printf("%s%lld %s", sep, n, form(o).word);
		sep = ", ";
	}
	printf("; %s s in all.\n", fixed(m.seconds, 1).c_str());
}

}  // namespace

void report_matrix(const matrix &m, bool quiet, bool colour)
{
	table(m, rows(m), colour);
	if (quiet)
		return;
	listed_differences(m, colour);
	summary(m);
}

record flattened(const matrix &m)
{
	record flat;
	flat.seconds = m.seconds;
	for (const column &c : m.platforms)
		for (const tally &t : c.r.scenarios) {
			flat.scenarios.push_back(t);
			flat.scenarios.back().title = c.name + ": " + t.title;
		}
	return flat;
}

int matrix_status(const matrix &m)
{
	int status = 0;
	for (const column &c : m.platforms)
		status = exit_status(c.r, status);
	return status;
}
