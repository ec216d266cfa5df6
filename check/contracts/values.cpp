#include "check/contracts/values.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace
{

// Whether the probe's exit_group was seen, where the values it ends with
// are read; else why not, into unchecked, naming what went unchecked.
bool exit_seen(const run_result &r, const char *what, std::string &unchecked)
{
	if (!r.seen.asked || !r.seen.fds_exit.empty())
		return r.seen.asked;
	unchecked = std::string(what) + " not verified: " +
	            (r.seen.why_not.empty() ? "the probe's end was not seen" : r.seen.why_not);
	return false;
}

// What the probe holds as descriptor fd (a printed number) at its end:
// "pipe:[INODE] read" and such; empty when it is no pipe of its.
std::string pipe_end(const run_result &r, const std::string &fd)
{
	for (const auto &[at, end] : r.seen.pipes)
		if (std::to_string(at) == fd)
			return end;
	return "";
}

// The text the pattern bound to name; empty when none.
std::string bound_text(const verdict &v, const char *name)
{
	auto b = v.bound.find(name);
	return b == v.bound.end() ? "" : b->second;
}

// A clock reading the probe printed, into *x; false when it is no number
// of a clock_t's range.
bool reading(const verdict &v, const char *name, long long *x)
{
	std::string text = bound_text(v, name);
	errno = 0;
	char *end;
	*x = strtoll(text.c_str(), &end, 10);
	return errno == 0 && *end == 0 && end != text.c_str();
}

// Whether ticks of clock() (a million a second) are more processor time
// than the kernel accounted to the probe, with a clock tick of room for
// each of utime and stime, which it cuts short to whole ticks. Exact: no
// product overflows.
bool past_accounted(long long ticks, const run_result &r)
{
	const __int128 per_second = 1000000;
	return (__int128)ticks * r.seen.hz > ((__int128)r.seen.cpu + 2) * per_second;
}

}  // namespace

std::string child_pid(const verdict &v, const run_result &r, std::string &unchecked)
{
	auto printed = v.bound.find("child");
	if (printed == v.bound.end() || !exit_seen(r, "the child's pid", unchecked))
		return "";
	if (r.seen.forked <= 0) {
		unchecked = "the child's pid not verified: no child of the probe's that ran "
		            "its file was seen";
		return "";
	}
	if (printed->second == std::to_string(r.seen.forked))
		return "";
	return "the parent printed child pid " + printed->second + ", the child's pid is " +
	       std::to_string(r.seen.forked);
}

std::string pipe_pair(const verdict &v, const run_result &r, std::string &unchecked)
{
	auto fd0 = v.bound.find("fd0"), fd1 = v.bound.find("fd1");
	if (fd0 == v.bound.end() || fd1 == v.bound.end() ||
	    !exit_seen(r, "fd[0] and fd[1]", unchecked))
		return "";
	const std::string *fd[2] = {&fd0->second, &fd1->second};
	const char *want[2] = {"read", "write"};
	std::string end[2];
	for (int i = 0; i < 2; i++) {
		end[i] = pipe_end(r, *fd[i]);
		if (end[i].empty())
			return "fd[" + std::to_string(i) + "] " + *fd[i] +
			       " is not a pipe the probe holds";
	}
	auto pipe_of = [](const std::string &e) { return e.substr(0, e.find(' ')); };
	if (pipe_of(end[0]) != pipe_of(end[1]))
		return "fd[0] " + *fd[0] + " and fd[1] " + *fd[1] +
		       " are not the two ends of one pipe";
	for (int i = 0; i < 2; i++) {
		std::string mode = end[i].substr(end[i].find(' ') + 1);
		if (mode != want[i])
			return "fd[" + std::to_string(i) + "] " + *fd[i] + " is not the " +
			       want[i] + " end of the pipe: it is the " + mode + " end";
	}
	return "";
}

std::string clock_readings(const verdict &v, const run_result &r, std::string &unchecked)
{
	long long start, end;
	if (!v.bound.contains("start"))  // the failed clock's form, all -1
		return "";
	if (!reading(v, "start", &start) || !reading(v, "end", &end))
		return "start_t = " + bound_text(v, "start") + ", end_t = " + bound_text(v, "end") +
		       ": a reading beyond a clock_t's range";
	std::string both =
	        "start_t = " + std::to_string(start) + ", end_t = " + std::to_string(end);
	if ((start == -1) != (end == -1))
		return both + ": a clock that fails reads -1 every time";
	if (start == -1)
		return "";
	if (start < 0 || end < 0)
		return both + ": processor time is never below zero";
	if (end < start)
		return "the clock went backwards: " + both;
	if (!exit_seen(r, "start_t and end_t", unchecked))
		return "";
	if (r.seen.cpu < 0 || r.seen.hz <= 0) {
		unchecked = "start_t and end_t not verified: the probe's processor time could not "
		            "be read";
		return "";
	}
	double accounted = (double)r.seen.cpu / (double)r.seen.hz;
	char text[200];
	if (past_accounted(end - start, r))
		snprintf(
		        text, sizeof text,
		        "the clock ran faster than the probe: end_t - start_t = %lld (%.6f s), the "
		        "kernel accounted %.2f s of processor time to the probe",
		        end - start, (double)(end - start) / 1e6, accounted);
	else if (past_accounted(end, r))  // start is no more than end
		snprintf(text, sizeof text,
		         "the clock read more than the probe's processor time: %s, the kernel "
		         "accounted %.2f s to the probe",
		         both.c_str(), accounted);
	else
		return "";
	return text;
}
