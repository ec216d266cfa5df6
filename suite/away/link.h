// A guest the runner hands the plan to and hears raw results from: a
// machine booted with the runner as its init, or the runner on another
// machine over ssh. One process here carries it (qemu, a user-mode
// kernel, ssh), started under a keeper (check/harness/keeper.h) that ends
// whatever it leaves, in any session or group; its messages are the
// console, the guest's records come over the wire, and what the guest
// needs may be fed to it.
#ifndef SUITE_AWAY_LINK_H
#define SUITE_AWAY_LINK_H

#include "check/harness/waits.h"
#include "suite/plan/scenarios.h"
#include "suite/record/record.h"
#include "suite/run/here.h"

#include <map>

#include <string>
#include <sys/types.h>
#include <vector>

struct away_link {
	pid_t keeper = -1;  // holds the process and all it starts
	int notes = -1;     // the keeper's notes
	int console = -1;   // a pipe from its stdout and stderr, or stderr alone
	int wire = -1;      // the guest's records: a file the machine writes, or a pipe
	bool wire_pipe = false;
	int feed = -1;  // a pipe to its stdin, fed from feeding
	std::string feeding;
	std::size_t fed = 0;
	bool gentle = false;  // told to stop by closing its feed, not killed
	std::string console_text;
	guest_report g;
	bool ended = false;  // by itself, with its status
	int status = 0;
	bool stopped = false;  // the runner was told to stop
	double boot_seconds = 0;
	// A machine whose processors are this one's: its bounds move on by what
	// it waits for them.
	bool count_wait = false;
	waits looked;
};

// How long a link may take, in seconds: until the guest speaks, for the
// suite to run there, and to end after the last result.
struct bounds {
	double start, run = 240, end = 10;
};

// The bounds of a guest that is to speak within start seconds and runs
// its probes with the time scale given.
bounds bounds_for(double start, double time_scale);

// The plumbing of the process a link starts.
struct plumbing {
	bool feed = false;  // stdin from a pipe here; else /dev/null
	bool wire = false;  // stdout on the wire's pipe; else with stderr on the console
	int fd3 = -1;       // a descriptor of the runner's put on its descriptor 3
};

// A link to a guest that is to run plan, each of its lines with token.
away_link link_for(const std::vector<scenario> &plan, const std::string &token);

// Starts the process args name, with wire_file (when not empty) as the
// wire; false with why.
bool start_link(away_link &l, std::vector<std::string> args, const plumbing &p,
                const std::string &wire_file, std::string &why);

// Watches the link until the process ends, passes its bounds, breaks the
// wire, or the runner is told to stop; then it and all it started are
// ended and all it said is read. starting names what it does until the
// guest speaks.
void watch_link(away_link &l, const bounds &b, int stop_fd, const std::string &starting);

#endif
