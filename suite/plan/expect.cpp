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

#include <map>

namespace
{

std::string trim(const std::string &s)
{
	std::size_t from = s.find_first_not_of(" \t\r"), to = s.find_last_not_of(" \t\r");
	return from == std::string::npos ? "" : s.substr(from, to - from + 1);
}

// Takes line n of the file, neither blank nor a comment. first holds the
// line that listed each scenario so far. False with why.
bool take(const std::string &l, int n, std::vector<scenario> &all,
          std::map<const scenario *, int> &first, std::string &why)
{
	std::size_t tab = l.find('\t');
	std::string name = trim(l.substr(0, tab));
	std::string reason = tab == std::string::npos ? "" : trim(l.substr(tab + 1));
	if (l.find('\0') != std::string::npos) {
		why = "a NUL byte in the line";
		return false;
	}
	if (reason.empty()) {
		why = "no reason after '" + cut(name) +
		      "' (a tab separates the scenario from the reason)";
		return false;
	}
	bool found = false;
	for (scenario &s : all) {
		if (name != title(s) && name != s.probe)
			continue;
		if (first.count(&s)) {
			why.assign(1, '\'');
			why += title(s) + "' is already listed on line " +
			       std::to_string(first[&s]);
			return false;
		}
		found = true;
		first[&s] = n;
		s.listed = reason;
	}
	if (!found)
		why = "no scenario is called '" + cut(name) + "'";
	return found;
}

}  // namespace

bool read_expectations(const std::string &file, std::vector<scenario> &all, std::string &why)
{
	std::string text;
	if (!read_regular(file, list_limit, false, text, why)) {
		why = "cannot read the expectations file " + file + ": " + why;
		return false;
	}
	std::map<const scenario *, int> first;
	for (const auto &[n, l] : meant_lines(text))
		if (!take(l, n, all, first, why)) {
			why.insert(0, file + ":" + std::to_string(n) + ": ");
			return false;
		}
	return true;
}
