// Judging one run of a scenario: what its premise, its transcript, its
// exit status and what it left behind say about the platform.
#include "suite/judge/judge.h"

#include <cstring>

namespace
{

// Why a run that could not be judged against the contract went wrong;
// empty when it can be judged.
std::string fault(const run_result &r, std::size_t keep)
{
	std::string bound = std::to_string(keep >> 20) + " MiB";
	if (r.out_total > keep)
		return "stdout exceeded " + bound + " (" + std::to_string(r.out_total) +
		       " bytes written)";
	if (r.err_total > keep)
		return "stderr exceeded " + bound + " (" + std::to_string(r.err_total) +
		       " bytes written)";
	return r.meddled;
}

// The contract's verdict on r, and what else r says against the platform.
judgement judged(const scenario &s, const run_result &r, const options &o, verdict &v)
{
	judgement j;
	contract c = s.expect;
	c.max_seconds *= o.time_scale;
	std::string f = fault(r, run_opts().keep);
	v = check_contract(c, r);
	if (!f.empty())
		v = verdict{false, f, {}, {}};
	j.result = v.ok ? outcome::ok : outcome::broken;
	j.why = v.why;
	if (r.left > 0) {
		j.result = outcome::broken;
		j.why += (j.why.empty() ? "left " : "; and it left ") + std::to_string(r.left) +
		         (r.left == 1 ? " process" : " processes") +
		         " running after it ended (ended by the runner)";
	}
	// Patterns name the pid the probe must print; say which one it is.
	for (std::size_t at; (at = j.why.find("{=pid}")) != std::string::npos;)
		j.why.replace(at, 6, std::to_string(r.seen.pid));
	// Without descriptor 9001, where the runner could not see whether the
	// launcher passed it on: no verdict on the platform.
	if (s.fed && !v.ok && r.seen.fd_open < 0 && !o.launcher.empty() &&
	    check_contract(ductread("", true), r).ok) {
		j.result = outcome::unarranged;
		j.why = "descriptor 9001 did not reach the probe, and whether the launcher passed "
		        "it could not be seen: " +
		        (r.seen.why_not.empty() ? "its read was not seen" : r.seen.why_not);
	}
	return j;
}

}  // namespace

judgement judge(const scenario &s, const run_result &r, const options &o, int signal, verdict &v)
{
	judgement j;
	v = verdict();
	if (r.interrupted) {
		const char *sig = signal ? sigabbrev_np(signal) : nullptr;
		j.why = std::string("the run was stopped by SIG") + (sig ? sig : "?");
	} else if (!r.setup.empty() || !r.busy.empty()) {
		j.result = outcome::unarranged;
		j.why = r.setup.empty() ? r.busy : r.setup;
	} else {
		j = judged(s, r, o, v);
	}
	// An ok with a reason rests on what the runner could not check.
	if (j.result == outcome::ok && !j.why.empty())
		j.result = outcome::unverified;
	// A listed scenario that broke its contract is a known difference;
	// one that kept it no longer differs. One that could not be arranged
	// or was interrupted was not judged, so it stays so; and one that kept
	// it unverified stays so too, as that is no ground to drop the listing.
	j.listed = s.listed;
	if (!s.listed.empty() && j.result == outcome::broken)
		j.result = outcome::known;
	else if (!s.listed.empty() && j.result == outcome::ok)
		j.result = outcome::no_longer;
	return j;
}
