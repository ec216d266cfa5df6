// The report in JUnit XML.
#ifndef SUITE_REPORT_JUNIT_H
#define SUITE_REPORT_JUNIT_H

#include "suite/record/record.h"

#include <cstdio>

void report_junit(FILE *f, const record &r);

#endif
