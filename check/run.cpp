#include "check/run.h"
#include "check/keeper.h"

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

// Tells run() which step failed and why, to report as a setup failure
// rather than as the program's own exit.
[[noreturn]] void die(observer &w, child_step step, long a = 0, long b = 0)
{
	observe_failed(w, step, errno, a, b);
	_exit(127);
}

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

struct start {
	const run_opts *o;
	char *const *argv, *const *envp;
	const std::vector<int> *keep;  // sorted
	int out, err;
	observer *w;
};

// In the keeper's fork, between fork and exec: only async-signal-safe
// calls, as the process it was forked from has other threads.
[[noreturn]] void child(void *arg)
{
	const start &c = *static_cast<start *>(arg);
	const run_opts &o = *c.o;
	observer &w = *c.w;
	setpgid(0, 0);
	struct sigaction dfl = {};
	dfl.sa_handler = SIG_DFL;
	for (int s = 1; s < NSIG; s++)
		sigaction(s, &dfl, nullptr);  // nothing ignored that we or our parent ignored
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);

	int in = open("/dev/null", O_RDONLY);
	if (in < 0 || dup2(in, 0) < 0 || dup2(c.out, 1) < 0 || dup2(c.err, 2) < 0)
		die(w, step_redirect);
	observe_child(w);

	// Room for the highest target: the hard limit too where we may raise
	// it (CAP_SYS_RESOURCE), as far as the kernel allows.
	int top = -1;
	for (auto [target, source] : o.fds)
		top = std::max(top, target);
	rlimit nofile;
	getrlimit(RLIMIT_NOFILE, &nofile);
	if (top >= 0 && nofile.rlim_cur <= (rlim_t)top) {
		rlimit want = nofile;
		if (want.rlim_max <= (rlim_t)top)
			want.rlim_max = w.nr_open;
		want.rlim_cur = want.rlim_max;
		if (setrlimit(RLIMIT_NOFILE, &want) != 0)
			die(w, step_fd_limit, top, (long)nofile.rlim_max);
	}
	for (auto [target, source] : o.fds)
		if (dup2(source, target) < 0)
			die(w, step_place, target);

	// The program inherits nothing but 0, 1, 2 and the chosen targets (and
	// the observer's link, close-on-exec).
	int from = 3;
	for (int k : *c.keep) {
		if (k >= from)
			syscall(SYS_close_range, from, k - 1, 0);
		from = std::max(from, k + 1);
	}
	syscall(SYS_close_range, from, ~0U, 0);

	if (o.in_child)
		o.in_child();
	for (auto [resource, value] : o.limits) {
		rlimit l = {value, value};
		if (setrlimit(resource, &l) != 0)
			die(w, step_limit, resource, (long)value);
	}
	execve(c.argv[0], c.argv, c.envp);
	die(w, step_exec);
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
	int fd;
	std::string *kept;
	std::size_t *total;
	std::vector<std::pair<std::size_t, double>> *times;  // null: not timed
	bool open = true;
};

