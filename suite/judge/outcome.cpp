#include "suite/judge/outcome.h"

namespace
{

constexpr outcome_form forms[] = {
        {outcome::ok, "ok", "ok", "\033[32m", 0, 0, true, nullptr, false, nullptr},
        {outcome::unverified, "ok unverified", "ok unverified", "\033[36m", 1, 0, true,
         "unverified", false, nullptr},
        {outcome::broken, "BROKEN", "broken", "\033[1;31m", 3, status_broken, false, nullptr, false,
         "failure"},
        {outcome::unarranged, "could not arrange", "could not arrange", "\033[33m", 2,
         status_unarranged, true, "SKIP could not arrange", false, "skipped"},
        {outcome::interrupted, "interrupted", "interrupted", "\033[33m", 2, status_unarranged,
         false, nullptr, false, "error"},
        // Listed as expected: not run against the contract's verdict.
        {outcome::known, "known difference", "known difference", "\033[32m", 3, 0, false,
         "TODO known difference", true, "skipped"},
        {outcome::no_longer, "no longer differs", "no longer differs", "\033[32m", 0, 0, true,
         "TODO no longer differs", true, nullptr},
};

constexpr bool in_order()
{
	for (int i = 0; i < (int)(sizeof forms / sizeof *forms); i++)
		if ((int)forms[i].o != i)
			return false;
	return true;
}
static_assert(in_order(), "the table is indexed by outcome");

}  // namespace

const outcome_form &form(outcome o)
{
	return forms[(int)o];
}

std::span<const outcome_form> every_form()
{
	return forms;
}

bool outcome_named(const std::string &name, outcome &o)
{
	for (const outcome_form &f : forms)
		if (name == f.name) {
			o = f.o;
			return true;
		}
	return false;
}

int worse_status(int status, outcome o)
{
	int s = form(o).status;
	return status == status_broken || s == 0 ? status : s;
}
