// probesuite: runs every probe the way its users start it, checks each
// transcript and exit status against the probe's contract, and reports.
//
// A few worker threads (-j, 4 by default) take runs from one queue, the
// 5-second probes first: by default these three run side by side while the
// fourth worker runs the quick ones in turn. The main thread only shows
// progress. Every run is recorded first and reported afterwards, in a fixed
// order, so the report reads the same whatever finished first.
#include "suite/suite.h"
#include "suite/vm.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
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

// One run to make: the nth of scenario s, played on a copy of plan.
struct task {
	scenario *s;
	const scenario *plan;
	int nth;
};

struct queue {
	std::vector<task> tasks;
	const options *o;
	std::atomic<std::size_t> next{0};
	std::mutex lock;  // over the scenarios' tallies
};

void *work(void *arg)
{
	queue *q = (queue *)arg;
	// Relaxed: the counter only hands out indexes; the tasks were all
	// made before any worker started.
	for (std::size_t i;
	     (i = q->next.fetch_add(1, std::memory_order_relaxed)) < q->tasks.size();) {
		const task &t = q->tasks[i];
		scenario run = *t.plan;
		play(run, *q->o);
		auto seen = values(run);
		std::lock_guard<std::mutex> hold(q->lock);
		fold(*t.s, run, t.nth, seen);
	}
	return nullptr;
}

// Runs every scenario of list here, o.repeat times each, and returns the
// seconds it took.
double run_here(const std::vector<scenario *> &list, const options &o)
{
	// The runs, the 5-second probes' first. Each run plays on a fresh copy
	// of its scenario as it was before any run.
	auto t0 = std::chrono::steady_clock::now();
	std::deque<scenario> plans;
	for (scenario *s : list)
		plans.push_back(*s);
	queue q;
	q.o = &o;
	for (bool slow : {true, false})
		for (int nth = 0; nth < o.repeat; nth++)
			for (std::size_t i = 0; i < list.size(); i++)
				if (list[i]->slow == slow)
					q.tasks.push_back({list[i], &plans[i], nth});
	// Where no thread can be made, the runs are made here instead.
	std::vector<pthread_t> threads;
	for (int i = 0; i < o.jobs && i < (int)q.tasks.size(); i++) {
		pthread_t t;
		if (pthread_create(&t, nullptr, work, &q) == 0)
			threads.push_back(t);
	}
	if (threads.empty())
		work(&q);

	bool progress = isatty(1);
	for (;;) {
		std::string waiting;
		std::size_t done = 0;
		{
			std::lock_guard<std::mutex> hold(q.lock);
			for (const scenario *s : list) {
				done += s->count.runs;
				if (s->slow && s->count.runs < o.repeat)
					waiting += (waiting.empty() ? "" : ", ") + s->probe;
			}
		}
		if (done == q.tasks.size())
			break;
		if (progress) {
			printf("\r[%zu/%zu done, %s s] %s%s\033[K", done, q.tasks.size(),
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
	return seconds_since(t0);
}

}  // namespace

int main(int argc, char **argv)
{
	if (getpid() == 1)
		become_init(argc, argv);  // in a kernel check's guest
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
	if (!o.expect.empty())
		read_expectations(o.expect, all);
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
		if (o.list) {
			std::string how = started(s);
			for (std::size_t i = 0; i < o.launcher.size(); i++)
				how += (i ? " " : "; through ") + o.launcher[i];
			printf("%-40s %s\n", title(s).c_str(), how.c_str());
			continue;
		}
		list.push_back(&s);
	}
	if (o.list)
		return 0;

	FILE *junit = nullptr;
	if (!o.junit.empty() && !(junit = fopen(o.junit.c_str(), "w")))
		bad_usage("cannot write " + o.junit + ": " + strerror(errno));
	o.colour = isatty(1) && !getenv("NO_COLOR");

	double wall = o.kernel.empty() ? run_here(list, o) : check_kernel(list, o);
	if (in_guest) {
		send_results(list);
		return 0;  // and the machine powers off
	}
	apply_expectations(list);

	int status = exit_status(list);
	if (junit) {
		report_junit(junit, list, o, wall);
		if (ferror(junit) | fclose(junit)) {
			fprintf(stderr, "probesuite: cannot write %s: %s\n", o.junit.c_str(),
			        strerror(errno));
			status = status_output;
		}
	}
	if (o.tap)
		report_tap(list);
	else
		report(list, o, wall);
	return finish(status);
}
