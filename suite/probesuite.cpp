// probesuite: runs every probe the way its users start it, checks each
// transcript and exit status against the probe's contract, and reports.
//
// The data flows one way: the plan (the scenarios and the options), what
// happened (a run_result per run, made here or in a guest), how each run
// is judged and counted (the record), and the reports made from the
// record. Every run is recorded first and reported afterwards, in a fixed
// order, so the report reads the same whatever finished first.
#include "suite/away/guest.h"
#include "suite/away/needs.h"
#include "suite/away/ssh.h"
#include "suite/away/vm.h"
#include "suite/judge/tally.h"
#include "suite/matrix/run_matrix.h"
#include "suite/plan/options.h"
#include "suite/plan/prepare.h"
#include "suite/record/platform.h"
#include "suite/report/junit.h"
#include "suite/report/output.h"
#include "suite/report/tap.h"
#include "suite/report/terminal.h"
#include "suite/run/here.h"
#include "suite/run/signals.h"
#include "suite/run/start.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace
{

void list(const std::vector<scenario> &plan, const options &o)
{
	for (const scenario &s : plan) {
		std::string how = started(s);
		for (std::size_t i = 0; i < o.launcher.size(); i++)
			how += (i ? " " : "; through ") + o.launcher[i];
		printf("%-40s %s\n", title(s).c_str(), how.c_str());
	}
}

// What judging a run needs: the plan and options it ran by, and the
// record its tallies are in.
struct judging {
	const std::vector<scenario> &plan;
	const options &o;
	record &r;
	std::mutex lock;  // over r's scenarios
};

// Judges the nth run of scenario i and counts it into the record.
void judge_run(judging &to, std::size_t i, int nth, run_result &&got)
{
	verdict v;
	judgement j = judge(to.plan[i], got, to.o, stopped(), v);
	values seen = varying(to.plan[i], got, v);
	std::lock_guard<std::mutex> hold(to.lock);
	fold(to.r.scenarios[i], nth, std::move(got), std::move(j), seen);
}

// The run's record as the reports take it, and the status it gives.
int write_reports(const record &r, const options &o, int junit, int json)
{
	int status = exit_status(r);
	bool written = write_output(junit, o.junit, [&](FILE *f) { report_junit(f, r); });
	written &= write_output(json, o.json, [&](FILE *f) { fputs(json_record(r).c_str(), f); });
	if (!written)
		status = status_output;
	if (o.tap)
		report_tap(r);
	else
		report(r, o.quiet, in_colour());
	return status;
}

}  // namespace

int main(int argc, char **argv)
{
	int guest = is_guest() ? become_init(argc, argv) : -1;  // a kernel check's init
	start st = settle_start();
	catch_signals();
	options o;
	std::vector<scenario> plan;
	std::string why;
	if (!parse(argc, argv, o, from_command_line, why))
		bad_usage(why);
	if (!o.platforms.empty() || !o.compare.empty())
		return finish(run_matrix(o), st.stdout_closed);
	if (!prepare(o, plan, why))
		bad_usage(why);
	if (o.list) {
		list(plan, o);
		return finish(0, st.stdout_closed);
	}
	if (!check_away_usage(plan, o, why))
		bad_usage(why);
	int junit = open_output(o.junit), json = open_output(o.json);
	if (guest >= 0 || o.raw) {  // a guest's results go out on its line, or stdout
		if (guest < 0)
			stop_at_end_of_stdin();
		run_as_guest(guest >= 0 ? guest : 1, plan, o, stop_fd());
		return 0;  // and a guest's machine powers off
	}

	record r;
	r.on = this_platform(plan, o);
	r.on.limits = st.limits;
	r.repeat = o.repeat;
	r.scenarios = tallies(plan);
	judging j{plan, o, r, {}};
	take_run take = std::bind_front(judge_run, std::ref(j));
	r.seconds = !o.kernel.empty() ? run_in_vm(plan, o, stop_fd(), take, r.on)
	            : !o.ssh.empty()  ? run_over_ssh(plan, o, stop_fd(), take, r.on)
	                              : run_here(plan, o, stop_fd(), take);
	return finish(write_reports(r, o, junit, json), st.stdout_closed);
}
