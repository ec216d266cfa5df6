// The platform matrix's mode of the runner: --platforms or --compare.
#ifndef SUITE_MATRIX_RUN_MATRIX_H
#define SUITE_MATRIX_RUN_MATRIX_H

#include "suite/plan/options.h"

// --platforms or --compare, as the options ask; the exit status.
int run_matrix(options &o);

#endif
