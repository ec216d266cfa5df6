// The guest side of a kernel check or of a run over ssh: the runner
// itself, started as init or by a shell on another machine, which runs the
// scenarios and sends their raw results, to be judged on the host as any
// run here is.
#ifndef SUITE_AWAY_GUEST_H
#define SUITE_AWAY_GUEST_H

#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"

#include <string>
#include <vector>

// Where the guest's files are, from its root, and the channel its results
// go over.
#define GUEST_ARGS "probesuite.args"
#define GUEST_DIR "probes"
#define GUEST_CHANNEL "/dev/ttyS1"
// The kernel command line's word that hands the guest's init a token,
// which init finds in the environment as GUEST_TOKEN; a runner over ssh
// finds it there too. Every line the guest sends carries it.
#define GUEST_TOKEN "probesuite_guest"

// A fresh random token: a guest proves itself by holding it on its kernel
// command line and in its arguments' file.
std::string guest_token();

// Whether this process is a kernel check's init, on proof: pid 1, the
// token on the kernel command line and the same one in the arguments'
// file. A runner that is pid 1 anywhere else (a container's entrypoint, a
// new pid namespace) runs as asked.
bool is_guest();

// Makes this process the guest's init: mounts what the probes need, opens
// the channel to the host, and takes its arguments from the file the host
// left. Returns the channel. The machine
// powers off when the process exits.
int become_init(int &argc, char **&argv);

// Says who it is over the channel, then runs the plan and sends each raw
// result as it comes, each line with the token GUEST_TOKEN names in the
// environment (none when it is not set).
void run_as_guest(int channel, const std::vector<scenario> &plan, const options &o, int stop_fd);

// When standard input ends (the host went away, or wants the run to stop),
// stops the run as a SIGHUP would.
void stop_at_end_of_stdin();

#endif
