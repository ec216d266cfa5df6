// Finding the processes a run started, by a mark in their environment
// that every process it starts inherits.
#ifndef TESTS_MARKED_H
#define TESTS_MARKED_H

#include "tests/runner.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>
#include <vector>

// The processes whose environment holds mark: every process a run started
// inherits it.
inline std::vector<pid_t> marked(const std::string &mark)
{
	std::vector<pid_t> found;
	std::string want = mark + '\0';
	DIR *d = opendir("/proc");
	if (!d)
		return found;
	while (dirent *e = readdir(d)) {
		pid_t pid = atoi(e->d_name);
		if (pid > 0 && pid != getpid() &&
		    slurp(std::string("/proc/") + e->d_name + "/environ").find(want) !=
		            std::string::npos)
			found.push_back(pid);
	}
	closedir(d);
	return found;
}

inline pid_t parent(pid_t pid)
{
	std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
	std::size_t paren = stat.rfind(')');
	return paren == std::string::npos ? -1 : atoi(stat.c_str() + paren + 4);
}

// Waits up to about seconds for fewer than n marked processes; returns
// how many there are.
inline std::size_t wait_marked_below(const std::string &mark, std::size_t n, double seconds)
{
	std::size_t k = marked(mark).size();
	for (int i = 0; i < seconds * 50 && k >= n; i++) {
		usleep(20000);
		k = marked(mark).size();
	}
	return k;
}

// A command line as /proc shows it: each word ended by a zero byte.
inline std::string cmdline(std::initializer_list<const char *> words)
{
	std::string c;
	for (const char *w : words)
		c += std::string(w) + '\0';
	return c;
}

// Once count marked processes run the command line c, and total are
// marked if total is not 0, the runner's pid: the marked probesuite whose
// parent is not marked, as its keepers' is. -1 after about 10 s.
inline pid_t runner_once(const std::string &mark, const std::string &c, std::size_t count,
                         std::size_t total = 0)
{
	for (int i = 0; i < 500; i++) {
		std::vector<pid_t> m = marked(mark);
		std::size_t running = 0;
		for (pid_t p : m)
			running += slurp("/proc/" + std::to_string(p) + "/cmdline") == c;
		if (running >= count && (total == 0 || m.size() == total))
			for (pid_t p : m)
				if (slurp("/proc/" + std::to_string(p) + "/cmdline")
				            .starts_with(suite_path + '\0') &&
				    std::find(m.begin(), m.end(), parent(p)) == m.end())
					return p;
		usleep(20000);
	}
	return -1;
}

#endif
