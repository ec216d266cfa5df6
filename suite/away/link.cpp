#include "suite/away/link.h"
#include "check/harness/keeper.h"
#include "suite/run/progress.h"
#include "suite/text.h"

#include <algorithm>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

// What the keeper's child puts in place before it runs argv: its
// descriptors 0 to 3, each from one of the runner's (-1: none; for 0,
// /dev/null).
struct exec_plan {
	char **argv;
	int from[4];
};

// In a fork of a threaded process: system calls only.
[[noreturn]] void exec_link(void *arg)
{
	const exec_plan *e = (const exec_plan *)arg;
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	// Out of the way first, should a source be a target too.
	int high[4];
	for (int i = 0; i < 4; i++)
		high[i] = e->from[i] >= 0 ? fcntl(e->from[i], F_DUPFD_CLOEXEC, 10) : -1;
	if (e->from[0] < 0)
		high[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);
	for (int i = 0; i < 4; i++)
		if ((high[i] >= 0 || e->from[i] >= 0) && dup2(high[i], i) < 0)
			_exit(127);
	execve(e->argv[0], e->argv, environ);
	_exit(127);
}

void close_fds(std::initializer_list<int *> fds)
{
	for (int *fd : fds) {
		if (*fd >= 0)
			close(*fd);
		*fd = -1;
	}
}

}  // namespace

away_link link_for(const std::vector<scenario> &plan, const std::string &token)
{
	away_link l;
	l.g.token = token;
	for (const scenario &s : plan)
		l.g.titles.push_back(title(s));
	return l;
}

