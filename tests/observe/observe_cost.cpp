// What observing costs per run: runs a quick probe N times through run()
// without the observer and N times with it, alternating, and prints the
// median time per run of each, and the processor time run() itself took
// (this process's, not the probe's). Words after N are a launcher.
//   observe_cost PROBE [N [LAUNCHER...]]
#include "check/harness/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace
{

std::vector<std::string> launcher;
unsigned calls;  // notifications of the last observed run
double cpu;      // this process's processor time in the last run

double own_cpu()
{
	rusage u;
	getrusage(RUSAGE_SELF, &u);
	return (double)u.ru_utime.tv_sec + (double)u.ru_utime.tv_usec / 1e6 +
	       (double)u.ru_stime.tv_sec + (double)u.ru_stime.tv_usec / 1e6;
}

double once(const char *probe, bool observe, bool *seen)
{
	run_opts o;
	o.argv = launcher;
	o.argv.push_back(probe);
	if (observe)
		o.observe.probe = probe;
	double c0 = own_cpu();
	auto t0 = std::chrono::steady_clock::now();
	run_result r = run(o);
	double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
	cpu = own_cpu() - c0;
	*seen = !observe || (r.seen.watching && r.seen.ran);
	calls = r.seen.calls;
	return r.exited && r.code == 0 ? s : -1;
}

double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
	if (argc < 2) {
		fputs("usage: observe_cost PROBE [N [LAUNCHER...]]\n", stderr);
		return 2;
	}
	int n = argc > 2 ? atoi(argv[2]) : 200;
	launcher.assign(argv + std::min(argc, 3), argv + argc);
	std::vector<double> plain, observed, cpus;
	for (int i = 0; i < n; i++)
		for (bool observe : {false, true}) {
			bool seen;
			double s = once(argv[1], observe, &seen);
			if (s < 0 || !seen) {
				fprintf(stderr, "observe_cost: %s did not run%s\n", argv[1],
				        seen ? "" : " under the observer");
				return 1;
			}
			(observe ? observed : plain).push_back(s);
			if (observe)
				cpus.push_back(cpu);
		}
	double a = median(plain), b = median(observed);
	printf("%d runs each: %.3f ms without the observer, %.3f ms with it, %+.3f ms; "
	       "%u calls stopped in a run; %.3f ms of processor time in run() with it\n",
	       n, a * 1e3, b * 1e3, (b - a) * 1e3, calls, median(cpus) * 1e3);
	return 0;
}
