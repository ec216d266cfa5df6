// What a run needs besides the command line: the probes' folder, the
// launcher's path and the scenarios chosen, each usage error found before
// anything runs.
#include "suite/plan/prepare.h"
#include "suite/plan/expect.h"
#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"
#include "suite/run/places.h"

#include <algorithm>
#include <unistd.h>

std::string own_dir()
{
	std::string self = own_program();
	std::size_t slash = self.rfind('/');
	return slash == std::string::npos ? "." : slash == 0 ? "/" : self.substr(0, slash);
}

std::vector<scenario> prepare(options &o)
{
	if (o.dir.empty())
		o.dir = own_dir();
	if (!o.launcher.empty() && o.ssh.empty()) {  // over ssh it runs there
		std::string path = find_program(o.launcher[0]);
		if (path.empty())
			bad_usage("cannot find the launcher '" + o.launcher[0] + "'");
		o.launcher[0] = path;
	}
	std::vector<scenario> all = standard(), plan;
	if (!o.expect.empty())
		read_expectations(o.expect, all);
	for (const std::string &name : o.only)
		if (std::none_of(all.begin(), all.end(),
		                 [&](const scenario &s) { return s.probe == name; }))
			bad_usage("no probe is called '" + name + "'");
	for (scenario &s : all)
		if (o.only.empty() ||
		    std::find(o.only.begin(), o.only.end(), s.probe) != o.only.end())
			plan.push_back(std::move(s));
	return plan;
}
