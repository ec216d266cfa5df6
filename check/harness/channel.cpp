#include "check/harness/channel.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

bool channel_open(channel &c, const std::vector<std::pair<int, int>> &fds, std::string &why)
{
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
		why = std::string("no socket pair: ") + strerror(errno);
		return false;
	}
	c.parent = sv[0];
	c.child = sv[1];
	// The child keeps its end open until exec: it must not be one of the
	// descriptors the child places, nor 0, 1 or 2 (when ours were closed).
	auto taken = [&](int fd) {
		return fd < 3 || std::any_of(fds.begin(), fds.end(),
		                             [&](const auto &f) { return f.first == fd; });
	};
	for (int from = std::max(c.child + 1, 3); taken(c.child); from++) {
		int moved = fcntl(c.child, F_DUPFD_CLOEXEC, from);
		if (moved < 0)
			break;  // then dup2 replaces it, and the child's later words are lost
		close(c.child);
		c.child = moved;
	}
	return true;
}

void send_note(const channel &l, const child_note &n, int fd)
{
	iovec io = {const_cast<child_note *>(&n), sizeof n};
	alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))] = {};
	msghdr m = {};
	m.msg_iov = &io;
	m.msg_iovlen = 1;
	if (fd >= 0) {
		m.msg_control = room;
		m.msg_controllen = sizeof room;
		cmsghdr *c = CMSG_FIRSTHDR(&m);
		c->cmsg_level = SOL_SOCKET;
		c->cmsg_type = SCM_RIGHTS;
		c->cmsg_len = CMSG_LEN(sizeof(int));
		memcpy(CMSG_DATA(c), &fd, sizeof fd);
	}
	if (sendmsg(l.child, &m, MSG_NOSIGNAL) != (ssize_t)sizeof n && fd >= 0) {
		// The filter without anyone to answer it would fail getpid. With
		// its listener closed, exit_group fails too and _exit falls back
		// on exit, which the filter lets go.
		close(fd);
		_exit(127);
	}
}

ssize_t recv_note(const channel &l, child_note &n, int *fd, int flags)
{
	iovec io = {&n, sizeof n};
	alignas(cmsghdr) char room[CMSG_SPACE(sizeof(int))] = {};
	msghdr m = {};
	m.msg_iov = &io;
	m.msg_iovlen = 1;
	m.msg_control = room;
	m.msg_controllen = sizeof room;
	ssize_t k;
	do
		k = recvmsg(l.parent, &m, MSG_CMSG_CLOEXEC | flags);
	while (k < 0 && errno == EINTR);
	cmsghdr *c = k > 0 ? CMSG_FIRSTHDR(&m) : nullptr;
	if (c && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
		memcpy(fd, CMSG_DATA(c), sizeof *fd);
	if (k > 0 && (m.msg_flags & MSG_CTRUNC))
		n.err = -EMFILE;  // the listener did not fit
	return k == (ssize_t)sizeof n ? k : k <= 0 ? k : -1;
}

void send_failure(const channel &c, child_step step, int err, long a, long b)
{
	send_note(c, {step, err, a, b}, -1);
}

static const char *limit_name(long resource)
{
	static const char *const names[] = {
	        "RLIMIT_CPU",      "RLIMIT_FSIZE", "RLIMIT_DATA",   "RLIMIT_STACK",
	        "RLIMIT_CORE",     "RLIMIT_RSS",   "RLIMIT_NPROC",  "RLIMIT_NOFILE",
	        "RLIMIT_MEMLOCK",  "RLIMIT_AS",    "RLIMIT_LOCKS",  "RLIMIT_SIGPENDING",
	        "RLIMIT_MSGQUEUE", "RLIMIT_NICE",  "RLIMIT_RTPRIO", "RLIMIT_RTTIME"};
	return resource >= 0 && resource < (long)(sizeof names / sizeof *names) ? names[resource]
	                                                                        : "a resource";
}

std::string step_failed(const child_note &n, const std::string &program)
{
	std::string why = strerror(n.err);
	switch (n.step) {
	case step_redirect:
		return "could not redirect descriptors 0, 1 and 2: " + why;
	case step_fd_limit:
		return "the open-file limit is " + std::to_string(n.b) + "; descriptor " +
		       std::to_string(n.a) + " needs more";
	case step_place:
		return "could not place descriptor " + std::to_string(n.a) + ": " + why;
	case step_limit:
		return std::string("could not set the limit ") + limit_name(n.a) + " to " +
		       std::to_string(n.b) + ": " + why;
	case step_exec:
		return "could not start " + program + ": " + why;
	}
	return "the child failed before exec";
}

void channel_close(channel &c)
{
	for (int *fd : {&c.parent, &c.child})
		if (*fd >= 0) {
			close(*fd);
			*fd = -1;
		}
}
