// The platform matrix's run: the platforms of a file checked side by side,
// or saved records brought together, then reported as one matrix.
#include "suite/matrix/run_matrix.h"
#include "suite/away/needs.h"
#include "suite/matrix/compare.h"
#include "suite/matrix/platforms.h"
#include "suite/matrix/side_by_side.h"
#include "suite/report/html.h"
#include "suite/report/junit.h"
#include "suite/report/matrix_table.h"
#include "suite/report/output.h"
#include "suite/report/tap.h"
#include "suite/run/signals.h"

#include <cstdio>

int run_matrix(options &o)
{
	std::vector<platform_line> platforms;
	matrix m;
	std::string why;
	if (!o.platforms.empty() ? !read_platforms(o.platforms, platforms, why)
	                         : !compared(o.compare, m, why))
		bad_usage(why);
	for (const platform_line &p : platforms)
		if (!check_away_usage(p.plan, p.o, why))
			bad_usage(o.platforms + ":" + std::to_string(p.line) + ": " + why);
	int junit = open_output(o.junit), json = open_output(o.json), html = open_output(o.html);
	if (!platforms.empty())
		m = run_platforms(platforms, stop_fd());

	record flat = flattened(m);
	int status = matrix_status(m);
	bool written = write_output(junit, o.junit, [&](FILE *f) { report_junit(f, flat); });
	written &= write_output(json, o.json, [&](FILE *f) { fputs(json_matrix(m).c_str(), f); });
	written &= write_output(html, o.html, [&](FILE *f) { report_html(f, m); });
	if (!written)
		status = status_output;
	if (o.tap)
		report_tap(flat);
	else
		report_matrix(m, o.quiet, in_colour());
	return status;
}
