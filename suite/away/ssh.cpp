// Running the suite on another machine over ssh: one connection carries
// the static runner and probes, a shell there puts them in a fresh folder
// and runs the runner with --raw, whose records come back on ssh's
// standard output to be judged here. The folder goes when the runner
// ends, also when the connection is lost or the run is stopped: the
// remote runner stops when its standard input ends.
//
// What the remote side needs: a POSIX shell with uname, mktemp, mkdir,
// head, chmod and rm.
#include "suite/away/ssh.h"
#include "check/harness/file.h"
#include "suite/away/guest.h"
#include "suite/away/hand_on.h"
#include "suite/away/link.h"
#include "suite/away/needs.h"
#include "suite/text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace
{

using sizes = std::vector<std::pair<std::string, std::size_t>>;

// The shell script that receives the files, each of its size, and runs
// the runner with args and the token its lines are to carry; the
// runner's status is the script's.
std::string script(const sizes &files, const std::vector<std::string> &args,
                   const std::string &token)
{
	std::string s = "case $(uname -sm) in \"Linux x86_64\") ;; *) echo \"probesuite: the "
	                "remote machine runs $(uname -sm), not Linux on x86-64\" >&2; exit 3;; "
	                "esac\n"
	                "d=$(mktemp -d) || exit 3\n"
	                "trap 'rm -rf \"$d\"' EXIT\n"
	                "trap 'exit 129' HUP; trap 'exit 130' INT; trap 'exit 143' TERM\n"
	                "mkdir \"$d/probes\" || exit 3\n";
	for (const auto &[name, size] : files)
		s += "head -c " + std::to_string(size) + " > \"$d/" + name + "\" || exit 3\n";
	s += "chmod 700 \"$d/probesuite\" \"$d\"/probes/* || exit 3\n";
	return s + GUEST_TOKEN "=" + token + " \"$d/probesuite\" --raw --dir \"$d/probes\" " +
	       shell_words(args) + "\n";
}

// The runner and the plan's probes, one after another in feeding, each by
// its name there and size in files; the probes' names in names.
void gather(const std::vector<scenario> &plan, const options &o, std::string &feeding, sizes &files,
            std::vector<std::string> &names, std::string &why)
{
	auto add = [&](const std::string &from, const std::string &as) {
		std::size_t before = feeding.size();
		if (!read_file(from, feeding) && why.empty())
			why = "cannot read " + from + ": " + strerror(errno);
		files.push_back({as, feeding.size() - before});
	};
	add(o.dir + "/probesuite", "probesuite");
	for (const scenario &s : plan)
		if (std::find(names.begin(), names.end(), s.probe) == names.end()) {
			names.push_back(s.probe);
			add(o.dir + "/" + s.probe, "probes/" + s.probe);
		}
}

// ssh running the script on o.ssh. The user's options first: for each
// option ssh takes the first value it is given.
std::vector<std::string> ssh_command(const std::string &ssh, const options &o,
                                     const std::string &script)
{
	std::vector<std::string> command = {ssh};
	for (const std::string &opt : o.ssh_options)
		command.insert(command.end(), {"-o", opt});
	command.insert(command.end(), {"-o", "BatchMode=yes", "-o", "ConnectTimeout=10", "-T", "--",
	                               o.ssh, "/bin/sh -c " + shell_words({script})});
	return command;
}

}  // namespace

double run_over_ssh(const std::vector<scenario> &plan, const options &o, int stop_fd,
                    const take_run &take, platform &on)
{
	auto t0 = std::chrono::steady_clock::now();
	on.kernel = on.machine = "";  // known once the remote runner speaks
	on.processors = 0;
	on.remote = o.ssh;
	std::string token = guest_token(), why;
	away_link l = link_for(plan, token);
	sizes files;
	std::vector<std::string> names;
	gather(plan, o, l.feeding, files, names, why);
	std::vector<std::string> args = {"--only", joined(names, ",")};
	for (const std::string &w : limit_options(o))
		args.push_back(w);
	if (!o.launcher.empty())
		args.insert(args.end(), {"--launcher", shell_words(o.launcher)});
	std::string ssh = find_program("ssh");
	if (why.empty() && ssh.empty())
		why = "ssh is not installed (Debian package openssh-client)";
	if (!why.empty()) {
		unarranged(plan, take, why);
		return seconds_since(t0);
	}

	plumbing p;
	p.feed = p.wire = true;
	l.gentle = true;
	bounds b = bounds_for(o.boot_timeout > 0 ? o.boot_timeout : 60, o.time_scale);
	if (start_link(l, ssh_command(ssh, o, script(files, args, token)), p, "", why))
		watch_link(l, b, stop_fd, "starting on " + o.ssh);
	if (hand_on(plan, l, b, {"on " + o.ssh, "ssh", "ssh"}, why, take, on))
		on.where = "Linux " + on.kernel + " on " + o.ssh + " over ssh, " +
		           counted(on.processors, "processor", "processors");
	return seconds_since(t0);
}
