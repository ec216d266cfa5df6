// The scenarios every probe runs in, and running one.
#include "suite/suite.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// What a partner process leaves in descriptor 9001: the message and its
// terminating zero byte.
const std::string message("Hello, pipe!\0", 13);

}  // namespace

// Every scenario, in the order of the report. A deque: scenarios stay
// where they are built, as the threads that fill them need.
void standard(std::deque<scenario> &s)
{
	auto add = [&](const char *probe, const char *how, contract c) {
		scenario &x = s.emplace_back();
		x.probe = probe;
		x.how = how;
		x.expect = std::move(c);
		return &x;
	};
	add("ringhand", "", ringhand())->slow = true;
	add("twincell", "", cells(true))->slow = true;
	add("onecell", "", cells(false))->slow = true;
	add("ductopen", "", ductopen());
	add("ductread", "no descriptor 9001", ductread("", true));
	add("ductread", "9001 holds \"Hello, pipe!\\0\"", ductread("Hello, pipe!", false))->fed =
	        true;
	add("splitcount", "", splitcount(true));
	add("splitcount", "stdout on a pipe", splitcount(false))->tty = false;
	add("reapcheck", "", reapcheck());
	add("selfreport", "", selfreport());
	add("tickspan", "", tickspan());
	add("raiseprint", "", raiseprint());
}

// Runs one scenario and records what happened and the verdict.
void play(scenario &s, const options &o)
{
	run_opts r;
	r.argv = o.launcher;
	r.argv.push_back(o.dir + "/" + s.probe);
	r.tty = s.tty;
	r.timeout = 60;
	r.observe.probe = r.argv.back();
	int feed[2] = {-1, -1};
	if (s.fed) {
		// The partner's side: fill the pipe, close its write end, hand
		// over the read end.
		if (pipe2(feed, O_CLOEXEC) != 0 ||
		    write(feed[1], message.data(), message.size()) != (ssize_t)message.size()) {
			s.result = outcome::unarranged;
			s.why = std::string("could not prepare descriptor 9001: ") +
			        strerror(errno);
			s.done = true;
			return;
		}
		close(feed[1]);
		r.fds.push_back({9001, feed[0]});
		r.observe.fd = 9001;
	}
	s.got = run(r);
	if (feed[0] >= 0)
		close(feed[0]);
	judge(s, o);
}

// Sets the outcome and its reason from what s.got holds.
void judge(scenario &s, const options &o)
{
	if (!s.got.setup.empty()) {
		s.result = outcome::unarranged;
		s.why = s.got.setup;
		s.done = true;
		return;
	}
	s.v = check(s.expect, s.got);
	s.result = s.v.ok ? outcome::ok : outcome::broken;
	s.why = s.v.why;
	// Patterns name the pid the probe must print; say which one it is.
	for (std::size_t at; (at = s.why.find("{=pid}")) != std::string::npos;)
		s.why.replace(at, 6, std::to_string(s.got.seen.pid));
	// Without descriptor 9001, where the runner could not see whether the
	// launcher passed it on: no verdict on the platform.
	if (s.fed && !s.v.ok && s.got.seen.fd_open < 0 && !o.launcher.empty() &&
	    check(ductread("", true), s.got).ok) {
		s.result = outcome::unarranged;
		s.why = "descriptor 9001 did not reach the probe, and whether the launcher passed "
		        "it could not be seen: " +
		        (s.got.seen.why_not.empty() ? "its read was not seen" : s.got.seen.why_not);
	}
	s.done = true;
}

// How s is started, for --list.
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
