// The report in TAP: a plan line, then a result line per scenario. A
// scenario that could not be arranged is a skip, not a failure; a listed
// one is a TODO, which does not fail the run either way.
#include "suite/suite.h"

#include <cstdio>

void report_tap(const std::vector<scenario *> &list)
{
	printf("1..%zu\n", list.size());
	if (!inherited_limits().empty())
		printf("# limits inherited by every probe: %s\n", inherited_limits().c_str());
	if (!platform.empty())
		printf("# ran on %s\n", platform.c_str());
	int n = 0;
	for (const scenario *s : list) {
		++n;
		switch (s->result) {
		case outcome::ok:
			printf("ok %d - %s\n", n, title(*s).c_str());
			if (!s->why.empty())  // what was not verified
				printf("# %s\n", s->why.c_str());
			continue;
		case outcome::unarranged:
			printf("ok %d - %s # SKIP could not arrange: %s\n", n, title(*s).c_str(),
			       s->why.c_str());
			continue;
		case outcome::no_longer:
			printf("ok %d - %s # TODO no longer differs: %s\n", n, title(*s).c_str(),
			       s->listed.c_str());
			continue;
		case outcome::known:
		case outcome::broken:
		case outcome::interrupted:
			break;
		}
		if (s->result == outcome::known)
			printf("not ok %d - %s # TODO known difference: %s\n", n, title(*s).c_str(),
			       s->listed.c_str());
		else
			printf("not ok %d - %s\n", n, title(*s).c_str());
		if (s->result != outcome::interrupted)
			printf("# %s (%s)\n", s->why.c_str(), ending(*s).c_str());
		else
			printf("# %s: %s (%s)\n", word(s->result), s->why.c_str(),
			       ending(*s).c_str());
		show_stream("stdout", s->got.out, "#   ");
		show_stream("stderr", s->got.err, "#   ");
	}
}
