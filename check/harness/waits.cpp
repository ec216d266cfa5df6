#include "check/harness/waits.h"
#include "check/harness/keeper.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Threads looked at, at most: a probe that forks without end must not
// hold up the runner.
const std::size_t most = 4096;

// The first two numbers of a schedstat file; false when it cannot be read
// (the thread is gone).
bool times_of(const char *path, thread_times &t)
{
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	char buf[128];
	ssize_t k = read(fd, buf, sizeof buf - 1);
	close(fd);
	if (k <= 0)
		return false;
	buf[k] = '\0';
	char *ran_end, *waited_end;
	t.ran = strtoll(buf, &ran_end, 10);
	t.waited = strtoll(ran_end, &waited_end, 10);
	return waited_end != ran_end && ran_end != buf;
}

// Every thread of pid into threads (unless it is the root), and the
// children of each onto todo.
void look_at(pid_t pid, bool root, std::vector<thread_times> &threads, std::vector<pid_t> &todo)
{
	char dir[64];
	snprintf(dir, sizeof dir, "/proc/%d/task", (int)pid);
	DIR *d = opendir(dir);
	if (!d)
		return;
	while (dirent *e = readdir(d)) {
		if (e->d_name[0] == '.')
			continue;
		char path[128];
		thread_times t = {atoi(e->d_name), 0, 0};
		snprintf(path, sizeof path, "%s/%d/schedstat", dir, (int)t.tid);
		if (!root && threads.size() < most && times_of(path, t))
			threads.push_back(t);
		snprintf(path, sizeof path, "%s/%d/children", dir, (int)t.tid);
		each_child(path, [&](pid_t c) {
			if (todo.size() < most)
				todo.push_back(c);
		});
	}
	closedir(d);
}

}  // namespace

long long held_back(waits &w, pid_t root, long long now)
{
	std::vector<thread_times> threads;
	std::vector<pid_t> todo;
	look_at(root, true, threads, todo);
	for (std::size_t i = 0; i < todo.size(); i++)
		look_at(todo[i], false, threads, todo);
	auto by_tid = [](const thread_times &a, const thread_times &b) { return a.tid < b.tid; };
	std::sort(threads.begin(), threads.end(), by_tid);
	// What each thread ran and waited since the last look; all of it for
	// one not seen then, or one whose tid went to another thread since.
	long long ran = 0, longest = 0;
	for (const thread_times &t : threads) {
		auto was = std::lower_bound(w.seen.begin(), w.seen.end(), t, by_tid);
		bool same = was != w.seen.end() && was->tid == t.tid && was->ran <= t.ran &&
		            was->waited <= t.waited;
		ran += t.ran - (same ? was->ran : 0);
		longest = std::max(longest, t.waited - (same ? was->waited : 0));
	}
	w.idle = std::min(w.idle + std::max(now - w.at - ran, 0LL), 1000000000LL);
	long long held = std::min(longest, w.idle);
	w.idle -= held;
	w.seen = std::move(threads);
	w.at = now;
	return held;
}
