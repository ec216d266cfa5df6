// What the runner puts right about the way it was started, before it opens
// anything of its own: whatever a parent left it, every probe must start
// the same way.
#include "suite/run/start.h"
#include "check/harness/file.h"
#include "check/harness/observe.h"
#include "suite/judge/outcome.h"

#include <linux/capability.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

std::string amount(rlim_t v, const char *unit)
{
	if (*unit == 'B') {  // bytes, in the largest whole binary unit
		const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
		int u = 0;
		while (u < 4 && v >= 1024 && v % 1024 == 0)
			v /= 1024, u++;
		return std::to_string(v) + " " + units[u];
	}
	return std::to_string(v) + unit;
}

// The process limit the kernel gives init, and so every user who was not
// given another: half its bound on threads.
rlim_t default_nproc()
{
	std::string text;
	return read_file("/proc/sys/kernel/threads-max", text)
	               ? strtoull(text.c_str(), nullptr, 10) / 2
	               : RLIM_INFINITY;
}

// The limits it inherited that a probe could run into: they pass on to
// every probe, so the report names them.
std::string inherited_limits()
{
	std::string limits;
	struct {
		int resource;
		const char *name, *unit;
	} finite[] = {
	        {RLIMIT_CPU, "CPU time", " s"},     {RLIMIT_AS, "address space", "B"},
	        {RLIMIT_DATA, "data segment", "B"}, {RLIMIT_FSIZE, "file size", "B"},
	        {RLIMIT_NPROC, "processes", ""},
	};
	for (const auto &f : finite) {
		rlimit l;
		if (getrlimit(f.resource, &l) != 0 || l.rlim_cur == RLIM_INFINITY)
			continue;
		if (f.resource == RLIMIT_NPROC && (geteuid() == 0 || l.rlim_cur >= default_nproc()))
			continue;  // not enforced for root; the kernel's own for a user
		limits += (limits.empty() ? "" : ", ") + std::string(f.name) + " " +
		          amount(l.rlim_cur, f.unit);
	}
	rlimit files;
	if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_max <= 9001 &&
	    !capable(CAP_SYS_RESOURCE))  // else the runner raises it for the probe
		limits += (limits.empty() ? "" : ", ") + std::string("open files ") +
		          amount(files.rlim_max, "") + " (too few for descriptor 9001)";
	return limits;
}

}  // namespace

start settle_start()
{
	start st;
	// Our own pipes must not land on 0, 1 or 2, where a probe would take
	// them for its own standard streams.
	for (int fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
			if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
				_exit(status_output);
			st.stdout_closed |= fd == 1;
		}
	// An ignored SIGCHLD would have the kernel reap the children for us.
	struct sigaction act = {};
	act.sa_handler = SIG_DFL;
	sigaction(SIGCHLD, &act, nullptr);
	// A stdout whose reader went away is an error to report, not a death.
	act.sa_handler = SIG_IGN;
	sigaction(SIGPIPE, &act, nullptr);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	// What a probe's keeper leaves when it is killed comes to us.
	prctl(PR_SET_CHILD_SUBREAPER, 1);
	st.limits = inherited_limits();
	return st;
}
