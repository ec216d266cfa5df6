#include "check/contracts/contracts.h"
#include "check/contracts/values.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <utility>

namespace
{

const double five_min = 4.5, five_max = 20;  // the 5-second probes, with room for a loaded host

std::string created_or(const char *err)
{
	return err ? std::string("\n Can't create thread :[") + err + "]"
	           : "\n Thread created successfully\n";
}

contract prints(std::vector<source> out, int code = 0)
{
	contract c;
	c.out = std::move(out);
	c.code = code;
	return c;
}

std::string itos(int i)
{
	return std::to_string(i);
}

// The page's transcript for a probe that had children when it waited:
// it gets the pid and status word of one of them.
contract existing_child(const contract &c, const run_result &r)
{
	const auto &kids = r.seen.children;
	if (kids.empty())
		return c;
	if (kids.size() == 1)
		return reapcheck(itos(kids[0].first),
		                 kids[0].second >= 0 ? itos(kids[0].second) : "{int}");
	std::string any;
	for (auto [pid, status] : kids) {
		any += any.empty() ? "{" : "|";
		any += itos(pid);
	}
	return reapcheck(any + "}", "{int}");
}

// A split that failed, as the probe tells it.
std::string split_failed(const run_result &r)
{
	if (!check_contract(splitcount(true, false), r).ok)
		return "";
	return "the probe could not split: fork failed (" + describe(r) + ")";
}

}  // namespace

contract ringhand(const char *err1, const char *err2)
{
	contract c = prints({{"main", {created_or(err1), created_or(err2)}}});
	if (!err1)
		c.out.push_back({"first thread",
		                 {"[Thread 01 start] \n", "[Thread 01] ret = 7 \n",
		                  "[Thread 01] AaaBbb \n"}});
	if (!err2) {
		source reader{"second thread", {"[Thread 02 start] \n"}};
		if (!err1)  // else the reader polls an empty ring until main ends it
			reader.calls.insert(reader.calls.end(),
			                    {"[Thread 02] ret = 7 \n", "[Thread 02] AaaBbb \n"});
		c.out.push_back(reader);
	}
	c.min_seconds = five_min;
	c.max_seconds = five_max;
	return c;
}

contract cells(bool twin, const char *err1, const char *err2)
{
	source main{"main", {}};
	const char *err[2] = {err1, err2};
	for (int i = 0; i < 2; i++) {
		main.calls.push_back(created_or(err[i]));
		if (!err[i])
			main.calls.insert(main.calls.end(),
			                  {"x={x=ptr}\n", "*x=" + itos(i + 1) + "\n"});
	}
	contract c = prints({main});
	// A thread sees the cell as main last stored it before the thread
	// started, or any later store. The value is named so that a report can
	// count which one each thread saw.
	auto thread = [&](const std::string &name, const char *heading, const std::string &seen) {
		source s{name, {heading, "x={x=ptr}\n", "*x={" + name + "'s *x=" + seen + "}\n"}};
		if (twin)
			s.calls.insert(s.calls.end(), {"y={y=ptr}\n", "*y=99\n"});
		c.out.push_back(s);
	};
	if (!err1)
		thread("first thread", "\n First thread processing\n", err2 ? "0|1" : "0|1|2");
	if (!err2)
		thread("second thread", "\n Second thread processing\n", err1 ? "0|2" : "1|2");
	c.min_seconds = five_min;
	c.max_seconds = five_max;
	return c;
}

contract ductopen(bool piped)
{
	if (!piped)
		return prints({{"main",
		                {"<cage 01> ret: -1 \n", "<cage 01> fd[0]: 0 \n",
		                 "<cage 01> fd[1]: 1 \n"}}});
	contract c = prints({{"main",
	                      {"<cage 01> ret: 0 \n", "<cage 01> fd[0]: {fd0=int} \n",
	                       "<cage 01> fd[1]: {fd1=int} \n"}}});
	c.values = pipe_pair;
	return c;
}

contract ductread(const std::string &text, bool failed)
{
	contract c = prints(
	        {{"main", {"<cage 02> " + text + " \n", "<cage 02> Read file successfully!\n"}}});
	if (failed)
		c.err.push_back({"main", {"An error occurred in the read!\n"}});
	return c;
}

