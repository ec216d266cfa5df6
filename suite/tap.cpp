// The report in TAP: a plan line, then a result line per scenario. A
// scenario that could not be arranged is a skip, not a failure.
#include "suite/suite.h"

#include <cstdio>

void report_tap(const std::vector<scenario *> &list)
{
	printf("1..%zu\n", list.size());
	if (!inherited_limits().empty())
		printf("# limits inherited by every probe: %s\n", inherited_limits().c_str());
	int n = 0;
	for (const scenario *s : list) {
		++n;
		switch (s->result) {
		case outcome::ok:
			printf("ok %d - %s\n", n, title(*s).c_str());
			continue;
		case outcome::unarranged:
			printf("ok %d - %s # SKIP could not arrange: %s\n", n, title(*s).c_str(),
			       s->why.c_str());
			continue;
		case outcome::broken:
		case outcome::interrupted:
			break;
		}
		printf("not ok %d - %s\n", n, title(*s).c_str());
		if (s->result == outcome::broken)
			printf("# %s (%s)\n", s->why.c_str(), ending(*s).c_str());
		else
			printf("# %s: %s (%s)\n", word(s->result), s->why.c_str(),
			       ending(*s).c_str());
		show_stream("stdout", s->got.out, "#   ");
		show_stream("stderr", s->got.err, "#   ");
	}
}
