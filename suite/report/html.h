// The matrix as one web page.
#ifndef SUITE_REPORT_HTML_H
#define SUITE_REPORT_HTML_H

#include "suite/record/record.h"

#include <cstdio>

void report_html(FILE *f, const matrix &m);

#endif