contract splitcount(bool tty, bool forked)
{
	const std::string begin = "--beginning of program-- \n", end = "--end of program-- \n";
	if (!forked)
		return prints({{"main", {begin, "fork() failed! \n"}}}, 1);
	source parent{"parent", {}}, child{"child", {}};
	if (tty)  // printed before the split
		parent.calls.push_back(begin), parent.first = true;
	else  // still in the buffer at the split: both processes print it
		parent.calls.push_back(begin), child.calls.push_back(begin);
	source counts{"parent", {}};
	for (int i = 1; i <= 5; i++) {
		counts.calls.push_back("[parent process {child=int}]: counter = " + itos(i) +
		                       " \n");
		child.calls.push_back("[child process 0]: counter = " + itos(i) + " \n");
	}
	counts.calls.push_back(end);
	child.calls.push_back(end);
	contract c;
	if (tty) {
		c = prints({parent, counts, child});
	} else {
		parent.calls.insert(parent.calls.end(), counts.calls.begin(), counts.calls.end());
		c = prints({parent, child});
	}
	c.values = child_pid;
	c.own_failure = split_failed;
	return c;
}

contract reapcheck(const std::string &val, const std::string &status)
{
	contract c = prints({{"main",
	                      {"Current process id number is: {=pid} \n",
	                       "val = " + val + "; status = " + status + " \n"}}});
	c.variant = existing_child;
	return c;
}

contract selfreport()
{
	return prints({{"main",
	                {"This is the first time.\n", "Current process id number is: {=pid} \n"}}});
}

contract tickspan(bool clock_ok)
{
	std::string start = clock_ok ? "{start=int}" : "-1", end = clock_ok ? "{end=int}" : "-1";
	contract c = prints(
	        {{"main",
	          {"Starting of the program, start_t = " + start + "\n",
	           "Going to scan a big loop, start_t = " + (clock_ok ? "{=start}" : start) + "\n",
	           "End of the big loop, end_t = " + end + "\n", "Total time taken by CPU: 0\n",
	           "Exiting of the program...\n"}}});
	c.values = clock_readings;
	return c;
}

contract raiseprint()
{
	return prints({{"main", {"powl(3.2, 1.0) = 3.200000\n"}}});
}

namespace
{

// Why r's status or running time breaks c; empty when neither does.
std::string ended_wrong(const contract &c, const run_result &r)
{
	if (!r.exited || r.code != c.code) {
		std::string why = c.own_failure ? c.own_failure(r) : "";
		return why.empty()
		               ? "status: expected exit " + itos(c.code) + ", got " + describe(r)
		               : why;
	}
	if (c.min_seconds > 0 && r.seconds < c.min_seconds)
		return "ended after " + std::to_string(r.seconds) + " s, expected at least " +
		       std::to_string(c.min_seconds);
	// The runner's own stop may have held the child at the observer's
	// filter, and a busy machine may have held it from a processor.
	if (c.max_seconds > 0 && r.seconds > c.max_seconds + r.stalled + r.waited)
		return "ended after " + std::to_string(r.seconds) + " s, expected at most " +
		       std::to_string(c.max_seconds);
	return "";
}

// The pid the probe must print, bound: the one its process was seen to
// have, or the child's when run() was not asked to look. When it is not
// known, the pid lines of out and err are checked for their form only,
// and the reason comes back.
std::string bind_pid(const run_result &r, std::vector<source> &out, std::vector<source> &err,
                     std::map<std::string, std::string> &bound)
{
	if (!r.seen.asked || r.seen.pid > 0) {
		bound["pid"] = itos(r.seen.asked ? r.seen.pid : r.pid);
		return "";
	}
	std::string unverified;
	for (auto *list : {&out, &err})
		for (source &s : *list)
			for (std::string &call : s.calls)
				for (std::size_t at;
				     (at = call.find("{=pid}")) != std::string::npos;) {
					call.replace(at, 6, "{pid=int}");
					unverified = r.seen.why_not;
				}
	return unverified;
}

}  // namespace

verdict check_contract(const contract &given, const run_result &r)
{
	const contract &c = given.variant ? given.variant(given, r) : given;
	verdict v;
	if (!(v.why = ended_wrong(c, r)).empty())
		return v;
	std::map<std::string, std::string> bound;
	std::vector<source> out = c.out, err = c.err;
	std::string unverified = bind_pid(r, out, err, bound);
	verdict e = match(err, r.err, bound);
	if (!e.ok) {
		e.why = "stderr " + e.why;
		return e;
	}
	v = match(out, r.out, bound);
	std::string unchecked;
	if (!v.ok)
		v.why = "stdout " + v.why;
	else if (c.values && !(v.why = c.values(v, r, unchecked)).empty())
		v.ok = false;
	else if (!unverified.empty())
		v.why = "pid not verified: " + unverified;
	else if (r.seen.asked && !r.seen.ran && r.seen.pid <= 0)
		v.why = r.seen.watching ? r.seen.why_not : "not observed: " + r.seen.why_not;
	else
		v.why = unchecked;
	return v;
}
