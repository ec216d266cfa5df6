#include "check/harness/observe.h"
#include "check/harness/file.h"
#include "check/harness/keeper.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace
{

const int first = -1;

void send_note(const observer &w, const child_note &n, int fd)
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
	if (sendmsg(w.child, &m, MSG_NOSIGNAL) != (ssize_t)sizeof n && fd >= 0) {
		// The filter without anyone to answer it would fail getpid. With
		// its listener closed, exit_group fails too and _exit falls back
		// on exit, which the filter lets go.
		close(fd);
		_exit(127);
	}
}

// Reads a note; the listener, when one came with it, into *fd. 0 at the
// end, -1 on an error or when nothing is there yet.
ssize_t recv_note(const observer &w, child_note &n, int *fd, int flags)
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
		k = recvmsg(w.parent, &m, MSG_CMSG_CLOEXEC | flags);
	while (k < 0 && errno == EINTR);
	cmsghdr *c = k > 0 ? CMSG_FIRSTHDR(&m) : nullptr;
	if (c && c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
		memcpy(fd, CMSG_DATA(c), sizeof *fd);
	if (k > 0 && (m.msg_flags & MSG_CTRUNC))
		n.err = -EMFILE;  // the listener did not fit
	return k == (ssize_t)sizeof n ? k : k <= 0 ? k : -1;
}

// The file's text; empty when it cannot be read (a process gone meanwhile).
std::string slurp(const std::string &path)
{
	std::string s;
	read_file(path, s);
	return s;
}

// The numbers of one "Name:" line of a /proc status, in order.
std::vector<long> status_field(const std::string &status, const char *name)
{
	std::vector<long> v;
	std::size_t at = status.find(std::string("\n") + name);
	if (at == std::string::npos)
		return v;
	at += strlen(name) + 1;
	std::size_t end = status.find('\n', at);
	std::string line = status.substr(at, end - at);
	char *p = line.data();
	for (;;) {
		char *next;
		long x = strtol(p, &next, 10);
		if (next == p)
			break;
		v.push_back(x);
		p = next;
	}
	return v;
}

// " MAJ:MIN INODE " as the kernel shows the file in /proc/PID/maps: read
// from our own maps with the file mapped, so it holds on any file system
// (overlays show the file underneath). From stat() when that fails.
std::string maps_key(const std::string &path)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	struct stat st;
	if (fd < 0 || fstat(fd, &st) != 0) {
		if (fd >= 0)
			close(fd);
		return "";
	}
	char key[64];
	snprintf(key, sizeof key, " %02x:%02x %lu ", major(st.st_dev), minor(st.st_dev),
	         (unsigned long)st.st_ino);
	void *p = mmap(nullptr, 1, PROT_READ, MAP_PRIVATE, fd, 0);
	close(fd);
	if (p == MAP_FAILED)
		return key;
	char start[32];
	snprintf(start, sizeof start, "%08lx-", (unsigned long)p);
	std::string maps = slurp("/proc/self/maps");
	munmap(p, 1);
	std::size_t at = maps.starts_with(start) ? 0 : maps.find(std::string("\n") + start);
	if (at == std::string::npos)
		return key;
	// start-end perms offset dev inode
	std::size_t f = at, eol = maps.find('\n', at + 1);
	for (int i = 0; i < 3 && f != std::string::npos; i++)
		f = maps.find(' ', f + 1);
	std::size_t ino_end =
	        f == std::string::npos ? f : maps.find(' ', maps.find(' ', f + 1) + 1);
	if (ino_end == std::string::npos || ino_end > eol)
		return key;
	return maps.substr(f, ino_end + 1 - f);
}

// The string at addr in pid's memory; empty when it cannot be read.
std::string read_string(pid_t pid, unsigned long addr)
{
	std::string s;
	char buf[256];
	while (s.size() < 4096) {
		// Never across a page: the next one may not be mapped.
		std::size_t room = sizeof buf - addr % sizeof buf;
		// An address in the other process's memory, never dereferenced here.
		iovec here = {buf, room},
		      there = {(void *)addr, room};  // NOLINT(performance-no-int-to-ptr)
		ssize_t k = process_vm_readv(pid, &here, 1, &there, 1, 0);
		if (k <= 0)
			break;
		if (const char *end = (const char *)memchr(buf, 0, k))
			return s.append(buf, end - buf);
		s.append(buf, k);
		addr += k;
	}
	return "";
}

