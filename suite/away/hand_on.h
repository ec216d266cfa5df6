// The end of a run elsewhere: every scenario taken once, with the guest's
// result or with why there is none.
#ifndef SUITE_AWAY_HAND_ON_H
#define SUITE_AWAY_HAND_ON_H

#include "suite/away/link.h"

#include <string>
#include <vector>

// Who a link's messages name: where the guest runs ("in the guest"), the
// process ("the machine") and whose console it is ("the console").
struct away_names {
	std::string where, what, whose;
};

// Takes every scenario of the plan once, once the link has ended: with
// the guest's result, or as interrupted when the runner was stopped, or
// with why there is none: why, else what broke or was refused on the
// wire, or how the process ended or which bound it passed, with its
// console's last lines. Then on holds the guest's kernel, machine and
// processors; false when it never spoke.
bool hand_on(const std::vector<scenario> &plan, away_link &l, const bounds &b, const away_names &n,
             std::string why, const take_run &take, platform &on);

// Every scenario taken with the same reason it could not be arranged.
void unarranged(const std::vector<scenario> &plan, const take_run &take, const std::string &why);

// The console's last lines, without control characters, on one line;
// whose names it ("the console").
std::string last_lines(const std::string &console, const std::string &whose);

#endif
