// The report in TAP: a plan line, then a result line per scenario, each
// outcome in its form from the table: a scenario that could not be
// arranged is a skip, a listed one a TODO, neither a failure; an
// unverified ok a pass with its reason in a note.
#include "suite/report/tap.h"
#include "suite/report/output.h"
#include "suite/report/terminal.h"

#include <cstdio>

void report_tap(const record &r)
{
	printf("1..%zu\n", r.scenarios.size());
	if (!r.on.limits.empty())
		printf("# limits inherited by every probe: %s\n", r.on.limits.c_str());
	if (!r.on.where.empty())
		printf("# ran on %s\n", r.on.where.c_str());
	int n = 0;
	for (const tally &t : r.scenarios) {
		const outcome_form &f = form(t.j.result);
		printf("%s %d - %s", f.tap_ok ? "ok" : "not ok", ++n, t.title.c_str());
		if (f.tap_note)
			printf(" # %s: %s", f.tap_note,
			       (f.listed_reason ? t.j.listed : t.j.why).c_str());
		printf("\n");
		if (f.tap_ok) {
			if (!f.tap_note &&
			    !t.j.why.empty())  // an ok with a reason, from an older record
				printf("# %s\n", t.j.why.c_str());
			continue;
		}
		if (t.j.result == outcome::interrupted)
			printf("# %s: %s (%s)\n", f.word, t.j.why.c_str(), ending(t.got).c_str());
		else
			printf("# %s (%s)\n", t.j.why.c_str(), ending(t.got).c_str());
		show_stream(stdout, "stdout", t.got.out, "#   ");
		show_stream(stdout, "stderr", t.got.err, "#   ");
	}
}