// Whether exec of path raises privileges, which no_new_privs forbids.
bool privileged(const std::string &path)
{
	struct stat st;
	if (stat(path.c_str(), &st) == 0 && (st.st_mode & (S_ISUID | S_ISGID)))
		return true;
	return getxattr(path.c_str(), "security.capability", nullptr, 0) >= 0;
}

void build_filter(observer &w, int fd)
{
	// Stops getpid, exit_group, execve and read(fd) of x86-64 callers for
	// the parent; lets every other call go.
	const unsigned nr = offsetof(seccomp_data, nr), arch = offsetof(seccomp_data, arch),
	               arg0 = offsetof(seccomp_data,
	                               args[0]);  // its low half: x86-64 is little-endian
	const unsigned read_nr = fd >= 0 ? __NR_read : ~0U;  // ~0: no call has that number
	sock_filter f[] = {
	        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arch),
	        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 7),
	        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, nr),
	        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getpid, 6, 0),
	        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_exit_group, 5, 0),
	        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_execve, 4, 0),
	        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, read_nr, 0, 2),
	        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg0),
	        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (unsigned)fd, 1, 0),
	        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
	};
	static_assert(sizeof f == sizeof w.filter);
	memcpy(w.filter, f, sizeof f);
}

const char *limit_name(long resource)
{
	static const char *const names[] = {
	        "RLIMIT_CPU",      "RLIMIT_FSIZE", "RLIMIT_DATA",   "RLIMIT_STACK",
	        "RLIMIT_CORE",     "RLIMIT_RSS",   "RLIMIT_NPROC",  "RLIMIT_NOFILE",
	        "RLIMIT_MEMLOCK",  "RLIMIT_AS",    "RLIMIT_LOCKS",  "RLIMIT_SIGPENDING",
	        "RLIMIT_MSGQUEUE", "RLIMIT_NICE",  "RLIMIT_RTPRIO", "RLIMIT_RTTIME"};
	return resource >= 0 && resource < (long)(sizeof names / sizeof *names) ? names[resource]
	                                                                        : "a resource";
}

std::string failed(const child_note &n, const std::string &program)
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

