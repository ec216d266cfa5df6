// The initramfs of a kernel check.
#ifndef SUITE_AWAY_INITRAMFS_H
#define SUITE_AWAY_INITRAMFS_H

#include "suite/plan/options.h"
#include "suite/plan/scenarios.h"

#include <string>
#include <vector>

// Writes the initramfs to path; false with why when it
// cannot.
bool make_initramfs(const std::string &path, const std::vector<scenario> &plan, const options &o,
                    const std::string &token, std::string &why);

#endif
