// The terminal's line of progress, "[3/10 done, 12.3 s] waiting for ...",
// written over itself; shown only where stdout is a terminal.
#ifndef SUITE_RUN_PROGRESS_H
#define SUITE_RUN_PROGRESS_H

#include <chrono>
#include <string>

bool progress_shown();

// The line: count first when there is one, then the seconds since t0,
// then what goes on.
void show_progress(const std::string &count, std::chrono::steady_clock::time_point t0,
                   const std::string &what);

// The line cleared, once the work is done.
void end_progress();

#endif