// The program a process runs, as its device and inode.
std::string program(const std::string &dir)
{
	struct stat st;
	if (stat((dir + "/exe").c_str(), &st) != 0)
		return "";
	return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

enum mapped { not_mapped, mapped_shared, mapped_private };

// How maps, a /proc/PID/maps, holds the file needle names. Privately: a
// copy of the probe's image of the process's own, as the kernel's exec, a
// loader or an emulator makes it. A sandbox's kernel that serves the
// file's pages to its guests (gVisor's Sentry) maps it shared only, and
// runs none of the probe's code for the probe itself.
mapped mapping(const std::string &maps, const std::string &needle)
{
	mapped m = not_mapped;
	for (std::size_t at = maps.find(needle); at != std::string::npos;
	     at = maps.find(needle, at + 1)) {
		std::size_t line = maps.rfind('\n', at);
		std::size_t perms = maps.find(' ', line == std::string::npos ? 0 : line + 1);
		if (perms != std::string::npos && perms + 4 < at && maps[perms + 4] == 'p')
			return mapped_private;
		m = mapped_shared;
	}
	return m;
}

// What descriptors 0, 1, 2 and 9001 of the process dir names are.
std::vector<std::pair<int, std::string>> descriptors(const std::string &dir)
{
	std::vector<std::pair<int, std::string>> v;
	for (int fd : observed_fds)
		v.emplace_back(fd, fd_kind(dir, fd));
	return v;
}

// The fields of a /proc/PID/stat after the command's closing parenthesis,
// the state first (field 3); empty when it cannot be read.
std::vector<std::string> stat_fields(const std::string &dir)
{
	std::string stat = slurp(dir + "/stat");
	std::vector<std::string> f;
	std::size_t at = stat.rfind(')');
	if (at == std::string::npos)
		return f;
	for (at = stat.find_first_not_of(' ', at + 1); at != std::string::npos;) {
		std::size_t end = stat.find_first_of(" \n", at);
		f.push_back(stat.substr(at, end - at));
		at = end == std::string::npos ? end : stat.find_first_not_of(" \n", end);
	}
	return f;
}

// The pids, in our namespace, of the children of every thread of process
// pid: zombies too.
std::vector<pid_t> children_of(pid_t pid)
{
	std::vector<pid_t> v;
	std::string task = "/proc/" + std::to_string(pid) + "/task";
	DIR *d = opendir(task.c_str());
	if (!d)
		return v;
	while (dirent *e = readdir(d)) {
		if (e->d_name[0] == '.')
			continue;
		std::string list = task + "/" + e->d_name + "/children";
		each_child(list.c_str(), [&](pid_t c) { v.push_back(c); });
	}
	closedir(d);
	return v;
}

// Each child of a process whose namespace is depth deep that wait() can
// report: its pid there, and its wait status when it has already ended.
// (A child that signals its end otherwise than with SIGCHLD, field 38 of
// its stat, is no child to wait(): a sanitizer's helper task, say.)
std::vector<observer::offspring> children_at(pid_t pid, std::size_t depth)
{
	std::vector<observer::offspring> v;
	for (pid_t here : children_of(pid)) {
		std::string dir = "/proc/" + std::to_string(here);
		std::vector<long> ns = status_field(slurp(dir + "/status"), "NStgid:");
		if (ns.size() < depth || depth == 0)
			continue;
		std::vector<std::string> f = stat_fields(dir);
		if (f.size() > 35 && atoi(f[35].c_str()) != SIGCHLD)
			continue;
		// Field 52, its exit code as wait() reports it, once a zombie.
		int status = f.size() > 49 && f[0] == "Z" ? atoi(f[49].c_str()) : -1;
		v.push_back({here, (pid_t)ns[depth - 1], status});
	}
	return v;
}

// The processor time the kernel accounted to the process, utime + stime
// in clock ticks; -1 when it cannot be read.
long cpu_ticks(const std::string &dir)
{
	std::vector<std::string> f = stat_fields(dir);
	return f.size() > 12 ? atol(f[11].c_str()) + atol(f[12].c_str()) : -1;
}

// A caller's exit_group: the status of a child some probe process waits
// for.
void exiting(observer &w, pid_t tid, unsigned long code)
{
	for (observer::process &p : w.probes)
		for (observer::offspring &c : p.children)
			if (c.here == tid && c.status < 0)
				c.status = (int)(code & 0xff) << 8;
}

// Looks at the caller of one notification while it waits.
void look(observer &w, const seccomp_notif &req)
{
	pid_t tid = (pid_t)req.pid;
	std::string dir = "/proc/" + std::to_string(tid);
	bool known = std::find(w.threads.begin(), w.threads.end(), tid) != w.threads.end();
	if (req.data.nr == __NR_execve) {
		// An exec of the probe: when the same caller ends still running
		// the program it ran then, that exec failed. (One that succeeded
		// may run another than the probe's file: the interpreter of a
		// script.)
		std::string path = read_string(tid, req.data.args[0]);
		std::size_t slash = path.rfind('/');
		if (path.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos,
		                 w.name) == 0 &&
		    ioctl(w.listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &req.id) == 0)
			w.execs.emplace_back(tid, program(dir));
		return;
	}
	if (req.data.nr == __NR_exit_group)
		exiting(w, tid, req.data.args[0]);
	mapped m = known || w.needle.empty() ? not_mapped : mapping(slurp(dir + "/maps"), w.needle);
	if (!known && m != mapped_private) {
		w.hosted |= m == mapped_shared;
		auto exec = std::find_if(w.execs.begin(), w.execs.end(),
		                         [&](const auto &e) { return e.first == tid; });
		if (req.data.nr == __NR_exit_group && exec != w.execs.end()) {
			if (exec->second == program(dir))
				w.exec_failed = true;
			else
				w.exec_ran = true;  // a script's interpreter, say
		}
		return;
	}
	std::string status = slurp(dir + "/status");
	std::vector<long> tgid = status_field(status, "Tgid:"),
	                  ns = status_field(status, "NStgid:");
	int fd_open = -1;
	if (w.fd >= 0) {
		struct stat st;
		std::string link = dir + "/fd/" + std::to_string(w.fd);
		if (lstat(link.c_str(), &st) == 0)
			fd_open = 1;
		else if (errno == ENOENT)
			fd_open = 0;
	}
	if (tgid.empty() || ns.empty())
		return;
	auto p = std::find_if(w.probes.begin(), w.probes.end(),
	                      [&](const observer::process &x) { return x.here == tgid[0]; });
	// Its descriptors at its first call and at its end; its children
	// before it may wait for them, and as it ends; its processor time.
	bool getpid = req.data.nr == __NR_getpid, end = req.data.nr == __NR_exit_group;
	std::vector<std::pair<int, std::string>> fds;
	if (p == w.probes.end() || end)
		fds = descriptors(dir);
	std::vector<observer::offspring> children;
	if (getpid)
		children = children_at((pid_t)tgid[0], ns.size());
	std::vector<pid_t> kids;
	long cpu = -1;
	if (end) {
		kids = children_of((pid_t)tgid[0]);
		cpu = cpu_ticks("/proc/" + std::to_string(tgid[0]));
	}
	// The caller may have been killed and its pid reused while we read.
	if (ioctl(w.listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &req.id) != 0)
		return;
	if (!known)
		w.threads.push_back(tid);
	if (p == w.probes.end()) {
		observer::process fresh;
		fresh.here = (pid_t)tgid[0];
		fresh.own = (pid_t)ns.back();
		fresh.depth = ns.size();
		fresh.first = fds;
		p = w.probes.insert(p, fresh);
	}
	p->getpid |= getpid;
	for (const observer::offspring &c : children)
		if (std::none_of(p->children.begin(), p->children.end(),
		                 [&](const observer::offspring &x) { return x.here == c.here; }))
			p->children.push_back(c);
	if (end) {
		p->exit = fds;
		p->kids = kids;
		p->cpu = cpu;
	}
	if (req.data.nr == __NR_read && w.fd_at_read < 0)
		w.fd_at_read = fd_open;
	else if (fd_open >= 0)  // for when its read is not seen: an emulator may not make it
		w.fd_later = fd_open;
}

}  // namespace

