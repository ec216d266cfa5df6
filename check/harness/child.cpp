#include "check/harness/child.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// Tells run() which step failed and why, to report as a setup failure
// rather than as the program's own exit.
[[noreturn]] void die(observer &w, child_step step, long a = 0, long b = 0)
{
	send_failure(w.link, step, errno, a, b);
	_exit(127);
}

// In the child: the chosen descriptors in place, with room for the
// highest target: the hard limit too where we may raise it
// (CAP_SYS_RESOURCE), as far as the kernel allows.
void place_fds(const run_opts &o, observer &w)
{
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
}

}  // namespace

[[noreturn]] void exec_child(void *arg)
{
	const child_start &c = *static_cast<const child_start *>(arg);
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

	place_fds(o, w);

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
