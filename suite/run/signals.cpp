// SIGINT, SIGTERM and SIGHUP: the first has every scenario that is running
// end at once, its probe and whatever it started with it, and the report
// is printed with the rest marked as interrupted; a second one ends the
// runner at once (each keeper then ends its probe, as its parent is gone).
// And the end of the run: the report must have reached standard output.
#include "suite/run/signals.h"
#include "suite/judge/outcome.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Set once, read by every thread: relaxed suffices, as the pipe (whose
// write and poll order the rest) is what wakes them.
std::atomic<int> caught{0};
int stop[2] = {-1, -1};

void on_signal(int sig)
{
	int none = 0;
	if (!caught.compare_exchange_strong(none, sig, std::memory_order_relaxed))
		_exit(128 + sig);
	(void)!write(stop[1], "!", 1);
}

}  // namespace

void catch_signals()
{
	if (pipe2(stop, O_CLOEXEC) != 0) {
		perror("probesuite: pipe");
		exit(status_output);
	}
	struct sigaction act = {};
	act.sa_handler = on_signal;
	sigfillset(&act.sa_mask);
	for (int sig : {SIGINT, SIGTERM, SIGHUP})
		sigaction(sig, &act, nullptr);
}

int stop_fd()
{
	return stop[0];
}

int stopped()
{
	return caught.load(std::memory_order_relaxed);
}

int finish(int status, bool stdout_closed)
{
	int failed = fflush(stdout) != 0 ? errno : 0;
	if (stdout_closed || failed || ferror(stdout)) {
		fprintf(stderr, "probesuite: the report could not be written: %s\n",
		        stdout_closed ? "standard output is closed"
		        : failed      ? strerror(failed)
		                      : "a write to standard output failed");
		if (!stopped())
			return status_output;
	}
	return stopped() ? 128 + stopped() : status;
}