std::string fd_kind(const std::string &dir, int fd)
{
	std::string link = dir + "/fd/" + std::to_string(fd);
	struct stat st;
	if (stat(link.c_str(), &st) != 0)
		return errno == ENOENT ? "closed" : "";
	if (S_ISFIFO(st.st_mode))
		return "pipe";
	if (S_ISREG(st.st_mode))
		return "file";
	if (S_ISSOCK(st.st_mode))
		return "socket";
	if (!S_ISCHR(st.st_mode))
		return S_ISBLK(st.st_mode) ? "device" : "other";
	// Pseudo-terminals (136 to 143), virtual consoles and serial lines
	// (4), the controlling terminal and the console (5:0, 5:1); other
	// drivers' by name.
	unsigned maj = major(st.st_rdev), min = minor(st.st_rdev);
	char name[64] = {};
	ssize_t k = readlink(link.c_str(), name, sizeof name - 1);
	std::string target(name, k > 0 ? (std::size_t)k : 0);
	bool tty = (maj >= 136 && maj <= 143) || maj == 4 || (maj == 5 && min < 2) ||
	           target.starts_with("/dev/pts/") || target.starts_with("/dev/tty");
	return tty ? "terminal" : "device";
}

bool capable(int cap)
{
	__user_cap_header_struct h = {_LINUX_CAPABILITY_VERSION_3, 0};
	__user_cap_data_struct d[2] = {};
	if (syscall(SYS_capget, &h, d) != 0)
		return false;
	return d[cap / 32].effective & (1u << (cap % 32));
}