bool start_link(away_link &l, std::vector<std::string> args, const plumbing &p,
                const std::string &wire_file, std::string &why)
{
	if (access(args[0].c_str(), X_OK) != 0) {
		why = "cannot start " + args[0] + ": " + strerror(errno);
		return false;
	}
	int console[2] = {-1, -1}, wire[2] = {-1, -1}, feed[2] = {-1, -1}, notes[2] = {-1, -1};
	bool made = pipe2(console, O_CLOEXEC) == 0 && pipe2(notes, O_CLOEXEC) == 0 &&
	            (!p.wire || pipe2(wire, O_CLOEXEC) == 0) &&
	            (!p.feed || pipe2(feed, O_CLOEXEC) == 0);
	if (made && !wire_file.empty())
		l.wire = open(wire_file.c_str(), O_RDONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (!made || (!wire_file.empty() && l.wire < 0)) {
		why = std::string("cannot make the guest's channel: ") + strerror(errno);
		close_fds({&console[0], &console[1], &wire[0], &wire[1], &feed[0], &feed[1],
		           &notes[0], &notes[1], &l.wire});
		return false;
	}
	std::vector<char *> argv;
	argv.reserve(args.size() + 1);
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	exec_plan e = {argv.data(), {feed[0], p.wire ? wire[1] : console[1], console[1], p.fd3}};
	pid_t self = getpid();
	l.keeper = fork_keeper();
	if (l.keeper == 0)
		keep(notes[1], self, exec_link, &e);
	int err = errno;
	close_fds({&console[1], &wire[1], &feed[0], &notes[1]});
	l.console = console[0];
	l.notes = notes[0];
	if (p.wire)
		l.wire = wire[0];
	l.wire_pipe = p.wire;
	l.feed = feed[1];
	for (int fd : {l.wire, l.feed, l.notes})
		if (fd >= 0)
			fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
	if (l.keeper < 0) {
		why = "cannot start " + args[0] + ": " + strerror(err);
		close_fds({&l.console, &l.notes, &l.wire, &l.feed});
		return false;
	}
	return true;
}

namespace
{

void read_console(away_link &l)
{
	char buf[65536];
	ssize_t n = read(l.console, buf, sizeof buf);
	if (n > 0)
		l.console_text.append(buf, n);
	else if (n == 0 || errno != EINTR)
		close_fds({&l.console});
	if (l.console_text.size() > 65536)
		l.console_text.erase(0, l.console_text.size() - 65536);
}

// What the keeper told: the process's end.
void read_notes(away_link &l)
{
	note n[16];
	ssize_t k;
	while (l.notes >= 0 && (k = read(l.notes, n, sizeof n)) != 0) {
		if (k < 0) {
			if (errno != EAGAIN && errno != EINTR)
				close_fds({&l.notes});
			return;
		}
		for (ssize_t i = 0; i < k / (ssize_t)sizeof(note); i++)
			if (n[i].kind == note_ended || n[i].kind == note_failed) {
				l.ended = true;
				l.status = n[i].kind == note_ended ? n[i].a : 127 << 8;
			}
	}
	if (l.notes >= 0) {  // the keeper is gone
		close_fds({&l.notes});
		l.ended = true;
	}
}

// A megabyte of the wire at most, and none once it broke; true when there
// may be more.
bool read_wire_now(away_link &l)
{
	char buf[65536];
	for (int i = 0; i < 16; i++) {
		if (l.wire < 0 || !l.g.broken.empty())
			return false;
		ssize_t n = read(l.wire, buf, sizeof buf);
		if (n <= 0)
			return false;
		read_wire(l.g, buf, n);
	}
	return true;
}

void feed_guest(away_link &l)
{
	while (l.feed >= 0 && l.fed < l.feeding.size()) {
		ssize_t n = write(l.feed, l.feeding.data() + l.fed, l.feeding.size() - l.fed);
		if (n <= 0) {
			if (n < 0 && errno != EAGAIN && errno != EINTR)
				close_fds({&l.feed});  // the guest went away; its end says why
			return;
		}
		l.fed += n;
	}
}

// Reads what the console, the keeper's notes and the wire hold now, and
// feeds what the guest can take; waits up to ms for any of them. True
// when the wire may hold more already. (A file is always readable: the
// wire is read each time, but waited for only when a pipe.)
bool drain(away_link &l, int ms)
{
	bool feeding = l.feed >= 0 && l.fed < l.feeding.size();
	pollfd p[4] = {{l.console, POLLIN, 0},
	               {l.wire_pipe ? l.wire : -1, POLLIN, 0},
	               {feeding ? l.feed : -1, POLLOUT, 0},
	               {l.notes, POLLIN, 0}};
	if (poll(p, 4, ms) < 0)
		return false;
	if (p[0].revents)
		read_console(l);
	if (p[3].revents)
		read_notes(l);
	bool more = read_wire_now(l);
	feed_guest(l);
	return more;
}

// A phase of a link (starting, running, ending): when it began, its span,
// and what a machine had waited for a processor by then.
struct phase {
	double from = 0, span = 0, waited_from = 0;
};

struct watch {
	std::chrono::steady_clock::time_point t0;
	double t = 0, waited = 0;  // seconds since t0, and waited for a processor
	phase now;
	bool done = false;  // the guest said it was
};

void begin(watch &w, double span)
{
	w.now = {w.t, span, w.waited};
}

// Each phase's span is moved on by what a machine waited for a processor
// here meanwhile, up to 3 times more. (Its runner sees such a wait as its
// own stop, and moves its probes' limits on by as much.)
bool overdue(const watch &w)
{
	const phase &p = w.now;
	return w.t > p.from + p.span + std::min(w.waited - p.waited_from, 3 * p.span);
}

// On to the next phase as the guest speaks.
void follow(away_link &l, watch &w, const bounds &b)
{
	if (l.g.ready && l.boot_seconds == 0) {
		l.boot_seconds = w.t;
		begin(w, b.run);
	}
	if (l.g.done && !w.done) {
		w.done = true;
		begin(w, b.end);
		close_fds({&l.feed});
	}
}

// Whether the link is to end now as the runner was told to stop. A gentle
// guest ends its probes, says so and cleans up when its feed ends.
bool heed_stop(away_link &l, watch &w, const bounds &b, int stop_fd)
{
	pollfd stop{stop_fd, POLLIN, 0};
	if (l.stopped || stop_fd < 0 || poll(&stop, 1, 0) <= 0)
		return false;
	l.stopped = true;
	close_fds({&l.feed});
	if (!l.gentle)
		return true;
	begin(w, b.end);
	return false;
}

// The keeper told to end, and with it the process and all it started;
// then what is still in the pipes and the file is read. What the keeper
// tells now is of that end, not the process's own: its notes are left
// unread, but open until it is gone, or it would hear of each write.
void end_link(away_link &l)
{
	int notes = l.notes;
	l.notes = -1;
	close_fds({&l.feed});
	if (l.keeper > 0) {
		kill(l.keeper, SIGTERM);
		while (waitpid(l.keeper, nullptr, 0) < 0 && errno == EINTR)
			;
		forget_keeper(l.keeper);
		l.keeper = -1;
	}
	close_fds({&notes});
	for (int i = 0; l.console >= 0 && i < 20; i++)
		drain(l, 100);
	while (drain(l, 0))
		;
	close_fds({&l.console, &l.wire, &l.notes});
}

}  // namespace

bounds bounds_for(double start, double time_scale)
{
	bounds b{start};
	if (time_scale > 1)
		b.run *= time_scale;  // the guest's limits are scaled as here
	return b;
}

void watch_link(away_link &l, const bounds &b, int stop_fd, const std::string &starting)
{
	watch w;
	w.t0 = std::chrono::steady_clock::now();
	begin(w, b.start);
	for (bool more = false; !l.ended && l.g.broken.empty();) {
		more = drain(l, more ? 0 : 100);
		w.t = seconds_since(w.t0);
		if (l.count_wait)
			w.waited += (double)held_back(l.looked, getpid(), now_ns()) / 1e9;
		follow(l, w, b);
		show_progress("", w.t0,
		              !l.g.ready  ? starting
		              : !l.g.done ? "the suite runs in the guest"
		                          : "the guest ends");
		if (heed_stop(l, w, b, stop_fd) || overdue(w))
			break;
	}
	end_progress();
	end_link(l);
}
