// The scenarios every probe runs in, and running one.
#include "suite/suite.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// What a partner process leaves in descriptor 9001: the message and its
// terminating zero byte.
const std::string message("Hello, pipe!\0", 13);

// The time limit of a probe whose contract sets none, and how long what a
// probe started may run on after it: both scaled with --time-scale.
const double quick_limit = 5, linger = 1;

// Why a run that could not be judged against the contract went wrong;
// empty when it can be judged.
std::string fault(const run_result &r, std::size_t keep)
{
	std::string bound = std::to_string(keep >> 20) + " MiB";
	if (r.out_total > keep)
		return "stdout exceeded " + bound + " (" + std::to_string(r.out_total) +
		       " bytes written)";
	if (r.err_total > keep)
		return "stderr exceeded " + bound + " (" + std::to_string(r.err_total) +
		       " bytes written)";
	return r.meddled;
}

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
	std::string path = o.dir + "/" + s.probe;
	if (access(path.c_str(), X_OK) != 0) {
		s.result = outcome::unarranged;
		s.why = (errno == ENOENT || errno == ENOTDIR ? "no probe at " : "cannot execute ") +
		        path + ": " + strerror(errno);
		return;
	}
	r.argv = o.launcher;
	r.argv.push_back(path);
	r.tty = s.tty;
	double bound = s.expect.max_seconds > 0 ? s.expect.max_seconds : quick_limit;
	r.timeout = bound * o.time_scale;
	r.linger = linger * o.time_scale;
	r.stop_fd = stop_fd();
	r.observe.probe = path;
	int feed[2] = {-1, -1};
	if (s.fed) {
		// The partner's side: fill the pipe, close its write end, hand
		// over the read end.
		if (pipe2(feed, O_CLOEXEC) != 0 ||
		    write(feed[1], message.data(), message.size()) != (ssize_t)message.size()) {
			s.result = outcome::unarranged;
			s.why = std::string("could not prepare descriptor 9001: ") +
			        strerror(errno);
			for (int fd : feed)
				if (fd >= 0)
					close(fd);
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
	if (s.got.interrupted) {
		s.result = outcome::interrupted;
		const char *sig = stopped() ? sigabbrev_np(stopped()) : nullptr;
		s.why = std::string("the run was stopped by SIG") + (sig ? sig : "?");
		return;
	}
	if (!s.got.setup.empty() || !s.got.busy.empty()) {
		s.result = outcome::unarranged;
		s.why = s.got.setup.empty() ? s.got.busy : s.got.setup;
		return;
	}
	contract c = s.expect;
	c.max_seconds *= o.time_scale;
	std::string f = fault(s.got, run_opts().keep);
	s.v = check(c, s.got);
	if (!f.empty())
		s.v = verdict{false, f, {}, {}};
	s.result = s.v.ok ? outcome::ok : outcome::broken;
	s.why = s.v.why;
	if (s.got.left > 0) {
		s.result = outcome::broken;
		s.why += (s.why.empty() ? "left " : "; and it left ") + std::to_string(s.got.left) +
		         (s.got.left == 1 ? " process" : " processes") +
		         " running after it ended (ended by the runner)";
	}
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
