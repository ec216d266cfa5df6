#include "check/harness/proc.h"
#include "check/harness/file.h"
#include "check/harness/keeper.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

std::string slurp(const std::string &path)
{
	std::string s;
	read_file(path, s);
	return s;
}

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

// Read from our own maps with the file mapped, so it holds on any file
// system (overlays show the file underneath). From stat() when that fails.
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

std::string program_id(const std::string &dir)
{
	struct stat st;
	if (stat((dir + "/exe").c_str(), &st) != 0)
		return "";
	return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

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

std::vector<std::pair<int, std::string>> descriptors(const std::string &dir)
{
	std::vector<std::pair<int, std::string>> v;
	for (int fd : observed_fds)
		v.emplace_back(fd, fd_kind(dir, fd));
	return v;
}

// The fields of a /proc/PID/stat after the command's closing parenthesis,
// the state first (field 3); empty when it cannot be read.
static std::vector<std::string> stat_fields(const std::string &dir)
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

// (A child that signals its end otherwise than with SIGCHLD, field 38 of
// its stat, is no child to wait(): a sanitizer's helper task, say.)
std::vector<offspring> children_at(pid_t pid, std::size_t depth)
{
	std::vector<offspring> v;
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

long cpu_ticks(const std::string &dir)
{
	std::vector<std::string> f = stat_fields(dir);
	return f.size() > 12 ? atol(f[11].c_str()) + atol(f[12].c_str()) : -1;
}

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

// The access mode in a /proc/PID/fdinfo/N: "read", "write", "read-write";
// empty when it cannot be read.
static std::string access_of(const std::string &fdinfo)
{
	std::string info = slurp(fdinfo);
	std::size_t at = info.find("flags:");
	if (at == std::string::npos)
		return "";
	char *end;
	unsigned long flags = strtoul(info.c_str() + at + 6, &end, 8);
	if (end == info.c_str() + at + 6)
		return "";
	switch (flags & O_ACCMODE) {
	case O_RDONLY:
		return "read";
	case O_WRONLY:
		return "write";
	case O_RDWR:
		return "read-write";
	}
	return "";
}

std::vector<std::pair<int, std::string>> pipe_ends(const std::string &dir)
{
	std::vector<std::pair<int, std::string>> v;
	DIR *d = opendir((dir + "/fd").c_str());
	if (!d)
		return v;
	for (dirent *e; v.size() < 64 && (e = readdir(d));) {
		if (e->d_name[0] == '.')
			continue;
		std::string fd = e->d_name;
		char target[64];
		std::string link = dir + "/fd/";
		link += fd;
		ssize_t k = readlink(link.c_str(), target, sizeof target - 1);
		if (k <= 0 || !std::string_view(target, k).starts_with("pipe:["))
			continue;
		std::string info = dir + "/fdinfo/";
		info += fd;
		std::string mode = access_of(info);
		if (!mode.empty())
			v.emplace_back(atoi(fd.c_str()), std::string(target, k) + " " + mode);
	}
	closedir(d);
	std::sort(v.begin(), v.end());
	return v;
}
