// Checking every platform of a matrix side by side: each by a runner of
// its own, this same program, which writes its record to a file of a
// fresh folder; its report is kept only to say why, should it write none.
//
// Most platforms cost little processor time, as the 5-second probes
// sleep; they all start at once. A heavy one (a kernel booted, an
// emulator) keeps a processor busy, so no more of them run at once than
// there are processors, in the file's order: more would only wait for
// one, and a guest's clock runs on whether it gets one or not.
#include "suite/matrix/side_by_side.h"
#include "check/harness/file.h"
#include "suite/matrix/platforms.h"
#include "suite/run/places.h"
#include "suite/run/progress.h"
#include "suite/run/signals.h"
#include "suite/run/start.h"
#include "suite/text.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <unistd.h>

namespace
{

// A platform's runner gets as long as the slowest check could take (a
// kernel that never boots, every scenario at its limit under valgrind).
const double runner_limit = 600;

// The heavy platforms' turns, in the file's order.
struct gate {
	std::mutex lock;
	std::condition_variable freed;
	int free = 1;
	int next = 0;  // the turn of the next to start
};

struct job {
	const platform_line *p;
	std::string self, json;  // the runner's program, and where its record goes
	int stop_fd;
	gate *heavy;
	int turn;  // among the heavy ones
	column *c;
	std::atomic<bool> *done;
};

// A record for a platform whose runner gave none: each scenario of its
// plan with outcome o and why.
record troubled(const std::vector<scenario> &plan, outcome o, const std::string &why)
{
	record r;
	r.scenarios = tallies(plan);
	for (std::size_t i = 0; i < plan.size(); i++)
		r.scenarios[i].j = {o, why, plan[i].listed};
	return r;
}

std::string stopped_why()
{
	return std::string("the run was stopped by SIG") + sigabbrev_np(stopped()) +
	       " before this platform started";
}

// The last line of text that says anything.
std::string last_line(const std::string &text)
{
	std::size_t end = text.find_last_not_of(" \n");
	if (end == std::string::npos)
		return "";
	std::size_t from = text.rfind('\n', end);
	return text.substr(from == std::string::npos ? 0 : from + 1, end + 1 - (from + 1));
}

// Waits for the turn and a free place; false when the run was stopped
// first.
bool acquire(gate &g, int turn)
{
	std::unique_lock<std::mutex> hold(g.lock);
	while (g.free == 0 || g.next != turn) {
		if (stopped())
			return false;
		g.freed.wait_for(hold, std::chrono::milliseconds(100));
	}
	g.free--;
	g.next++;
	g.freed.notify_all();
	return true;
}

void release(gate &g)
{
	{
		std::lock_guard<std::mutex> hold(g.lock);
		g.free++;
	}
	g.freed.notify_all();
}

void check_platform(job &w)
{
	const platform_line &p = *w.p;
	if (p.heavy && !acquire(*w.heavy, w.turn)) {
		w.c->r = troubled(p.plan, outcome::interrupted, stopped_why());
		return;
	}
	run_opts o;
	o.argv = {w.self, "-q", "--json", w.json};
	std::vector<std::string> args = platform_args(p.o);
	o.argv.insert(o.argv.end(), args.begin(), args.end());
	o.timeout = runner_limit;
	o.stop_fd = w.stop_fd;
	o.pass_stop = stopped;
	run_result got = run(o);
	if (p.heavy)
		release(*w.heavy);
	std::string text, why;
	if (!got.interrupted && read_file(w.json, text) && !text.empty() &&
	    read_record(text, w.c->r, why))
		return;
	if (got.interrupted) {
		w.c->r = troubled(p.plan, outcome::interrupted, stopped_why());
		return;
	}
	std::string said = last_line(got.err);
	w.c->r = troubled(p.plan, stopped() ? outcome::interrupted : outcome::unarranged,
	                  "its runner wrote no record (" + describe(got) +
	                          (said.empty() ? "" : ": " + said) + ")");
	w.c->r.seconds = got.seconds;
}

void *work(void *arg)
{
	job *w = (job *)arg;
	check_platform(*w);
	w->done->store(true, std::memory_order_release);
	return nullptr;
}

std::string self()
{
	std::string path = own_program();
	return path.empty() ? "/proc/self/exe" : path;
}

void progress(const std::vector<platform_line> &platforms,
              const std::vector<std::atomic<bool>> &done, std::chrono::steady_clock::time_point t0)
{
	std::string waiting;
	std::size_t n = 0;
	for (std::size_t i = 0; i < platforms.size(); i++)
		if (done[i].load(std::memory_order_acquire))
			n++;
		else
			waiting += (waiting.empty() ? "" : ", ") + escaped(platforms[i].name);
	show_progress(std::to_string(n) + "/" + std::to_string(platforms.size()) +
	                      " platforms done",
	              t0, "waiting for " + waiting);
}

}  // namespace

matrix run_platforms(const std::vector<platform_line> &platforms, int stop_fd)
{
	auto t0 = std::chrono::steady_clock::now();
	matrix m;
	m.platforms.resize(platforms.size());
	std::string why, dir = make_temp_dir("matrix", why);
	if (dir.empty()) {
		why = "cannot make a folder for the records in " + why;
		for (std::size_t i = 0; i < platforms.size(); i++)
			m.platforms[i] = {platforms[i].name,
			                  troubled(platforms[i].plan, outcome::unarranged, why)};
		return m;
	}
	gate heavy;
	long processors = sysconf(_SC_NPROCESSORS_ONLN);
	heavy.free = processors > 1 ? (int)processors : 1;
	std::vector<std::atomic<bool>> done(platforms.size());
	std::vector<job> jobs;
	int turns = 0;
	const std::string runner = self();
	for (std::size_t i = 0; i < platforms.size(); i++)
		jobs.push_back({&platforms[i], runner, dir + "/" + std::to_string(i) + ".json",
		                stop_fd, &heavy, platforms[i].heavy ? turns++ : -1, &m.platforms[i],
		                &done[i]});
	// The heavy ones first, so that the slowest start at once.
	std::vector<pthread_t> threads(jobs.size());
	std::vector<bool> started(jobs.size());
	for (bool first : {true, false})
		for (std::size_t i = 0; i < jobs.size(); i++)
			if (platforms[i].heavy == first)
				started[i] =
				        pthread_create(&threads[i], nullptr, work, &jobs[i]) == 0;
	for (std::size_t i = 0; i < jobs.size(); i++)
		if (!started[i])  // no thread: checked here, in turn
			work(&jobs[i]);
	for (;;) {
		bool all = true;
		for (const auto &d : done)
			all &= d.load(std::memory_order_acquire);
		if (all)
			break;
		if (progress_shown())
			progress(platforms, done, t0);
		usleep(100000);
	}
	for (std::size_t i = 0; i < jobs.size(); i++)
		if (started[i])
			pthread_join(threads[i], nullptr);
	end_progress();
	for (std::size_t i = 0; i < jobs.size(); i++)
		m.platforms[i].name = platforms[i].name;
	remove_temp_dir(dir);
	m.seconds = seconds_since(t0);
	return m;
}