bool observe_prepare(observer &w, const observe_opts &o, const std::string &program,
                     const std::vector<std::pair<int, int>> &fds)
{
	w.program = program;
	int sv[2];
	if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
		w.setup = std::string("no socket pair: ") + strerror(errno);
		return false;
	}
	w.parent = sv[0];
	w.child = sv[1];
	// The child keeps its end open until exec: it must not be one of the
	// descriptors the child places, nor 0, 1 or 2 (when ours were closed).
	auto taken = [&](int fd) {
		return fd < 3 || std::any_of(fds.begin(), fds.end(),
		                             [&](const auto &f) { return f.first == fd; });
	};
	for (int from = std::max(w.child + 1, 3); taken(w.child); from++) {
		int moved = fcntl(w.child, F_DUPFD_CLOEXEC, from);
		if (moved < 0)
			break;  // then dup2 replaces it, and the child's later words are lost
		close(w.child);
		w.child = moved;
	}
	std::string nr = slurp("/proc/sys/fs/nr_open");
	w.nr_open = nr.empty() ? 1048576 : strtoul(nr.c_str(), nullptr, 10);

	w.seen.asked = !o.probe.empty();
	if (!w.seen.asked)
		return true;
	w.fd = o.fd;
	w.needle = maps_key(o.probe);
	w.name = o.probe.substr(o.probe.rfind('/') + 1);
	w.direct = program == o.probe;
	w.no_new_privs = !capable(CAP_SYS_ADMIN);
	if (w.no_new_privs && !w.direct && privileged(program)) {
		w.why_not = "the launcher is setuid or has file capabilities, and the runner "
		            "lacks CAP_SYS_ADMIN: the filter would need no_new_privs, which "
		            "would take the launcher's privileges away";
		return true;
	}
	build_filter(w, o.fd);
	w.install = true;
	return true;
}

void observe_child(observer &w)
{
	child_note n = {first, 0, 0, 0};
	int fd = -1;
	if (!w.install)
		n.err = -1;
	else if (w.no_new_privs && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
		n.err = errno;
	else {
		// SPEC_ALLOW: where the kernel would turn on its speculative store
		// bypass mitigation for filtered tasks, the probe must run as unfiltered.
		// WAIT_KILLABLE_RECV (Linux 5.19): once the runner has received a
		// call, only a fatal signal cuts it short, as with an execve, getpid
		// or exit_group nobody holds. Older kernels refuse the flag.
		sock_fprog p = {(unsigned short)(sizeof w.filter / sizeof *w.filter), w.filter};
		unsigned long flags =
		        SECCOMP_FILTER_FLAG_NEW_LISTENER | SECCOMP_FILTER_FLAG_SPEC_ALLOW;
		fd = (int)syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
		                  flags | SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV, &p);
		if (fd < 0 && errno == EINVAL)
			fd = (int)syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &p);
		if (fd < 0)
			n.err = errno;
	}
	send_note(w, n, fd);
	if (fd >= 0)
		close(fd);
}

void observe_failed(observer &w, child_step step, int err, long a, long b)
{
	send_note(w, {step, err, a, b}, -1);
}

void observe_started(observer &w)
{
	close(w.child);
	w.child = -1;
	child_note n = {};
	int fd = -1;
	ssize_t k = recv_note(w, n, &fd, 0);
	if (k <= 0) {
		w.setup = "the child ended before it could be set up";
		return;
	}
	if (n.step != first) {
		w.failure = n;  // told at the end, with the options
		w.failed = true;
		return;
	}
	if (n.err == -EMFILE) {
		// The probe's getpid would fail without anyone to answer it.
		w.setup = "the runner has no descriptor free for the filter's listener";
		if (fd >= 0)
			close(fd);
		return;
	}
	if (fd >= 0) {
		w.listener = fd;
		w.seen.watching = true;
	} else if (w.install) {
		w.why_not = n.err == EACCES ? "seccomp refused the filter (no_new_privs and "
		                              "CAP_SYS_ADMIN are both missing)"
		                            : std::string("seccomp is not available (") +
		                                      strerror(n.err) + ")";
	}
}

