// The keeper: a small process of its own between run() and each child it
// starts. It is a child subreaper, so whatever the child leaves behind,
// whichever session or process group it moved to, ends up as the keeper's
// child; it times the child's end, and when told to, it ends and reaps
// every descendant that is left, then exits. Several run() calls at once
// (one per thread) each have their own keeper, so what is left is always
// charged to the right child.
#ifndef CHECK_HARNESS_KEEPER_H
#define CHECK_HARNESS_KEEPER_H

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

// What the keeper and the child tell run(). Each is one write of less than
// PIPE_BUF bytes, so it arrives whole.
struct note {
	int kind;
	int a, b;
	int unused;
	long long ns;  // CLOCK_MONOTONIC
};

enum {
	note_started,  // a: the child's pid; ns: just before the fork
	note_failed,   // a: errno of the keeper's fork of the child; nothing was run
	note_ended,    // a: the child's wait status; ns: when it ended
	note_signal,   // a: a signal that someone other than run() sent the keeper, b: the sender
	note_reaped,   // a: another descendant's pid, b: its wait status
	note_done,     // a: processes left behind that the keeper had to kill; it exits next
};

long long now_ns();
void tell(int fd, int kind, int a, int b, long long ns);

// Forks a keeper, with every signal blocked in it, and records its pid so
// that sweep_strays() leaves it alone until forget_keeper().
pid_t fork_keeper();
void forget_keeper(pid_t pid);

// The keeper's life: forks the child, which calls start(arg) and must not
// return, and looks after it as above. SIGTERM from runner ends it all.
[[noreturn]] void keep(int notes, pid_t runner, void (*start)(void *), void *arg);

// Ends and reaps the children of this process that are not keepers: what
// a killed keeper left behind, handed to this process when it is a
// subreaper. Returns how many it ended.
int sweep_strays();

// Calls f with every pid in a /proc children file ("12 345 "). Only
// system calls: the keeper runs this, a fork of a threaded process.
template <typename F> void each_child(const char *path, F f)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return;
	char buf[4096];
	pid_t pid = 0;
	for (ssize_t k; (k = read(fd, buf, sizeof buf)) > 0;)
		for (ssize_t i = 0; i < k; i++)
			if (buf[i] >= '0' && buf[i] <= '9') {
				pid = pid * 10 + (buf[i] - '0');
			} else if (pid > 0) {
				f(pid);
				pid = 0;
			}
	if (pid > 0)
		f(pid);
	close(fd);
}

#endif
