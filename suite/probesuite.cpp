// probesuite: runs every probe the way its users start it, checks each
// transcript and exit status against the probe's contract, and reports.
//
// The three 5-second probes run side by side, each on its own thread, while
// another thread runs the quick ones in turn; the main thread only shows
// progress. Every scenario is recorded first and reported afterwards, in a
// fixed order, so the report reads the same whatever finished first.
#include "suite/suite.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace
{

std::string own_dir(const char *argv0)
{
	char buf[4096];
	ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
	std::string self = n > 0 ? std::string(buf, n) : std::string(argv0);
	std::size_t slash = self.rfind('/');
	return slash == std::string::npos ? "." : slash == 0 ? "/" : self.substr(0, slash);
}

struct job {
	std::vector<scenario *> list;
	const options *o;
};

void *play_all(void *arg)
{
	job *j = (job *)arg;
	for (scenario *s : j->list)
		play(*s, *j->o);
	return nullptr;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char **argv)
{
	settle();
	options o;
	parse(argc, argv, o);
	if (o.dir.empty())
		o.dir = own_dir(argv[0]);
	if (!o.launcher.empty()) {
		std::string path = find_program(o.launcher[0]);
		if (path.empty())
			bad_usage("cannot find the launcher '" + o.launcher[0] + "'");
		o.launcher[0] = path;
	}

	std::deque<scenario> all;
	standard(all);
	for (const std::string &name : o.only)
		if (std::none_of(all.begin(), all.end(),
		                 [&](const scenario &s) { return s.probe == name; }))
			bad_usage("no probe is called '" + name + "'");
	std::vector<scenario *> list;
	for (scenario &s : all) {
		bool wanted = o.only.empty() ||
		              std::find(o.only.begin(), o.only.end(), s.probe) != o.only.end();
		if (!wanted)
			continue;
		list.push_back(&s);
	}

	// A thread per slow probe and one for all the quick ones. Where a
	// thread cannot be made, its work runs here instead.
	auto t0 = std::chrono::steady_clock::now();
	std::vector<job> jobs;
	job quick{{}, &o};
	for (scenario *s : list)
		if (s->slow)
			jobs.push_back({{s}, &o});
		else
			quick.list.push_back(s);
	jobs.push_back(quick);
	std::vector<pthread_t> threads;
	for (job &j : jobs) {
		pthread_t t;
		if (pthread_create(&t, nullptr, play_all, &j) == 0)
			threads.push_back(t);
		else
			play_all(&j);
	}

	bool progress = isatty(1);
	for (;;) {
		std::string waiting;
		std::size_t done = 0;
		for (const scenario *s : list)
			if (s->done)
				done++;
			else if (s->slow)
				waiting += (waiting.empty() ? "" : ", ") + s->probe;
		if (done == list.size())
			break;
		if (progress) {
			printf("\r[%zu/%zu done, %s s] %s%s\033[K", done, list.size(),
			       fixed(seconds_since(t0), 1).c_str(),
			       waiting.empty() ? "" : "waiting for ", waiting.c_str());
			fflush(stdout);
		}
		usleep(100000);
	}
	for (pthread_t t : threads)
		pthread_join(t, nullptr);
	if (progress)
		printf("\r\033[K");
	double wall = seconds_since(t0);

	if (o.tap)
		report_tap(list);
	else
		report(list, wall);
	return finish(exit_status(list));
}
