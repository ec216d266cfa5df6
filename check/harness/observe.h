// Seeing which process is the probe, whatever starts it.
//
// The child installs a seccomp filter that stops getpid, exit_group,
// execve and (when asked) read on one descriptor with
// SECCOMP_RET_USER_NOTIF, then execs. Every descendant inherits the
// filter, so each such call of any of them reaches the parent while the
// caller waits. A caller that maps the probe's file is the probe's process
// (under an emulator or a loader too); its pid is the last field of
// NStgid in its /proc status.
#ifndef CHECK_HARNESS_OBSERVE_H
#define CHECK_HARNESS_OBSERVE_H

#include "check/harness/channel.h"
#include "check/harness/proc.h"

#include <linux/filter.h>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <utility>
#include <vector>

// What run() is to look for.
struct observe_opts {
	std::string probe;  // the probe's file; empty: observe nothing
	int fd = -1;        // a descriptor the probe should get: is it open at its read?
};

// What was seen.
struct observed {
	bool asked = false;     // observe_opts.probe was given
	bool watching = false;  // the filter was in place
	std::string why_not;    // why the probe's pid is not known (pid < 0)
	bool ran = false;       // a process that maps the probe's file was seen
	pid_t pid = -1;         // the probe's pid in its own namespace
	int fd_open = -1;       // the descriptor in the probe: 1 open, 0 closed, -1 not seen
	unsigned calls = 0;     // notifications served
	// What the probe's descriptors 0, 1, 2 and 9001 were at its first call
	// seen, and at its exit_group: "terminal", "pipe", "file", "socket",
	// "device", "other" or "closed".
	std::vector<std::pair<int, std::string>> fds_first, fds_exit;
	// Its children at its getpid: {pid in its namespace, wait status once
	// known, else -1}.
	std::vector<std::pair<pid_t, int>> children;
	pid_t forked = -1;  // its child that ran the probe's file too, by its pid there
	long cpu = -1;      // its utime + stime at its exit_group, in ticks of hz
	long hz = 0;
	// Its pipe descriptors at its exit_group, as pipe_ends() tells them.
	std::vector<std::pair<int, std::string>> pipes;

	friend bool operator==(const observed &, const observed &) = default;
};

// The link to the child; the filter, built before fork so the child only
// installs it; what the callers of its notifications were seen to be.
struct observer {
	channel link;
	int listener = -1;  // the filter's notifications, in the parent
	int fd = -1;        // observe_opts.fd
	bool install = false;
	bool no_new_privs = false;  // needed without CAP_SYS_ADMIN
	rlim_t nr_open = 0;         // the kernel's bound on descriptors
	sock_filter filter[11] = {};
	std::string needle;          // " MAJ:MIN INODE " as /proc/PID/maps shows the probe's file
	std::string why_not;         // why the filter is not in place
	std::vector<pid_t> threads;  // callers seen to map the probe's file
	struct process {
		pid_t here = -1, own = -1;  // its pid in our namespace and in its own
		std::size_t depth = 0;      // how deep that namespace is: NStgid's fields
		bool getpid = false;        // it asked for its pid
		std::vector<std::pair<int, std::string>> first, exit;  // its descriptors
		std::vector<offspring> children;                       // at its getpid
		std::vector<pid_t> kids;  // its children at its exit_group, in our namespace
		long cpu = -1;            // utime + stime at its exit_group
		std::vector<std::pair<int, std::string>> pipes;  // at its exit_group
	};
	std::vector<process> probes;
	std::string name;  // the probe's file name
	// Callers that exec'd a file of that name, and the program each ran then.
	std::vector<std::pair<pid_t, std::string>> execs;
	bool exec_failed = false;  // one of them ended without becoming the probe
	bool exec_ran = false;     // one ended running another program: the exec worked
	bool hosted = false;       // a caller mapped the probe's file, though not as its own image
	int fd_at_read = -1, fd_later = -1;  // observed.fd_open at the read, and else
	child_note failure;                  // a step that failed, when failed
	bool failed = false;
	std::string setup;    // why the child could not be set up
	std::string program;  // what the child execs: the launcher, or the probe itself
	bool direct = false;  // the probe itself
	observed seen;
};

// What the observer learned, for run() to judge.
struct sighting {
	observed seen;
	std::string setup;         // why the child could not be set up; empty when it was
	bool before_exec = false;  // the child failed before exec: its status is not the program's
	bool exec_failed = false;  // a caller exec'd the probe's file and ended without becoming it
	bool exec_ran = false;     // one ended running another program: that exec worked
	// Watched, and no sign of the probe: no exec of its file, no process
	// that mapped it.
	bool no_sign = false;
};

// Whether this process has the capability in its effective set.
bool capable(int cap);

// Before fork: the link, and the filter when the probe is to be observed.
// program is what the child will exec; fds are the {target, source} pairs
// it will place. False with w.setup set when not even the link could be
// made.
bool observe_prepare(observer &w, const observe_opts &o, const std::string &program,
                     const std::vector<std::pair<int, int>> &fds);

// In the child, async-signal-safe: installs the filter and hands its
// listener to the parent, or tells the parent why not.
void observe_child(observer &w);

// In the parent after fork: waits for the child's first word.
void observe_started(observer &w);

// In the parent, when the listener is readable: serves one notification.
// False when the listener is done with.
bool observe_serve(observer &w, short revents);

// In the parent after the child ended, or when it could not be started:
// what was seen, and why the child could not be set up. child is the pid
// of the process forked (-1 when none), the probe's own when the probe is
// what it execs.
sighting observe_end(observer &w, pid_t child);

#endif
