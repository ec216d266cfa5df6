// The child's word to run() before it execs: a socket pair whose first
// note always comes, carrying the filter's listener when there is one, and
// a second one when a later step of the child's set-up fails. The child's
// side is async-signal-safe, as it runs between fork and exec.
#ifndef CHECK_HARNESS_CHANNEL_H
#define CHECK_HARNESS_CHANNEL_H

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// What the child could not do before exec.
enum child_step {
	step_redirect,  // 0, 1 and 2
	step_fd_limit,  // the open-file limit for descriptor a; b is the hard limit
	step_place,     // dup2 onto descriptor a
	step_limit,     // resource a to value b
	step_exec,
};

struct child_note {
	int step = 0;  // note_first: the first word; else a child_step
	int err = 0;
	long a = 0, b = 0;
};

inline constexpr int note_first = -1;

struct channel {
	int parent = -1, child = -1;
};

// Before fork: the socket pair, its child's end clear of 0, 1, 2 and of
// the targets of fds ({target, source} pairs the child will place). False,
// with why set, when it cannot be made.
bool channel_open(channel &c, const std::vector<std::pair<int, int>> &fds, std::string &why);

// In the child: sends n, and the descriptor fd when it is not -1. Should
// that fail with fd, the child exits with 127, as nobody would answer the
// filter.
void send_note(const channel &c, const child_note &n, int fd);

// In the child: tells the parent which step failed.
void send_failure(const channel &c, child_step step, int err, long a = 0, long b = 0);

// In the parent: reads a note; the descriptor, when one came with it, into
// *fd (n.err is -EMFILE when it did not fit). 0 at the end, -1 on an error
// or when nothing is there yet.
ssize_t recv_note(const channel &c, child_note &n, int *fd, int flags);

// Why the child could not run program, as the failed step n tells it.
std::string step_failed(const child_note &n, const std::string &program);

void channel_close(channel &c);

#endif
