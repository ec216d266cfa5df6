// Checking the platforms of a platforms file side by side.
#ifndef SUITE_MATRIX_SIDE_BY_SIDE_H
#define SUITE_MATRIX_SIDE_BY_SIDE_H

#include "suite/matrix/platforms.h"
#include "suite/record/record.h"

#include <vector>

// Checks every platform side by side, each by a runner of its own, at
// most a processor's worth of heavy ones at once. stop_fd passes a signal
// on to every runner, whose records then show what finished.
matrix run_platforms(const std::vector<platform_line> &platforms, int stop_fd);

#endif
