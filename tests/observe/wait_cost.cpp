// What reading the wait for a processor costs: forks PROCESSES sleeping
// children, each with THREADS threads, and times N looks at them as run()
// looks at a keeper's descendants. Prints the median time of a look.
//   wait_cost [PROCESSES [THREADS [N]]]
#include "check/harness/keeper.h"
#include "check/harness/waits.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

void *sleeper(void *)
{
	pause();
	return nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
	int processes = argc > 1 ? atoi(argv[1]) : 3, threads = argc > 2 ? atoi(argv[2]) : 1,
	    n = argc > 3 ? atoi(argv[3]) : 1000;
	std::vector<pid_t> kids;
	for (int i = 0; i < processes; i++) {
		pid_t p = fork();
		if (p == 0) {
			prctl(PR_SET_PDEATHSIG, SIGKILL);
			for (int t = 1; t < threads; t++) {
				pthread_t id;
				pthread_create(&id, nullptr, sleeper, nullptr);
			}
			pause();
			_exit(0);
		}
		if (p < 0) {
			perror("wait_cost: fork");
			return 1;
		}
		kids.push_back(p);
	}
	usleep(100000);  // the threads started
	waits w;
	w.at = now_ns();
	std::vector<double> took;
	for (int i = 0; i < n; i++) {
		long long t0 = now_ns();
		held_back(w, getpid(), t0);
		took.push_back((double)(now_ns() - t0) / 1e3);
	}
	std::sort(took.begin(), took.end());
	printf("%d processes of %d threads: %zu threads read, %.1f us a look (median of %d), "
	       "%.1f us at the 90th percentile\n",
	       processes, threads, w.seen.size(), took[took.size() / 2], n,
	       took[took.size() * 9 / 10]);
	for (pid_t p : kids) {
		kill(p, SIGKILL);
		waitpid(p, nullptr, 0);
	}
	return 0;
}