// Reads what is there without waiting; false once the stream ended.
void take(stream &s, std::size_t keep, double at, int rounds)
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
	std::vector<char *> argv, envp;
	for (const auto &a : o.argv)
		argv.push_back(const_cast<char *>(a.c_str()));
	argv.push_back(nullptr);
	for (char **e = environ; *e; e++)
		envp.push_back(*e);
	for (const auto &e : o.env)
		envp.push_back(const_cast<char *>(e.c_str()));
	envp.push_back(nullptr);
	observer obs;
	if (!observe_prepare(obs, o, r))
		return r;
	std::vector<int> keep = {obs.child};  // closed by exec
	for (auto [target, source] : o.fds)
		keep.push_back(target);
	std::sort(keep.begin(), keep.end());

	int out[2], err[2], notes[2];  // [0] read here, [1] the child's
	const char *call = "pipe2";
	if (o.tty ? !open_pty(&out[0], &out[1], &call) : pipe2(out, O_CLOEXEC) != 0) {
		r.setup = std::string(o.tty ? "no pseudo-terminal: " : "no pipe: ") + call + ": " +
		          strerror(errno);
		observe_end(obs, o, r);
		return r;
	}
	if (pipe2(err, O_CLOEXEC) != 0) {
		r.setup = std::string("no pipe: ") + strerror(errno);
		close(out[0]);
		close(out[1]);
		observe_end(obs, o, r);
		return r;
	}
	if (pipe2(notes, O_CLOEXEC) != 0) {
		r.setup = std::string("no pipe: ") + strerror(errno);
		for (int fd : {out[0], out[1], err[0], err[1]})
			close(fd);
		observe_end(obs, o, r);
		return r;
	}
	for (int fd : {out[0], err[0], notes[0]})
		fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

	start s = {&o,  argv.data(), envp.data(), &keep, out[1], o.err_to_out ? out[1] : err[1],
	           &obs};
	pid_t self = getpid();
	long long t0 = now_ns(), started = t0;
	pid_t keeper = fork_keeper();
	if (keeper == 0)
		::keep(notes[1], self, child, &s);
	close(out[1]);
	close(err[1]);
	close(notes[1]);
	if (keeper < 0) {
		r.setup = std::string("fork failed: ") + strerror(errno);
		for (int fd : {out[0], err[0], notes[0]})
			close(fd);
		observe_end(obs, o, r);
		return r;
	}
	observe_started(obs, r);
	int pidfd = (int)syscall(SYS_pidfd_open, keeper, 0);

	// Read both streams and the keeper's notes until the keeper is gone:
	// then the child and everything it started have ended. The child's
	// end starts the linger; the timeout, the linger's end, a stream past
	// its bound or the stop descriptor has the keeper end everything.
	stream streams[2] = {{out[0], &r.out, &r.out_total, &r.out_times},
	                     {err[0], &r.err, &r.err_total, nullptr}};
	enum { p_out, p_err, p_notes, p_keeper, p_stop, p_listen, p_count };
	bool keeper_killed = false;
	bool notes_open = true, keeper_alive = true, ended = false, ending = false,
	     lingered = false;
	int status = 0;
	const long long second = 1000000000;
	long long deadline = t0 + (long long)(o.timeout * second), linger_end = 0, kill_at = 0;
	auto heed = [&](const note &n) {
		if (n.kind == note_started) {
			r.pid = n.a;
			started = n.ns;
		} else if (n.kind == note_failed) {
			r.setup = std::string("fork failed: ") + strerror(n.a);
		} else if (n.kind == note_ended && !ended) {
			ended = true;
			status = n.a;
			r.seconds = (double)(n.ns - started) / second;
			linger_end = n.ns + (long long)(o.linger * second);
		} else if (n.kind == note_signal && r.meddled.empty()) {
			r.meddled = "sent its parent " + signal_named(n.a);
		} else if (n.kind == note_reaped && r.reaped.size() < 1000) {
			r.reaped.emplace_back(n.a, n.b);
		} else if (n.kind == note_done && lingered) {
			r.left = n.a;  // else the child itself was still running
		}
	};
	auto read_notes = [&] {
		note n[16];
		ssize_t k = notes_open ? read(notes[0], n, sizeof n) : -1;
		if (k == 0)
			notes_open = false;
		for (ssize_t i = 0; i < k / (ssize_t)sizeof(note); i++)
			heed(n[i]);
	};
	while (keeper_alive) {
		// What already happened counts before any limit: should we have
		// been stopped a while, a child that ended in time did so.
		read_notes();
		long long now = now_ns();
		bool over = r.out_total > o.keep || r.err_total > o.keep;
		if (!ending &&
		    (over || (!ended && now >= deadline) || (ended && now >= linger_end))) {
			r.timed_out = !ended && !over && now >= deadline;
			lingered = ended && !over;
			if (r.timed_out || over)
				r.seconds = (double)(now - started) / second;
			ending = true;
		}
		if (ending && !kill_at) {
			kill(keeper, SIGTERM);  // the pid is ours until we reap it
			kill(keeper, SIGCONT);  // should it be stopped
			kill_at = now + 2 * second;
		} else if (ending && now >= kill_at) {
			kill(keeper, SIGKILL);  // stopped or stuck: what it leaves is swept below
			kill_at = now + 3600 * second;
		}
		long long until = ending ? kill_at : ended ? linger_end : deadline;
		int wait = (int)std::clamp((until - now) / 1000000 + 1, 1LL, 1000LL);
		if (pidfd < 0)
			wait = std::min(wait, 10);
		pollfd p[p_count] = {
		        {streams[0].open ? out[0] : -1, POLLIN, 0},
		        {streams[1].open ? err[0] : -1, POLLIN, 0},
		        {notes_open ? notes[0] : -1, POLLIN, 0},
		        {pidfd, POLLIN, 0},
		        {ending ? -1 : o.stop_fd, POLLIN, 0},
		        {obs.listener, POLLIN, 0},
		};
		long long polled = now_ns();
		int events = poll(p, p_count, wait);
		// Far longer than asked: this process was stopped. Its own stop
		// is not the child's doing, and a child that waited at the
		// observer's filter waited for it: the limits move on by as much.
		if (long long stop = now_ns() - polled - wait * 1000000LL; stop > second / 4) {
			deadline += stop;
			linger_end += ended ? stop : 0;
			r.stalled += (double)stop / second;
		}
		if (events < 0 && errno != EINTR && errno != EAGAIN) {
			kill(keeper, SIGKILL);  // cannot watch it: end it all
			waitpid(keeper, nullptr, 0);
			keeper_killed = true;
			break;
		}
		double at = (double)(now_ns() - t0) / second;
		if (p[p_stop].revents) {
			r.interrupted = true;
			ending = true;
			if (!ended)
				r.seconds = at - (double)(started - t0) / second;
		}
		// A caller stopped at the filter waits for its answer: serve it
		// first, and on to the end, or an ending child would wait too.
		if (p[p_listen].revents)
			observe_serve(obs, r, p[p_listen].revents);
		for (int i : {p_out, p_err})
			if (p[i].revents)
				take(streams[i], o.keep, at, 1);
		read_notes();
		// Every round, as the descriptor tells of an end only, not of a
		// stop (by a descendant: nothing else stops the keeper).
		int ks = 0;
		pid_t w = waitpid(keeper, &ks, WNOHANG | WUNTRACED);
		if (w == keeper && WIFSTOPPED(ks)) {
			if (r.meddled.empty())
				r.meddled = "stopped its parent with " + signal_named(WSTOPSIG(ks));
			kill(keeper, SIGCONT);
		} else if (w == keeper || (w < 0 && errno == ECHILD && (ks = 0, true))) {
			// ECHILD: a SIGCHLD ignored by this process had the kernel reap it.
			keeper_alive = false;
			keeper_killed = WIFSIGNALED(ks);
			if (keeper_killed && !ending)
				r.meddled =
				        "its parent was killed by " + signal_named(WTERMSIG(ks));
		}
	}
	forget_keeper(keeper);
	if (pidfd >= 0)
		close(pidfd);
	// A killed keeper leaves its descendants to us, when we are a
	// subreaper: end them before reading the rest. (Were we none, they
	// would go further up, out of reach.)
	int reaper = 0;
	if (keeper_killed && prctl(PR_GET_CHILD_SUBREAPER, &reaper) == 0 && reaper)
		sweep_strays();
	for (stream &st : streams)
		take(st, o.keep, (double)(now_ns() - t0) / second, 64);
	for (note n; read(notes[0], &n, sizeof n) == (ssize_t)sizeof n;)
		heed(n);
	if (!r.timed_out && !r.interrupted && r.out_total <= o.keep && r.err_total <= o.keep &&
	    ended) {
		if (WIFEXITED(status))
			r.exited = true, r.code = WEXITSTATUS(status);
		else if (WIFSIGNALED(status))
			r.signal = WTERMSIG(status);
	}
	// Where each kept chunk arrived, from the child's start.
	for (auto &t : r.out_times)
		t.second -= (double)(started - t0) / second;
	for (int fd : {out[0], err[0], notes[0]})
		close(fd);
	observe_end(obs, o, r);
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
