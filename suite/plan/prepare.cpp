// What a run needs besides the command line: the probes' folder, the
// launcher's path and the scenarios chosen, each usage error found before
// anything runs.
#include "suite/plan/prepare.h"
#include "check/harness/file.h"
#include "suite/plan/expect.h"
#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"
#include "suite/run/places.h"

#include "suite/text.h"

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

std::string own_dir()
{
	std::string self = own_program();
	std::size_t slash = self.rfind('/');
	return slash == std::string::npos ? "." : slash == 0 ? "/" : self.substr(0, slash);
}

bool prepare(options &o, std::vector<scenario> &plan, std::string &why)
{
	if (o.dir.empty())
		o.dir = own_dir();
	// Whole, so that a launcher that changes its folder (a container's)
	// finds the probes as well.
	if (char *whole = realpath(o.dir.c_str(), nullptr)) {
		o.dir = whole;
		free(whole);
	}
	if (!o.launcher.empty() && o.ssh.empty()) {  // over ssh it runs there
		std::string path = find_program(o.launcher[0]);
		if (path.empty()) {
			why = "cannot find the launcher '" + cut(o.launcher[0]) + "'";
			return false;
		}
		o.launcher[0] = path;
	}
	std::string head;  // a kernel image is read whole later, by whatever boots it
	if (!o.kernel.empty() && !read_regular(o.kernel, elf_head_limit, true, head, why)) {
		why = "cannot read the kernel image " + o.kernel + ": " + why;
		return false;
	}
	std::vector<scenario> all = standard();
	if (!o.expect.empty() && !read_expectations(o.expect, all, why))
		return false;
	for (const std::string &name : o.only)
		if (std::none_of(all.begin(), all.end(),
		                 [&](const scenario &s) { return s.probe == name; })) {
			why = "no probe is called '" + cut(name) + "'";
			return false;
		}
	plan.clear();
	for (scenario &s : all)
		if (o.only.empty() ||
		    std::find(o.only.begin(), o.only.end(), s.probe) != o.only.end())
			plan.push_back(std::move(s));
	return true;
}
