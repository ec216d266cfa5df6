#include "check/harness/run.h"
#include "check/harness/child.h"
#include "check/harness/keeper.h"
#include "check/harness/waits.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace
{

// Opens a pseudo-terminal in raw mode, so bytes pass unchanged. On failure
// *call names the call that failed and errno says why.
bool open_pty(int *master, int *slave, const char **call)
{
	*call = "posix_openpt";
	*master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (*master < 0)
		return false;
	char name[64];
	bool ok = (*call = "grantpt", grantpt(*master) == 0) &&
	          (*call = "unlockpt", unlockpt(*master) == 0) &&
	          (*call = "ptsname_r", ptsname_r(*master, name, sizeof name) == 0) &&
	          (*call = "opening the terminal",
	           (*slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) >= 0);
	if (!ok) {
		int e = errno;
		close(*master);
		errno = e;
		return false;
	}
	termios t;
	tcgetattr(*slave, &t);
	cfmakeraw(&t);
	tcsetattr(*slave, TCSANOW, &t);
	return true;
}

const char *signal_text(int sig)
{
	const char *d = sigdescr_np(sig);
	return d ? d : "unknown signal";
}

std::string signal_named(int sig)
{
	return "signal " + std::to_string(sig) + " (" + signal_text(sig) + ")";
}

// One stream being read: what is kept of it, and whether it is still open.
struct stream {
	int fd = -1;
	std::string *kept = nullptr;
	std::size_t *total = nullptr;
	std::vector<std::pair<std::size_t, double>> *times = nullptr;  // null: not timed
	bool open = true;
};

// Reads what is there without waiting; false once the stream ended.
void take_stream(stream &s, std::size_t keep, double at, int rounds)
{
	char chunk[65536];
	for (int i = 0; s.open && i < rounds; i++) {
		ssize_t k = read(s.fd, chunk, sizeof chunk);
		if (k < 0 && (errno == EAGAIN || errno == EINTR))
			return;
		if (k <= 0) {
			s.open = false;  // EOF, or EIO once a terminal has no writer left
			return;
		}
		*s.total += (std::size_t)k;
		std::size_t room = keep - std::min(keep, s.kept->size());
		if (room > 0) {
			if (s.times)
				s.times->emplace_back(s.kept->size(), at);
			s.kept->append(chunk, std::min(room, (std::size_t)k));
		}
	}
}

const long long second = 1000000000, ms = 1000000;

// The hard limit, as a multiple of a limit: however long the child waited
// for a processor, the run ends.
const int cap = 4;
// How often the child's wait for a processor is read, at least and at most.
const long long look_every = 20 * ms, look_within = 100 * ms;

// One run under way: what its steps share.
struct running {
	const run_opts &o;
	run_result &r;
	observer obs{};
	std::vector<char *> argv{}, envp{};
	std::vector<int> keep{};  // sorted
	// Each pipe's [0] is read here, [1] is the child's.
	int out[2] = {-1, -1}, err[2] = {-1, -1}, notes[2] = {-1, -1};
	stream streams[2]{};
	pid_t keeper = -1;
	int pidfd = -1;
	long long t0 = 0, started = 0;  // before the keeper's fork, and the child's
	bool notes_open = true, keeper_alive = true, keeper_killed = false;
	bool ended = false, ending = false, lingered = false;
	bool passing = false, passed = false;  // the stop, to the child (run_opts.pass_stop)
	int status = 0;                        // the child's wait status, once ended
	// The child's clock stands still while this process is stopped and
	// while the child's processes wait for a processor; the hard limits
	// are on the clock that stands still only for our own stops.
	long long stopped = 0, waited = 0;
	waits looked{};
	long long linger_end = 0;  // on the child's clock
	long long linger_cap = 0;  // on ours
	long long kill_at = 0;
	// What the probe's stdout, stderr and descriptor 9001 are to be.
	std::vector<std::pair<int, std::string>> premise{};
};

long long child_clock(const running &x, long long now)
{
	return now - x.stopped - x.waited;
}

long long own_clock(const running &x, long long now)
{
	return now - x.stopped;
}

// When times the limit has passed since the child started, on either
// clock. (Until the keeper says it started, since before the keeper's
// fork: a slow fork, as in a loaded guest, does not shorten its time.)
long long limit_at(const running &x, int times)
{
	return x.started + times * (long long)(x.o.timeout * second);
}

// The child ended, or was ended, at ns: how long it ran, and how long of
// that it waited for a processor.
void ended_at(running &x, long long ns)
{
	x.r.seconds = (double)(ns - x.started) / second;
	x.r.waited = (double)x.waited / second;
}

void close_all(std::initializer_list<int *> fds)
{
	for (int *fd : fds)
		if (*fd >= 0) {
			close(*fd);
			*fd = -1;
		}
}

std::string kind_phrase(const std::string &kind)
{
	if (kind == "closed")
		return kind;
	if (kind == "other")
		return "something else";
	return "a " + kind;
}

// Which premise the probe did not get, as it was at its first call seen:
// "the probe's stdout was a pipe, not a terminal". Empty when it got each.
std::string premise_failed(const running &x)
{
	for (const auto &[fd, want] : x.premise)
		for (const auto &[at, got] : x.r.seen.fds_first)
			if (at == fd && !got.empty() && !want.empty() && got != want)
				return "the probe's " +
				       (fd == 1   ? std::string("stdout")
				        : fd == 2 ? std::string("stderr")
				                  : "descriptor " + std::to_string(fd)) +
				       " was " + kind_phrase(got) + ", not " + kind_phrase(want);
	return "";
}

// ": " and the last line of text, for a reason; empty when it has none.
std::string last_line(const std::string &text)
{
	std::size_t end = text.find_last_not_of("\r\n");
	if (end == std::string::npos)
		return "";
	std::size_t at = text.rfind('\n', end);
	at = at == std::string::npos ? 0 : at + 1;
	std::string line = text.substr(at, std::min<std::size_t>(end + 1 - at, 200));
	for (char &c : line)
		if ((unsigned char)c < ' ' || c == 0x7f)
			c = '?';
	return ": " + line;
}

// What the observer's sighting means for the result.
void settle_sighting(running &x, const sighting &s)
{
	run_result &r = x.r;
	const run_opts &o = x.o;
	if (s.before_exec) {
		r.exited = false;  // its status is the child's, not the program's: it never ran
		r.code = -1;
	}
	if (r.setup.empty())
		r.setup = s.setup;
	r.seen = s.seen;
	if (!r.seen.asked || !r.setup.empty())
		return;
	bool direct = o.argv[0] == o.observe.probe;
	bool failed_start = r.exited && (r.code == 126 || r.code == 127);
	if (o.observe.fd >= 0 && r.seen.fd_open == 0)
		r.setup = "the launcher did not pass descriptor " + std::to_string(o.observe.fd) +
		          " to the probe";
	else if (!direct && r.seen.ran)
		r.setup = premise_failed(x);
	// No sign of the probe: whatever the launcher printed, it never ran
	// it. (A sandbox's kernel that maps the probe's file is a sign.)
	else if (!direct && s.no_sign)
		r.setup = failed_start ? "the launcher could not start the probe (exit " +
		                                 std::to_string(r.code) + ")"
		                       : "the launcher ended without running the probe (" +
		                                 describe(r) + ")" + last_line(r.err);
	else if (!direct && failed_start && !r.seen.ran && !s.exec_ran &&
	         (r.seen.watching || r.out.empty()))
		r.setup = "the launcher could not start the probe (exit " + std::to_string(r.code) +
		          ")";
	else if (s.exec_failed && !r.seen.ran)
		r.setup = "the launcher could not start the probe (its exec failed)";
}

// The child's arguments, environment and descriptors, the observer and the
// pipes. False, with the reason in the result, when they cannot be had.
bool set_up(running &x)
{
	const run_opts &o = x.o;
	for (const auto &a : o.argv)
		x.argv.push_back(const_cast<char *>(a.c_str()));
	x.argv.push_back(nullptr);
	for (char **e = environ; *e; e++)
		x.envp.push_back(*e);
	for (const auto &e : o.env)
		x.envp.push_back(const_cast<char *>(e.c_str()));
	x.envp.push_back(nullptr);
	if (!observe_prepare(x.obs, o.observe, o.argv[0], o.fds)) {
		x.r.setup = x.obs.setup;
		return false;
	}
	x.keep = {x.obs.link.child};  // closed by exec
	for (auto [target, source] : o.fds)
		x.keep.push_back(target);
	std::sort(x.keep.begin(), x.keep.end());

	const char *call = "pipe2";
	bool ok = false;
	if (o.tty ? !open_pty(&x.out[0], &x.out[1], &call) : pipe2(x.out, O_CLOEXEC) != 0)
		x.r.setup = std::string(o.tty ? "no pseudo-terminal: " : "no pipe: ") + call +
		            ": " + strerror(errno);
	else if (pipe2(x.err, O_CLOEXEC) != 0 || pipe2(x.notes, O_CLOEXEC) != 0)
		x.r.setup = std::string("no pipe: ") + strerror(errno);
	else
		ok = true;
	if (!ok) {
		close_all({&x.out[0], &x.out[1], &x.err[0], &x.err[1]});
		settle_sighting(x, observe_end(x.obs, -1));
		return false;
	}
	for (int fd : {x.out[0], x.err[0], x.notes[0]})
		fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
	x.streams[0] = {x.out[0], &x.r.out, &x.r.out_total, &x.r.out_times};
	x.streams[1] = {x.err[0], &x.r.err, &x.r.err_total, nullptr};
	if (o.observe.probe.empty())
		return true;
	std::string out = o.tty ? "terminal" : "pipe";
	x.premise = {{1, out}, {2, o.err_to_out ? out : "pipe"}, {9001, "closed"}};
	for (auto [target, source] : o.fds)
		for (auto &[fd, kind] : x.premise)
			if (fd == target)
				kind = fd_kind("/proc/self", source);
	return true;
}

// Forks the keeper, which forks the child. False, with the reason in the
// result, when it cannot.
bool start_keeper(running &x)
{
	child_start s = {&x.o,    x.argv.data(), x.envp.data(),
	                 &x.keep, x.out[1],      x.o.err_to_out ? x.out[1] : x.err[1],
	                 &x.obs};
	pid_t self = getpid();
	x.t0 = x.started = now_ns();
	x.keeper = fork_keeper();
	if (x.keeper == 0)
		::keep(x.notes[1], self, exec_child, &s);
	close_all({&x.out[1], &x.err[1], &x.notes[1]});
	if (x.keeper < 0) {
		x.r.setup = std::string("fork failed: ") + strerror(errno);
		close_all({&x.out[0], &x.err[0], &x.notes[0]});
		settle_sighting(x, observe_end(x.obs, -1));
		return false;
	}
	observe_started(x.obs);
	x.pidfd = (int)syscall(SYS_pidfd_open, x.keeper, 0);
	x.looked.at = x.t0;
	return true;
}

void heed(running &x, const note &n)
{
	run_result &r = x.r;
	if (n.kind == note_started) {
		r.pid = n.a;
		x.started = n.ns;
	} else if (n.kind == note_failed) {
		r.setup = std::string("fork failed: ") + strerror(n.a);
	} else if (n.kind == note_ended && !x.ended) {
		x.ended = true;
		x.status = n.a;
		ended_at(x, n.ns);
		x.linger_end = child_clock(x, n.ns) + (long long)(x.o.linger * second);
		x.linger_cap = own_clock(x, n.ns) + cap * (long long)(x.o.linger * second);
	} else if (n.kind == note_signal && r.meddled.empty()) {
		r.meddled = "sent its parent " + signal_named(n.a);
	} else if (n.kind == note_reaped && r.reaped.size() < 1000) {
		r.reaped.emplace_back(n.a, n.b);
	} else if (n.kind == note_done && x.lingered) {
		r.left = n.a;  // else the child itself was still running
	}
}

void read_notes(running &x)
{
	note n[16];
	ssize_t k = x.notes_open ? read(x.notes[0], n, sizeof n) : -1;
	if (k == 0)
		x.notes_open = false;
	for (ssize_t i = 0; i < k / (ssize_t)sizeof(note); i++)
		heed(x, n[i]);
}

std::string seconds_text(long long ns)
{
	char buf[32];
	snprintf(buf, sizeof buf, "%.1f s", (double)ns / second);
	return buf;
}

// The timeout, the linger's end or a stream past its bound has the keeper
// end everything: SIGTERM, then SIGKILL should it not end in 2 s.
void enforce(running &x, long long now)
{
	run_result &r = x.r;
	bool over = r.out_total > x.o.keep || r.err_total > x.o.keep;
	long long mine = child_clock(x, now), ours = own_clock(x, now);
	bool late = !x.ended && mine >= limit_at(x, 1),
	     capped = !x.ended && ours >= limit_at(x, cap);
	bool linger_over = x.ended && (mine >= x.linger_end || ours >= x.linger_cap);
	if (!x.ending && (over || late || capped || linger_over)) {
		r.timed_out = !x.ended && !over && (late || capped);
		x.lingered = x.ended && !over;
		if (r.timed_out || over)
			ended_at(x, now);
		// At the hard limit, not at its own: the child mostly waited.
		if (r.timed_out && !late)
			r.busy = "the machine was too busy: " + seconds_text(x.waited) + " of " +
			         seconds_text(now - x.started - x.stopped) +
			         " waiting for a processor";
		x.ending = true;
	}
	if (x.ending && !x.kill_at) {
		kill(x.keeper, SIGTERM);  // the pid is ours until we reap it
		kill(x.keeper, SIGCONT);  // should it be stopped
		x.kill_at = now + 2 * second;
	} else if (x.ending && now >= x.kill_at) {
		kill(x.keeper, SIGKILL);  // stopped or stuck: what it leaves is swept below
		x.kill_at = now + 3600 * second;
	}
}

// Every round, as the descriptor tells of an end only, not of a stop (by
// a descendant: nothing else stops the keeper).
void check_keeper(running &x)
{
	run_result &r = x.r;
	int ks = 0;
	pid_t w = waitpid(x.keeper, &ks, WNOHANG | WUNTRACED);
	if (w == x.keeper && WIFSTOPPED(ks)) {
		if (r.meddled.empty())
			r.meddled = "stopped its parent with " + signal_named(WSTOPSIG(ks));
		kill(x.keeper, SIGCONT);
	} else if (w == x.keeper || (w < 0 && errno == ECHILD && (ks = 0, true))) {
		// ECHILD: a SIGCHLD ignored by this process had the kernel reap it.
		x.keeper_alive = false;
		x.keeper_killed = WIFSIGNALED(ks);
		if (x.keeper_killed && !x.ending)
			r.meddled = "its parent was killed by " + signal_named(WTERMSIG(ks));
	}
}

// Moves the clocks on after a poll of wait ms from polled. Far longer than
// asked: this process was stopped. Its own stop is not the child's doing,
// and a child that waited at the observer's filter waited for it. Nor is
// its processes' wait for a processor, unless they ran all the while.
void tick(running &x, long long polled, int wait)
{
	long long now = now_ns(), stop = now - polled - wait * ms;
	stop = stop > second / 4 ? stop : 0;
	x.stopped += stop;
	x.r.stalled += (double)stop / second;
	if (stop > 0 || now - x.looked.at >= look_every)
		x.waited += std::max(held_back(x.looked, x.keeper, now) - stop, 0LL);
}

// How long the next poll may wait, in ms: until the next limit, and at
// most until the next look at the wait for a processor.
int poll_wait(const running &x, long long now)
{
	long long until = x.ending  ? x.kill_at
	                  : x.ended ? now + std::min(x.linger_end - child_clock(x, now),
	                                             x.linger_cap - own_clock(x, now))
	                            : now + std::min(limit_at(x, 1) - child_clock(x, now),
	                                             limit_at(x, cap) - own_clock(x, now));
	int wait = (int)std::clamp((until - now) / ms + 1, 1LL, look_within / ms);
	return x.pidfd < 0 ? std::min(wait, 10) : wait;
}

// Reads both streams and the keeper's notes until the keeper is gone: then
// the child and everything it started have ended. The child's end starts
// the linger; the stop descriptor ends everything as interrupted.
void watch_child(running &x)
{
	const run_opts &o = x.o;
	run_result &r = x.r;
	enum { p_out, p_err, p_notes, p_keeper, p_stop, p_listen, p_count };
	while (x.keeper_alive) {
		// What already happened counts before any limit: should we have
		// been stopped a while, a child that ended in time did so.
		read_notes(x);
		long long now = now_ns();
		enforce(x, now);
		int wait = poll_wait(x, now);
		pollfd p[p_count] = {
		        {x.streams[0].open ? x.out[0] : -1, POLLIN, 0},
		        {x.streams[1].open ? x.err[0] : -1, POLLIN, 0},
		        {x.notes_open ? x.notes[0] : -1, POLLIN, 0},
		        {x.pidfd, POLLIN, 0},
		        {x.ending || x.passing ? -1 : o.stop_fd, POLLIN, 0},
		        {x.obs.listener, POLLIN, 0},
		};
		long long polled = now_ns();
		int events = poll(p, p_count, wait);
		tick(x, polled, wait);
		if (events < 0 && errno != EINTR && errno != EAGAIN) {
			kill(x.keeper, SIGKILL);  // cannot watch it: end it all
			waitpid(x.keeper, nullptr, 0);
			x.keeper_killed = true;
			break;
		}
		double at = (double)(now_ns() - x.t0) / second;
		if (p[p_stop].revents && o.pass_stop) {
			x.passing = true;
		} else if (p[p_stop].revents) {
			r.interrupted = true;
			x.ending = true;
			if (!x.ended)
				ended_at(x, now_ns());
		}
		// A caller stopped at the filter waits for its answer: serve it
		// first, and on to the end, or an ending child would wait too.
		if (p[p_listen].revents)
			observe_serve(x.obs, p[p_listen].revents);
		for (int i : {p_out, p_err})
			if (p[i].revents)
				take_stream(x.streams[i], o.keep, at, 1);
		read_notes(x);
		if (x.passing && !x.passed && r.pid > 0 && !x.ended) {
			kill(r.pid, o.pass_stop());  // its end not yet told: still running
			x.passed = true;
		}
		check_keeper(x);
	}
}

// After the keeper: what is left of the streams and the notes, and how the
// child ended.
void collect(running &x)
{
	const run_opts &o = x.o;
	run_result &r = x.r;
	forget_keeper(x.keeper);
	close_all({&x.pidfd});
	// A killed keeper leaves its descendants to us, when we are a
	// subreaper: end them before reading the rest. (Were we none, they
	// would go further up, out of reach.)
	int reaper = 0;
	if (x.keeper_killed && prctl(PR_GET_CHILD_SUBREAPER, &reaper) == 0 && reaper)
		sweep_strays();
	for (stream &st : x.streams)
		take_stream(st, o.keep, (double)(now_ns() - x.t0) / second, 64);
	for (note n; read(x.notes[0], &n, sizeof n) == (ssize_t)sizeof n;)
		heed(x, n);
	if (!r.timed_out && !r.interrupted && r.out_total <= o.keep && r.err_total <= o.keep &&
	    x.ended) {
		if (WIFEXITED(x.status))
			r.exited = true, r.code = WEXITSTATUS(x.status);
		else if (WIFSIGNALED(x.status))
			r.signal = WTERMSIG(x.status);
	}
	// Where each kept chunk arrived, from the child's start.
	for (auto &t : r.out_times)
		t.second -= (double)(x.started - x.t0) / second;
	close_all({&x.out[0], &x.err[0], &x.notes[0]});
	settle_sighting(x, observe_end(x.obs, r.pid));
}

}  // namespace

run_result run(const run_opts &o)
{
	run_result r;
	if (o.stop_fd >= 0) {
		pollfd p = {o.stop_fd, POLLIN, 0};
		if (poll(&p, 1, 0) > 0) {
			r.interrupted = true;
			return r;
		}
	}
	running x{.o = o, .r = r};
	if (!set_up(x) || !start_keeper(x))
		return r;
	watch_child(x);
	collect(x);
	return r;
}

double arrival(const run_result &r, std::size_t at)
{
	double t = -1;
	for (auto [offset, when] : r.out_times)
		if (offset <= at)
			t = when;
	return at < r.out.size() ? t : -1;
}

std::string describe(const run_result &r)
{
	if (r.timed_out)
		return "timed out";
	if (r.interrupted)
		return "interrupted";
	if (r.signal)
		return "killed by " + signal_named(r.signal);
	if (r.exited)
		return "exit " + std::to_string(r.code);
	if (!r.setup.empty())
		return "not started";  // the child failed before it could exec
	return r.pid > 0 ? "ended by the runner" : "not started";
}
