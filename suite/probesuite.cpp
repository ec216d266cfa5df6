// probesuite: runs every probe the way its users start it, checks each
// transcript and exit status against the probe's contract, and reports.
//
// The data flows one way: the plan (the scenarios and the options), what
// happened (a run_result per run, made here or in a guest), how each run
// is judged and counted (the record), and the reports made from the
// record. Every run is recorded first and reported afterwards, in a fixed
// order, so the report reads the same whatever finished first.
#include "suite/options.h"
#include "suite/plan.h"
#include "suite/platform.h"
#include "suite/report.h"
#include "suite/runs.h"
#include "suite/start.h"
#include "suite/vm.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace
{

std::string own_dir(const char *argv0)
{
	char buf[4096];
	ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
	std::string self = n > 0 ? std::string(buf, n) : std::string(argv0);
	std::size_t slash = self.rfind('/');
	return slash == std::string::npos ? "." : slash == 0 ? "/" : self.substr(0, slash);
}

// The scenarios the options choose, with the expectations file's reasons.
std::vector<scenario> chosen(const options &o)
{
	std::vector<scenario> all = standard(), plan;
	if (!o.expect.empty())
		read_expectations(o.expect, all);
	for (const std::string &name : o.only)
		if (std::none_of(all.begin(), all.end(),
		                 [&](const scenario &s) { return s.probe == name; }))
			bad_usage("no probe is called '" + name + "'");
	for (scenario &s : all)
		if (o.only.empty() ||
		    std::find(o.only.begin(), o.only.end(), s.probe) != o.only.end())
			plan.push_back(std::move(s));
	return plan;
}

void list(const std::vector<scenario> &plan, const options &o)
{
	for (const scenario &s : plan) {
		std::string how = started(s);
		for (std::size_t i = 0; i < o.launcher.size(); i++)
			how += (i ? " " : "; through ") + o.launcher[i];
		printf("%-40s %s\n", title(s).c_str(), how.c_str());
	}
}

// A file a report goes to: opened before anything runs, so that a name
// that cannot be written is a usage error, but emptied only when the
// report is written.
int open_output(const std::string &path)
{
	if (path.empty())
		return -1;
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
	if (fd < 0)
		bad_usage("cannot write " + path + ": " + strerror(errno));
	return fd;
}

// Writes a report into the file; false with errno when it could not.
bool write_output(int fd, const record &r, bool json)
{
	if (ftruncate(fd, 0) != 0 && errno != EINVAL)  // EINVAL: a pipe or a terminal
		return false;
	FILE *f = fdopen(fd, "w");
	if (!f)
		return false;
	if (json) {
		std::string text = json_record(r);
		fwrite(text.data(), 1, text.size(), f);
	} else {
		report_junit(f, r);
	}
	int e = ferror(f) ? EIO : 0;
	if (fflush(f) != 0 && !e)
		e = errno;
	if (fclose(f) != 0 && !e)
		e = errno;
	errno = e;
	return e == 0;
}

}  // namespace

int main(int argc, char **argv)
{
	int guest = is_guest() ? become_init(argc, argv) : -1;  // a kernel check's init
	start st = settle();
	catch_signals();
	options o;
	parse(argc, argv, o);
	if (o.dir.empty())
		o.dir = own_dir(argv[0]);
	if (!o.launcher.empty() && o.ssh.empty()) {  // over ssh it runs there
		std::string path = find_program(o.launcher[0]);
		if (path.empty())
			bad_usage("cannot find the launcher '" + o.launcher[0] + "'");
		o.launcher[0] = path;
	}
	std::vector<scenario> plan = chosen(o);
	if (o.list) {
		list(plan, o);
		return finish(0, st.stdout_closed);
	}
	if (!o.kernel.empty())
		check_vm_usage(plan, o);
	if (!o.ssh.empty())
		need_static(plan, o, "to another machine", "--ssh");
	int junit = open_output(o.junit), json = open_output(o.json);
	if (guest >= 0) {
		run_as_guest(guest, plan, o, stop_fd());
		return 0;  // and the machine powers off
	}
	if (o.raw) {
		stop_at_end_of_stdin();
		run_as_guest(1, plan, o, stop_fd());
		return 0;
	}

	record r;
	r.on = here(plan, o);
	r.on.limits = st.limits;
	r.repeat = o.repeat;
	for (const scenario &s : plan) {
		tally &t = r.scenarios.emplace_back();
		t.title = title(s);
		t.probe = s.probe;
	}
	std::mutex lock;  // over r's scenarios
	take_run take = [&](std::size_t i, int nth, run_result &&got) {
		verdict v;
		judgement j = judge(plan[i], got, o, stopped(), v);
		values seen = varying(plan[i], got, v);
		std::lock_guard<std::mutex> hold(lock);
		fold(r.scenarios[i], nth, std::move(got), std::move(j), seen);
	};
	r.seconds = !o.kernel.empty() ? run_in_vm(plan, o, stop_fd(), take, r.on)
	            : !o.ssh.empty()  ? run_over_ssh(plan, o, stop_fd(), take, r.on)
	                              : run_here(plan, o, stop_fd(), take);

	int status = exit_status(r);
	for (auto [fd, path, is_json] : {std::tuple{junit, o.junit, false}, {json, o.json, true}})
		if (fd >= 0 && !write_output(fd, r, is_json)) {
			fprintf(stderr, "probesuite: cannot write %s: %s\n", path.c_str(),
			        strerror(errno));
			status = status_output;
		}
	bool colour = isatty(1) && !getenv("NO_COLOR");
	if (o.tap)
		report_tap(r);
	else
		report(r, o.quiet, colour);
	return finish(status, st.stdout_closed);
}
