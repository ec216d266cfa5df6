// Reading what /proc shows of another process: its status, memory map,
// descriptors, children and processor time. Each reader gives an empty
// answer (or -1) when the process is gone or the file cannot be read.
#ifndef CHECK_HARNESS_PROC_H
#define CHECK_HARNESS_PROC_H

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// The file's text; empty when it cannot be read (a process gone meanwhile).
std::string slurp(const std::string &path);

// The numbers of one "Name:" line of a /proc status, in order.
std::vector<long> status_field(const std::string &status, const char *name);

// " MAJ:MIN INODE " as the kernel shows the file at path in /proc/PID/maps;
// empty when it cannot be opened.
std::string maps_key(const std::string &path);

// The string at addr in pid's memory; empty when it cannot be read.
std::string read_string(pid_t pid, unsigned long addr);

// The program a process runs, as its device and inode; empty when unknown.
std::string program_id(const std::string &dir);

enum mapped { not_mapped, mapped_shared, mapped_private };

// How maps, a /proc/PID/maps, holds the file needle (a maps_key) names.
// Privately: a copy of the probe's image of the process's own, as the
// kernel's exec, a loader or an emulator makes it. Shared only: a
// sandbox's kernel serving the file's pages to its guests (gVisor's
// Sentry), running none of the probe's code for the probe itself.
mapped mapping(const std::string &maps, const std::string &needle);

// What descriptor fd of the process /proc/PID (or /proc/self) dir names
// is: "terminal", "pipe", "file", "socket", "device", "other" or
// "closed"; empty when that cannot be read.
std::string fd_kind(const std::string &dir, int fd);

// The descriptors descriptors() looks at.
inline constexpr int observed_fds[] = {0, 1, 2, 9001};

// What descriptors 0, 1, 2 and 9001 of the process dir names are.
std::vector<std::pair<int, std::string>> descriptors(const std::string &dir);

// Every pipe descriptor of the process dir names, in order, each as
// "pipe:[INODE] read", "... write" or "... read-write" (its O_ACCMODE);
// at most the first 64.
std::vector<std::pair<int, std::string>> pipe_ends(const std::string &dir);

// The pids, in our namespace, of the children of every thread of process
// pid: zombies too.
std::vector<pid_t> children_of(pid_t pid);

// A child as a process whose namespace is some depth deep sees it.
struct offspring {
	pid_t here, own;  // its pid in our namespace and in the parent's
	int status;       // its wait status; -1 until known
};

// Each child of process pid, whose namespace is depth deep, that wait()
// can report, with its wait status when it has already ended.
std::vector<offspring> children_at(pid_t pid, std::size_t depth);

// The processor time the kernel accounted to the process, utime + stime
// in clock ticks; -1 when it cannot be read.
long cpu_ticks(const std::string &dir);

#endif
