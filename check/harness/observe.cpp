#include "check/harness/observe.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace
{

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

// A caller's exit_group: the status of a child some probe process waits
// for.
void child_exited(observer &w, pid_t tid, unsigned long code)
{
	for (observer::process &p : w.probes)
		for (offspring &c : p.children)
			if (c.here == tid && c.status < 0)
				c.status = (int)(code & 0xff) << 8;
}

// Whether the caller of req still waits for its answer: it may have been
// killed and its pid reused while we read.
bool waiting(const observer &w, const seccomp_notif &req)
{
	return ioctl(w.listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &req.id) == 0;
}

// An exec of the probe: when the same caller ends still running the
// program it ran then, that exec failed. (One that succeeded may run
// another than the probe's file: the interpreter of a script.)
void look_execve(observer &w, const seccomp_notif &req)
{
	pid_t tid = (pid_t)req.pid;
	std::string path = read_string(tid, req.data.args[0]);
	std::size_t slash = path.rfind('/');
	std::size_t base = slash == std::string::npos ? 0 : slash + 1;
	if (path.compare(base, std::string::npos, w.name) == 0 && waiting(w, req))
		w.execs.emplace_back(tid, program_id("/proc/" + std::to_string(tid)));
}

// A caller that does not run the probe's file: a sandbox's kernel when it
// maps the file shared; at its end, one that exec'd the probe's file.
void look_other(observer &w, pid_t tid, bool end, mapped m)
{
	w.hosted |= m == mapped_shared;
	auto exec = std::find_if(w.execs.begin(), w.execs.end(),
	                         [&](const auto &e) { return e.first == tid; });
	if (!end || exec == w.execs.end())
		return;
	if (exec->second == program_id("/proc/" + std::to_string(tid)))
		w.exec_failed = true;
	else
		w.exec_ran = true;  // a script's interpreter, say
}

// A caller that runs the probe's file, as read while it waits.
struct caller {
	pid_t tid = -1, tgid = -1;
	std::string dir;                               // /proc/TID
	bool known = false, fresh = false;             // its thread seen before; its process not
	std::vector<long> ns;                          // NStgid
	int fd_open = -1;                              // observe_opts.fd in it, as observed.fd_open
	std::vector<std::pair<int, std::string>> fds;  // at its first call and at its end
};

// Whether the caller of req runs the probe's file (a thread seen before,
// or one that maps the file privately); then what it is, into c. Any other
// caller is looked at as look_other() does.
bool as_probe(observer &w, const seccomp_notif &req, caller &c)
{
	c.tid = (pid_t)req.pid;
	c.dir = "/proc/" + std::to_string(c.tid);
	c.known = std::find(w.threads.begin(), w.threads.end(), c.tid) != w.threads.end();
	bool end = req.data.nr == __NR_exit_group;
	mapped m = c.known || w.needle.empty() ? not_mapped
	                                       : mapping(slurp(c.dir + "/maps"), w.needle);
	if (!c.known && m != mapped_private) {
		look_other(w, c.tid, end, m);
		return false;
	}
	std::string status = slurp(c.dir + "/status");
	std::vector<long> tgid = status_field(status, "Tgid:");
	c.ns = status_field(status, "NStgid:");
	if (w.fd >= 0) {
		struct stat st;
		std::string link = c.dir + "/fd/" + std::to_string(w.fd);
		if (lstat(link.c_str(), &st) == 0)
			c.fd_open = 1;
		else if (errno == ENOENT)
			c.fd_open = 0;
	}
	if (tgid.empty() || c.ns.empty())
		return false;
	c.tgid = (pid_t)tgid[0];
	c.fresh = std::none_of(w.probes.begin(), w.probes.end(),
	                       [&](const observer::process &x) { return x.here == c.tgid; });
	if (c.fresh || end)
		c.fds = descriptors(c.dir);
	return true;
}

// After the reads: the caller's process, made at its first call; null when
// the caller no longer waits. Notes descriptor observe_opts.fd, at the
// probe's read of it or at another call.
observer::process *settle(observer &w, const seccomp_notif &req, const caller &c)
{
	if (!waiting(w, req))
		return nullptr;
	if (!c.known)
		w.threads.push_back(c.tid);
	if (req.data.nr == __NR_read && w.fd_at_read < 0)
		w.fd_at_read = c.fd_open;
	else if (c.fd_open >= 0)  // for when its read is not seen: an emulator may not make it
		w.fd_later = c.fd_open;
	auto p = std::find_if(w.probes.begin(), w.probes.end(),
	                      [&](const observer::process &x) { return x.here == c.tgid; });
	if (p != w.probes.end())
		return &*p;
	observer::process fresh;
	fresh.here = c.tgid;
	fresh.own = (pid_t)c.ns.back();
	fresh.depth = c.ns.size();
	fresh.first = c.fds;
	return &*w.probes.insert(p, fresh);
}

// Its getpid: its children before it may wait for them.
void look_getpid(observer &w, const seccomp_notif &req)
{
	caller c;
	if (!as_probe(w, req, c))
		return;
	std::vector<offspring> children = children_at(c.tgid, c.ns.size());
	observer::process *p = settle(w, req, c);
	if (!p)
		return;
	p->getpid = true;
	for (const offspring &k : children)
		if (std::none_of(p->children.begin(), p->children.end(),
		                 [&](const offspring &x) { return x.here == k.here; }))
			p->children.push_back(k);
}

// Its exit_group: its descriptors, children, processor time and pipes as
// it ends.
void look_exit_group(observer &w, const seccomp_notif &req)
{
	child_exited(w, (pid_t)req.pid, req.data.args[0]);
	caller c;
	if (!as_probe(w, req, c))
		return;
	std::string dir = "/proc/" + std::to_string(c.tgid);
	std::vector<pid_t> kids = children_of(c.tgid);
	long cpu = cpu_ticks(dir);
	std::vector<std::pair<int, std::string>> pipes = pipe_ends(dir);
	observer::process *p = settle(w, req, c);
	if (!p)
		return;
	p->exit = c.fds;
	p->kids = kids;
	p->cpu = cpu;
	p->pipes = pipes;
}

// Its read of observe_opts.fd: whether it has that descriptor.
void look_read(observer &w, const seccomp_notif &req)
{
	caller c;
	if (as_probe(w, req, c))
		settle(w, req, c);
}

// Looks at the caller of one notification while it waits.
void look(observer &w, const seccomp_notif &req)
{
	switch (req.data.nr) {
	case __NR_execve:
		look_execve(w, req);
		break;
	case __NR_getpid:
		look_getpid(w, req);
		break;
	case __NR_exit_group:
		look_exit_group(w, req);
		break;
	case __NR_read:
		look_read(w, req);
		break;
	}
}

}  // namespace

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
	if (!channel_open(w.link, fds, w.setup))
		return false;
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
	child_note n = {note_first, 0, 0, 0};
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
	send_note(w.link, n, fd);
	if (fd >= 0)
		close(fd);
}

