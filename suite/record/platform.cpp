#include "suite/record/platform.h"
#include "suite/record/elf.h"

#include <ctime>
#include <sys/utsname.h>
#include <unistd.h>

platform this_machine()
{
	platform p;
	utsname u;
	if (uname(&u) == 0) {
		p.kernel = u.release;
		p.machine = u.machine;
	}
	p.processors = (int)sysconf(_SC_NPROCESSORS_ONLN);
	return p;
}

platform this_platform(const std::vector<scenario> &plan, const options &o)
{
	platform p = this_machine();
	if (!plan.empty())
		libc_of(o.dir + "/" + plan[0].probe, p);
	p.launcher = o.launcher;
	p.runner = VERSION;
	char now[32];
	time_t t = time(nullptr);
	tm utc;
	strftime(now, sizeof now, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&t, &utc));
	p.started = now;
	return p;
}