bool observe_serve(observer &w, short revents)
{
	if (!(revents & POLLIN)) {
		// Every process under the filter is gone.
		close(w.listener);
		w.listener = -1;
		return false;
	}
	seccomp_notif req;
	memset(&req, 0, sizeof req);
	if (ioctl(w.listener, SECCOMP_IOCTL_NOTIF_RECV, &req) != 0)
		return true;  // the caller went away (ENOENT), or a signal came
	w.seen.calls++;
	look(w, req);
	seccomp_notif_resp resp;
	memset(&resp, 0, sizeof resp);
	resp.id = req.id;
	resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
	ioctl(w.listener, SECCOMP_IOCTL_NOTIF_SEND, &resp);  // ENOENT: it went away meanwhile
	return true;
}

sighting observe_end(observer &w, pid_t child)
{
	sighting s;
	child_note n = {};
	int fd = -1;
	if (!w.failed && w.setup.empty() && w.parent >= 0 &&
	    recv_note(w, n, &fd, MSG_DONTWAIT) > 0 && n.step != first)
		w.failure = n, w.failed = true;
	if (fd >= 0)
		close(fd);
	if (w.failed)
		w.setup = failed(w.failure, w.program);
	s.before_exec = w.failed;
	for (int fd : {w.listener, w.parent, w.child})
		if (fd >= 0)
			close(fd);
	w.listener = w.parent = w.child = -1;
	s.setup = w.setup;
	s.exec_failed = w.exec_failed;
	s.exec_ran = w.exec_ran;
	s.seen = w.seen;
	if (!s.seen.asked)
		return s;

	s.seen.ran = !w.probes.empty();
	s.seen.fd_open = w.fd_at_read >= 0 ? w.fd_at_read : w.fd_later;
	s.no_sign = s.seen.watching && w.probes.empty() && w.execs.empty() && !w.hosted;
	// The probe's process is the one that asked for its pid, or else the
	// only one seen (a helper that shares its memory may only exit); of
	// several, the only one no other of them forked (an emulator's fork
	// asks too).
	auto forked = [&](const observer::process &p) {
		return std::any_of(w.probes.begin(), w.probes.end(),
		                   [&](const observer::process &q) {
			                   return std::find(q.kids.begin(), q.kids.end(), p.here) !=
			                          q.kids.end();
		                   });
	};
	std::vector<const observer::process *> asked, roots;
	for (const observer::process &p : w.probes)
		if (p.getpid)
			asked.push_back(&p);
	if (asked.empty())
		for (const observer::process &p : w.probes)
			asked.push_back(&p);
	for (const observer::process *p : asked)
		if (!forked(*p))
			roots.push_back(p);
	if (asked.size() > 1 && roots.size() == 1)
		asked = roots;
	if (asked.size() == 1) {
		const observer::process &p = *asked[0];
		s.seen.pid = p.own;
		s.seen.fds_first = p.first;
		s.seen.fds_exit = p.exit;
		for (const observer::offspring &c : p.children)
			s.seen.children.emplace_back(c.own, c.status);
		for (const observer::process &q : w.probes)
			if (std::find(p.kids.begin(), p.kids.end(), q.here) != p.kids.end())
				s.seen.forked = q.own;
		s.seen.cpu = p.cpu;
		s.seen.hz = sysconf(_SC_CLK_TCK);
	} else if (!w.probes.empty()) {
		s.seen.why_not = "more than one process ran the probe's file";
	} else if (w.direct) {  // exec'd in place by the runner's child
		s.seen.pid = child;
	} else if (w.hosted) {
		s.seen.why_not =
		        "the probe ran in a sandbox's own kernel, where its process cannot "
		        "be seen";
	} else if (s.seen.watching) {
		s.seen.why_not = "the probe's process was not seen";
	} else {
		s.seen.why_not = w.why_not;
	}
	return s;
}
