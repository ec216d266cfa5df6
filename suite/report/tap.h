// The report in TAP.
#ifndef SUITE_REPORT_TAP_H
#define SUITE_REPORT_TAP_H

#include "suite/record/record.h"

void report_tap(const record &r);

#endif
