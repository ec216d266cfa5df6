// Running the scenarios on this machine.
//
// A few worker threads (-j, 4 by default) take runs from one queue, the
// 5-second probes first: by default these three run side by side while the
// fourth worker runs the quick ones in turn. The main thread only shows
// progress.
#include "suite/run/here.h"
#include "suite/run/progress.h"
#include "suite/text.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace
{

// How long what a probe started may run on after it, scaled with
// --time-scale as the time limit is.
const double linger = 1;

struct task {
	std::size_t i;
	int nth;
};

struct queue {
	const std::vector<scenario> *plan;
	const options *o;
	int stop_fd;
	const take_run *take;
	std::vector<task> tasks;
	// Relaxed: next only hands out indexes, and done only counts for the
	// progress line; the tasks were all made before any worker started.
	std::atomic<std::size_t> next{0}, done{0};
	std::vector<std::atomic<int>> runs_done;  // of each scenario
};

void *work(void *arg)
{
	queue *q = (queue *)arg;
	for (std::size_t n;
	     (n = q->next.fetch_add(1, std::memory_order_relaxed)) < q->tasks.size();) {
		const task &t = q->tasks[n];
		(*q->take)(t.i, t.nth, play((*q->plan)[t.i], *q->o, q->stop_fd));
		q->runs_done[t.i].fetch_add(1, std::memory_order_relaxed);
		q->done.fetch_add(1, std::memory_order_relaxed);
	}
	return nullptr;
}

void progress(const queue &q, std::chrono::steady_clock::time_point t0)
{
	std::string waiting;
	for (std::size_t i = 0; i < q.plan->size(); i++)
		if ((*q.plan)[i].slow &&
		    q.runs_done[i].load(std::memory_order_relaxed) < q.o->repeat)
			waiting += (waiting.empty() ? "" : ", ") + (*q.plan)[i].probe;
	show_progress(std::to_string(q.done.load(std::memory_order_relaxed)) + "/" +
	                      std::to_string(q.tasks.size()) + " done",
	              t0, waiting.empty() ? "" : "waiting for " + waiting);
}

}  // namespace

run_result play(const scenario &s, const options &o, int stop_fd)
{
	run_result got;
	run_opts r;
	std::string path = o.dir + "/" + s.probe;
	if (access(path.c_str(), X_OK) != 0) {
		got.setup =
		        (errno == ENOENT || errno == ENOTDIR ? "no probe at " : "cannot execute ") +
		        path + ": " + strerror(errno);
		return got;
	}
	r.argv = o.launcher;
	r.argv.push_back(path);
	r.tty = s.tty;
	r.timeout = time_limit(s) * o.time_scale;
	r.linger = linger * o.time_scale;
	r.stop_fd = stop_fd;
	r.observe.probe = path;
	int feed[2] = {-1, -1};
	if (s.fed) {
		// The partner's side: fill the pipe, close its write end, hand
		// over the read end.
		if (pipe2(feed, O_CLOEXEC) != 0 ||
		    write(feed[1], message.data(), message.size()) != (ssize_t)message.size()) {
			got.setup = std::string("could not prepare descriptor 9001: ") +
			            strerror(errno);
			for (int fd : feed)
				if (fd >= 0)
					close(fd);
			return got;
		}
		close(feed[1]);
		r.fds.push_back({9001, feed[0]});
		r.observe.fd = 9001;
	}
	got = run(r);
	if (feed[0] >= 0)
		close(feed[0]);
	return got;
}

double run_here(const std::vector<scenario> &plan, const options &o, int stop_fd,
                const take_run &take)
{
	auto t0 = std::chrono::steady_clock::now();
	queue q{&plan, &o, stop_fd, &take, {}, {}, {}, std::vector<std::atomic<int>>(plan.size())};
	for (bool slow : {true, false})
		for (int nth = 0; nth < o.repeat; nth++)
			for (std::size_t i = 0; i < plan.size(); i++)
				if (plan[i].slow == slow)
					q.tasks.push_back({i, nth});
	// Where no thread can be made, the runs are made here instead.
	std::vector<pthread_t> threads;
	for (int i = 0; i < o.jobs && i < (int)q.tasks.size(); i++) {
		pthread_t t;
		if (pthread_create(&t, nullptr, work, &q) == 0)
			threads.push_back(t);
	}
	if (threads.empty())
		work(&q);

	while (q.done.load(std::memory_order_relaxed) < q.tasks.size()) {
		if (progress_shown())
			progress(q, t0);
		usleep(100000);
	}
	for (pthread_t t : threads)
		pthread_join(t, nullptr);
	end_progress();
	return seconds_since(t0);
}
