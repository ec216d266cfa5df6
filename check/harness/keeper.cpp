#include "check/harness/keeper.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

std::mutex keepers_lock;
std::vector<pid_t> keepers;  // forked and not yet reaped

// The keeper has one thread, so its children are all in one list.
void kill_children(pid_t child)
{
	kill(-child, SIGKILL);  // the child's group, even where /proc is missing
	each_child("/proc/thread-self/children", [](pid_t p) { kill(p, SIGKILL); });
}

// Reaps what has ended, telling run() of each: everything once ending,
// ending and counting what is left. Exits once nothing is left.
void reap_ended(int notes, pid_t child, bool ending, int &left)
{
	for (;;) {
		if (ending)
			kill_children(child);
		int status;
		pid_t w = waitpid(-1, &status, ending ? 0 : WNOHANG);
		if (w == child)
			tell(notes, note_ended, status, 0, now_ns());
		else if (w > 0)
			tell(notes, note_reaped, w, status, now_ns());
		if (w > 0 && w != child && ending && WIFSIGNALED(status) &&
		    WTERMSIG(status) == SIGKILL)
			left++;
		if (w < 0 && errno == ECHILD) {
			tell(notes, note_done, left, 0, now_ns());
			_exit(0);
		}
		if (w <= 0 && !ending)
			return;
	}
}

// Waits for signals, all blocked: SIGCHLD to reap, SIGTERM from run() (or
// from the kernel once run() is gone) to end it all; any other sender's
// signal is told to run().
[[noreturn]] void look_after(int notes, pid_t runner, pid_t child)
{
	sigset_t all;
	sigfillset(&all);
	bool ending = false;
	int left = 0;
	for (;;) {
		siginfo_t si;
		int sig = sigwaitinfo(&all, &si);
		// A SIGPIPE of our own: a note met the notes closed, so run() is
		// done with us. (Told on, it would raise the next one, for ever
		// ahead of any SIGTERM.)
		bool unheard = sig == SIGPIPE && si.si_code == SI_USER && si.si_pid == getpid();
		if (unheard || (sig == SIGTERM && (si.si_pid == runner || getppid() != runner)))
			ending = true;
		else if (sig > 0 && sig != SIGCHLD && si.si_pid != runner)
			tell(notes, note_signal, sig, si.si_pid, now_ns());
		reap_ended(notes, child, ending, left);
	}
}

// Waits for a child that was sent SIGKILL, at most about a second: one
// stuck in the kernel must not hold up the caller for ever.
void reap(pid_t p)
{
	int fd = (int)syscall(SYS_pidfd_open, p, 0);
	if (fd >= 0) {
		pollfd w = {fd, POLLIN, 0};
		poll(&w, 1, 1000);
		close(fd);
		waitpid(p, nullptr, WNOHANG);
		return;
	}
	for (int i = 0; i < 100 && waitpid(p, nullptr, WNOHANG) == 0; i++)
		usleep(10000);
}

}  // namespace

long long now_ns()
{
	timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void tell(int fd, int kind, int a, int b, long long ns)
{
	note n = {kind, a, b, 0, ns};
	(void)!write(fd, &n, sizeof n);
}

pid_t fork_keeper()
{
	// Blocked from the start: one of our handlers must never run in it.
	sigset_t all, old;
	sigfillset(&all);
	pthread_sigmask(SIG_SETMASK, &all, &old);
	std::lock_guard<std::mutex> hold(keepers_lock);
	pid_t pid = fork();
	if (pid > 0)
		keepers.push_back(pid);
	if (pid != 0)
		pthread_sigmask(SIG_SETMASK, &old, nullptr);
	return pid;
}

void forget_keeper(pid_t pid)
{
	std::lock_guard<std::mutex> hold(keepers_lock);
	auto at = std::find(keepers.begin(), keepers.end(), pid);
	if (at != keepers.end())
		keepers.erase(at);
}

void keep(int notes, pid_t runner, void (*start)(void *), void *arg)
{
	prctl(PR_SET_CHILD_SUBREAPER, 1);
	// Should run() go without a word, even by SIGKILL, we end it all too.
	// (The signal comes when the forking thread ends, and run() waits
	// for us before it returns.)
	prctl(PR_SET_PDEATHSIG, SIGTERM);
	if (getppid() != runner)
		_exit(1);
	setpgid(0, 0);  // out of the terminal's job control, as is the child
	struct sigaction dfl = {};
	dfl.sa_handler = SIG_DFL;
	sigaction(SIGCHLD, &dfl, nullptr);  // an ignored SIGCHLD would reap for us

	long long t0 = now_ns();
	pid_t child = fork();
	if (child == 0)
		start(arg);
	if (child < 0) {
		tell(notes, note_failed, errno, 0, 0);
		_exit(1);
	}
	tell(notes, note_started, child, 0, t0);
	// Nothing of the child's streams may stay open here.
	syscall(SYS_close_range, 0, notes - 1, 0);
	syscall(SYS_close_range, notes + 1, ~0U, 0);

	look_after(notes, runner, child);
}

int sweep_strays()
{
	int ended = 0;
	// A stray that outlives SIGKILL (stuck in the kernel) must not loop us.
	for (int pass = 0; pass < 20; pass++) {
		std::vector<pid_t> strays;
		{
			std::lock_guard<std::mutex> hold(keepers_lock);
			DIR *d = opendir("/proc/self/task");
			if (!d)
				return ended;
			while (dirent *e = readdir(d)) {
				if (e->d_name[0] == '.')
					continue;
				std::string path =
				        std::string("/proc/self/task/") + e->d_name + "/children";
				each_child(path.c_str(), [&](pid_t p) {
					if (std::find(keepers.begin(), keepers.end(), p) ==
					    keepers.end())
						strays.push_back(p);
				});
			}
			closedir(d);
			for (pid_t p : strays)
				kill(p, SIGKILL);
		}
		for (pid_t p : strays)
			reap(p);
		ended += (int)strays.size();
		if (strays.empty())
			break;
	}
	return ended;
}