void observe_started(observer &w)
{
	close(w.link.child);
	w.link.child = -1;
	child_note n = {};
	int fd = -1;
	ssize_t k = recv_note(w.link, n, &fd, 0);
	if (k <= 0) {
		w.setup = "the child ended before it could be set up";
		return;
	}
	if (n.step != note_first) {
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

namespace
{

// The probe's process: the one that asked for its pid, or else the only
// one seen (a helper that shares its memory may only exit); of several,
// the only one no other of them forked (an emulator's fork asks too).
// Null when that is not one process.
const observer::process *the_probe(const observer &w)
{
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
	return asked.size() == 1 ? asked[0] : nullptr;
}

// What the probe's process p was seen to be and do.
void seen_as(observed &seen, const observer &w, const observer::process &p)
{
	seen.pid = p.own;
	seen.fds_first = p.first;
	seen.fds_exit = p.exit;
	for (const offspring &c : p.children)
		seen.children.emplace_back(c.own, c.status);
	for (const observer::process &q : w.probes)
		if (std::find(p.kids.begin(), p.kids.end(), q.here) != p.kids.end())
			seen.forked = q.own;
	seen.cpu = p.cpu;
	seen.hz = sysconf(_SC_CLK_TCK);
	seen.pipes = p.pipes;
}

// Why the probe's process is not known, where the_probe() found none and
// the runner's child was not the probe itself.
std::string why_unseen(const observer &w)
{
	if (!w.probes.empty())
		return "more than one process ran the probe's file";
	if (w.hosted)
		return "the probe ran in a sandbox's own kernel, where its process cannot be seen";
	if (w.seen.watching)
		return "the probe's process was not seen";
	return w.why_not;
}

// The child's last word, should a step after the first have failed, and
// the link and listener closed.
void hear_last(observer &w)
{
	child_note n = {};
	int fd = -1;
	if (!w.failed && w.setup.empty() && w.link.parent >= 0 &&
	    recv_note(w.link, n, &fd, MSG_DONTWAIT) > 0 && n.step != note_first)
		w.failure = n, w.failed = true;
	if (fd >= 0)
		close(fd);
	if (w.failed)
		w.setup = step_failed(w.failure, w.program);
	if (w.listener >= 0)
		close(w.listener);
	w.listener = -1;
	channel_close(w.link);
}

}  // namespace

sighting observe_end(observer &w, pid_t child)
{
	hear_last(w);
	sighting s;
	s.before_exec = w.failed;
	s.setup = w.setup;
	s.exec_failed = w.exec_failed;
	s.exec_ran = w.exec_ran;
	s.seen = w.seen;
	if (!s.seen.asked)
		return s;
	s.seen.ran = !w.probes.empty();
	s.seen.fd_open = w.fd_at_read >= 0 ? w.fd_at_read : w.fd_later;
	s.no_sign = s.seen.watching && w.probes.empty() && w.execs.empty() && !w.hosted;
	if (const observer::process *p = the_probe(w))
		seen_as(s.seen, w, *p);
	else if (w.probes.empty() && w.direct)  // exec'd in place by the runner's child
		s.seen.pid = child;
	else
		s.seen.why_not = why_unseen(w);
	return s;
}
