// The expectations file: scenarios known to break their contract on the
// platform at hand, each with the reason.
//
// One scenario a line: its title as the report shows it, or a probe's
// name for all its scenarios, then a tab, then the reason. Lines that
// begin with '#' and blank lines are skipped.
//
//	raiseprint	this C library rounds powl's result differently
//	ductread (9001 holds "Hello, pipe!\0")	the sandbox closes descriptors above 1023
#include "suite/plan/expect.h"
#include "check/harness/file.h"
#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"
#include "suite/text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace
{

std::string trim(const std::string &s)
{
	std::size_t from = s.find_first_not_of(" \t\r"), to = s.find_last_not_of(" \t\r");
	return from == std::string::npos ? "" : s.substr(from, to - from + 1);
}

// Takes line n of the file, neither blank nor a comment. first holds the
// line that listed each scenario so far.
void take(const std::string &l, const std::string &file, int n, std::vector<scenario> &all,
          std::map<const scenario *, int> &first)
{
	std::string where = file + ":" + std::to_string(n) + ": ";
	std::size_t tab = l.find('\t');
	std::string name = trim(l.substr(0, tab));
	std::string reason = tab == std::string::npos ? "" : trim(l.substr(tab + 1));
	if (reason.empty())
		bad_usage(where + "no reason after '" + name +
		          "' (a tab separates the scenario from the reason)");
	bool found = false;
	for (scenario &s : all) {
		if (name != title(s) && name != s.probe)
			continue;
		found = true;
		if (first.count(&s))
			bad_usage(where + "'" + title(s) + "' is already listed on line " +
			          std::to_string(first[&s]));
		first[&s] = n;
		s.listed = reason;
	}
	if (!found)
		bad_usage(where + "no scenario is called '" + name + "'");
}

}  // namespace

void read_expectations(const std::string &file, std::vector<scenario> &all)
{
	std::string text;
	if (!read_file(file, text))
		bad_usage("cannot read the expectations file " + file + ": " + strerror(errno));

	std::map<const scenario *, int> first;
	for (const auto &[n, l] : meant_lines(text))
		take(l, file, n, all, first);
}
