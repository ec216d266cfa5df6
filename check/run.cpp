#include "check/run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char **environ;

namespace
{

using clk = std::chrono::steady_clock;

double since(clk::time_point t0)
{
	return std::chrono::duration<double>(clk::now() - t0).count();
}

[[noreturn]] void die(observer &w, child_step step, const char *what, long a = 0, long b = 0)
{
	observe_failed(w, step, errno, a, b);
	(void)!write(2, what, strlen(what));
	(void)!write(2, " failed in the child\n", 21);
	_exit(127);
}

// Opens a pseudo-terminal in raw mode, so bytes pass unchanged.
bool open_pty(int *master, int *slave)
{
	*master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	if (*master < 0)
		return false;
	char name[64];
	if (grantpt(*master) != 0 || unlockpt(*master) != 0 ||
	    ptsname_r(*master, name, sizeof name) != 0 ||
	    (*slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
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

// Between fork and exec only async-signal-safe calls: the parent may have
// other threads, one of which may hold the allocator's lock.
void child(const run_opts &o, char *const *argv, char *const *envp, const std::vector<int> &keep,
           int out, int err, observer &w)
{
	setpgid(0, 0);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	signal(SIGPIPE, SIG_DFL);

	int in = open("/dev/null", O_RDONLY);
	if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
		die(w, step_redirect, "redirecting 0, 1 and 2");
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
			die(w, step_fd_limit, "raising the open-file limit", top,
			    (long)nofile.rlim_max);
	}
	for (auto [target, source] : o.fds)
		if (dup2(source, target) < 0)
			die(w, step_place, "dup2", target);

	// The program inherits nothing but 0, 1, 2 and the chosen targets.
	int from = 3;
	for (int k : keep) {
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
			die(w, step_limit, "setrlimit", resource, (long)value);
	}
	execve(argv[0], argv, envp);
	die(w, step_exec, "execve");
}

}  // namespace

run_result run(const run_opts &o)
{
	run_result r;
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

	int out[2], err[2];  // [0] read here, [1] the child's
	if (o.tty ? !open_pty(&out[0], &out[1]) : pipe2(out, O_CLOEXEC) != 0) {
		r.setup =
		        std::string(o.tty ? "no pseudo-terminal: " : "no pipe: ") + strerror(errno);
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

	auto t0 = clk::now();
	r.pid = fork();
	if (r.pid == 0)
		child(o, argv.data(), envp.data(), keep, out[1], o.err_to_out ? out[1] : err[1],
		      obs);
	close(out[1]);
	close(err[1]);
	if (r.pid < 0) {
		r.setup = std::string("fork failed: ") + strerror(errno);
		close(out[0]);
		close(err[0]);
		observe_end(obs, o, r);
		return r;
	}
	observe_started(obs, r);
	int pidfd = (int)syscall(SYS_pidfd_open, r.pid, 0);

	// Read both streams until every writer is gone (grandchildren
	// included) and the child has ended, or until the timeout.
	bool open_out = true, open_err = true, alive = true;
	int status = 0;
	char chunk[4096];
	while (open_out || open_err || alive) {
		int left = (int)((o.timeout - since(t0)) * 1000);
		if (left <= 0) {
			r.timed_out = true;
			kill(-r.pid, SIGKILL);
			kill(r.pid, SIGKILL);
			if (alive)
				waitpid(r.pid, &status, 0);
			alive = false;
			break;
		}
		pollfd p[4] = {{open_out ? out[0] : -1, POLLIN, 0},
		               {open_err ? err[0] : -1, POLLIN, 0},
		               {alive ? pidfd : -1, POLLIN, 0},
		               {obs.listener, POLLIN, 0}};
		if (poll(p, 4, std::min(left, 100)) < 0 && errno != EINTR)
			break;
		if (p[3].revents)
			observe_serve(obs, r, p[3].revents);
		if (p[0].revents) {
			ssize_t k = read(out[0], chunk, sizeof chunk);
			if (k > 0) {
				r.out_times.emplace_back(r.out.size(), since(t0));
				r.out.append(chunk, k);
			} else {
				open_out = false;  // EOF, or EIO once a terminal has no writer left
			}
		}
		if (p[1].revents) {
			ssize_t k = read(err[0], chunk, sizeof chunk);
			if (k > 0)
				r.err.append(chunk, k);
			else
				open_err = false;
		}
		if (alive && (pidfd < 0 || p[2].revents)) {
			pid_t w = waitpid(r.pid, &status, pidfd < 0 ? WNOHANG : 0);
			if (w == r.pid) {
				alive = false;
				r.seconds = since(t0);
			}
		}
	}
	if (r.timed_out)
		r.seconds = since(t0);
	else if (WIFEXITED(status))
		r.exited = true, r.code = WEXITSTATUS(status);
	else if (WIFSIGNALED(status))
		r.signal = WTERMSIG(status);
	close(out[0]);
	close(err[0]);
	if (pidfd >= 0)
		close(pidfd);
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
	if (r.signal)
		return "signal " + std::to_string(r.signal);
	if (r.exited)
		return "exit " + std::to_string(r.code);
	return "not started";
}
