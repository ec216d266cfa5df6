// The report in TAP: a plan line, then a result line per scenario, each
// outcome in its form from the table: a scenario that could not be
// arranged is a skip, a listed one a TODO, neither a failure; an
// unverified ok a pass with its reason in a note.
#include "suite/report/tap.h"
#include "suite/report/output.h"
#include "suite/report/terminal.h"
#include "suite/text.h"

#include <cstdio>

namespace
{

// A title as a TAP line's description: escaped, and a '#' as "\#", which
// would begin a directive.
std::string description(const std::string &title)
{
	std::string d;
	for (char c : escaped(title))
		d += c == '#' ? std::string("\\#") : std::string(1, c);
	return d;
}

}  // namespace

void report_tap(const record &r)
{
	printf("1..%zu\n", r.scenarios.size());
	if (!r.on.limits.empty())
		printf("# limits inherited by every probe: %s\n", escaped(r.on.limits).c_str());
	if (!r.on.where.empty())
		printf("# ran on %s\n", escaped(r.on.where).c_str());
	int n = 0;
	for (const tally &t : r.scenarios) {
		const outcome_form &f = form(t.j.result);
		std::string why = escaped(t.j.why);
		printf("%s %d - %s", f.tap_ok ? "ok" : "not ok", ++n, description(t.title).c_str());
		if (f.tap_note)
			printf(" # %s: %s", f.tap_note,
			       (f.listed_reason ? escaped(t.j.listed) : why).c_str());
		printf("\n");
		if (f.tap_ok) {
			// An ok with a reason: an older record's.
			if (!f.tap_note && !why.empty())
				printf("# %s\n", why.c_str());
			continue;
		}
		if (t.j.result == outcome::interrupted)
			printf("# %s: %s (%s)\n", f.word, why.c_str(), ending(t.got).c_str());
		else
			printf("# %s (%s)\n", why.c_str(), ending(t.got).c_str());
		show_stream(stdout, "stdout", t.got.out, "#   ");
		show_stream(stdout, "stderr", t.got.err, "#   ");
	}
}
