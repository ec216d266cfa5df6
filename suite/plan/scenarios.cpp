// The scenarios every probe runs in.
#include "suite/plan/scenarios.h"

const std::string message("Hello, pipe!\0", 13);

std::vector<scenario> standard()
{
	std::vector<scenario> s;
	auto add = [&](const char *probe, const char *how, contract c) -> scenario & {
		scenario &x = s.emplace_back();
		x.probe = probe;
		x.how = how;
		x.expect = std::move(c);
		return x;
	};
	add("ringhand", "", ringhand()).slow = true;
	add("twincell", "", cells(true)).slow = true;
	add("onecell", "", cells(false)).slow = true;
	add("ductopen", "", ductopen());
	add("ductread", "no descriptor 9001", ductread("", true));
	add("ductread", "9001 holds \"Hello, pipe!\\0\"", ductread("Hello, pipe!", false)).fed =
	        true;
	add("splitcount", "", splitcount(true));
	add("splitcount", "stdout on a pipe", splitcount(false)).tty = false;
	add("reapcheck", "", reapcheck());
	add("selfreport", "", selfreport());
	add("tickspan", "", tickspan());
	add("raiseprint", "", raiseprint());
	return s;
}

std::string title(const scenario &s)
{
	return s.how.empty() ? s.probe : s.probe + " (" + s.how + ")";
}

double time_limit(const scenario &s)
{
	return s.expect.max_seconds > 0 ? s.expect.max_seconds : 5;
}

std::string started(const scenario &s)
{
	std::string how = s.tty ? "stdout on a terminal" : "stdout on a pipe";
	if (s.fed)
		how += ", descriptor 9001 on a pipe holding " + visible(message) +
		       " with its writer closed";
	if (s.slow)
		how += "; runs about 5 s";
	return how;
}
