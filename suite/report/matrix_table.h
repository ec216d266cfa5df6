// The matrix in the terminal, and every cell as a test of its own for TAP
// and JUnit.
#ifndef SUITE_REPORT_MATRIX_TABLE_H
#define SUITE_REPORT_MATRIX_TABLE_H

#include "suite/record/record.h"

// The table, the differences and a summary line; the table alone when
// quiet.
void report_matrix(const matrix &m, bool quiet, bool colour);
// A record of every cell, each titled "PLATFORM: TITLE", for TAP and JUnit.
record flattened(const matrix &m);
int matrix_status(const matrix &m);

#endif
