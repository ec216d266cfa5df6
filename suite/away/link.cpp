#include "suite/away/link.h"
#include "check/harness/keeper.h"
#include "suite/text.h"

#include <algorithm>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

// The console's last lines, without control characters, on one line.
std::string last_lines(const std::string &console, const std::string &whose)
{
	std::vector<std::string> lines;
	std::string l;
	for (std::size_t i = 0; i <= console.size(); i++) {
		char c = i < console.size() ? console[i] : '\n';
		if (c == '\033') {  // a terminal sequence: up to its final letter
			while (i + 1 < console.size() && !isalpha((unsigned char)console[i + 1]))
				i++;
			i++;
		} else if (c == '\n' || c == '\r') {
			// Without the kernel's time stamp, "[    2.574430] ".
			std::size_t from = 0;
			if (l.starts_with("[") && l.find("] ") != std::string::npos &&
			    l.find_first_not_of(" 0123456789.", 1) == l.find("] "))
				from = l.find("] ") + 2;
			from = l.find_first_not_of(' ', from);
			if (from != std::string::npos)
				lines.push_back(l.substr(from));
			l.clear();
		} else if ((unsigned char)c >= 0x20 && c != 0x7f) {
			l += c;
		}
	}
	if (lines.empty())
		return whose + " stayed silent";
	// A panic's register dump ends the console: name the panic first.
	std::string tail;
	for (const std::string &line : lines)
		if (line.starts_with("Kernel panic - "))
			tail = line + "; ";
	tail += whose + "'s last lines: ";
	std::size_t from = lines.size() > 4 ? lines.size() - 4 : 0;
	for (std::size_t i = from; i < lines.size(); i++)
		tail += (i == from ? "" : " | ") + lines[i];
	return tail;
}

bool start_link(away_link &l, std::vector<std::string> args, const plumbing &p,
                const std::string &wire_file, std::string &why)
{
	int console[2] = {-1, -1}, wire[2] = {-1, -1}, feed[2] = {-1, -1};
	bool made = pipe2(console, O_CLOEXEC) == 0 && (!p.wire || pipe2(wire, O_CLOEXEC) == 0) &&
	            (!p.feed || pipe2(feed, O_CLOEXEC) == 0);
	if (made && !wire_file.empty())
		l.wire = open(wire_file.c_str(), O_RDONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	if (!made || (!wire_file.empty() && l.wire < 0)) {
		why = std::string("cannot make the guest's channel: ") + strerror(errno);
		for (int fd : {console[0], console[1], wire[0], wire[1], feed[0], feed[1]})
			if (fd >= 0)
				close(fd);
		return false;
	}
	std::vector<char *> argv;
	argv.reserve(args.size() + 1);
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	if (p.feed)
		posix_spawn_file_actions_adddup2(&fa, feed[0], 0);
	else
		posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_adddup2(&fa, p.wire ? wire[1] : console[1], 1);
	posix_spawn_file_actions_adddup2(&fa, console[1], 2);
	if (p.fd3 >= 0)
		posix_spawn_file_actions_adddup2(&fa, p.fd3, 3);
	posix_spawnattr_t at;
	posix_spawnattr_init(&at);
	if (p.group) {
		posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP);
		posix_spawnattr_setpgroup(&at, 0);
	}
	int e = posix_spawn(&l.pid, argv[0], &fa, &at, argv.data(), environ);
	posix_spawnattr_destroy(&at);
	posix_spawn_file_actions_destroy(&fa);
	for (int fd : {console[1], wire[1], feed[0]})
		if (fd >= 0)
			close(fd);
	l.console = console[0];
	if (p.wire)
		l.wire = wire[0];
	l.wire_pipe = p.wire;
	l.feed = feed[1];
	for (int fd : {l.wire, l.feed})
		if (fd >= 0)
			fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
	l.group = p.group && e == 0;
	if (e != 0) {
		why = "cannot start " + args[0] + ": " + strerror(e);
		return false;
	}
	return true;
}

namespace
{

// Reads what the console and the wire hold now, each byte once, and feeds
// what the guest can take; waits up to ms for any of them. (A file is
// always readable: the wire is read each time, but waited for only when a
// pipe.)
void drain(away_link &l, int ms)
{
	bool feeding = l.feed >= 0 && l.fed < l.feeding.size();
	pollfd p[3] = {{l.console, POLLIN, 0},
	               {l.wire_pipe ? l.wire : -1, POLLIN, 0},
	               {feeding ? l.feed : -1, POLLOUT, 0}};
	if (poll(p, 3, ms) < 0)
		return;
	char buf[65536];
	if (p[0].revents) {
		ssize_t n = read(l.console, buf, sizeof buf);
		if (n > 0)
			l.console_text.append(buf, n);
		else if (n == 0 || errno != EINTR) {
			close(l.console);
			l.console = -1;
		}
	}
	if (l.console_text.size() > 65536)
		l.console_text.erase(0, l.console_text.size() - 65536);
	for (ssize_t n; l.wire >= 0 && (n = read(l.wire, buf, sizeof buf)) > 0;)
		read_wire(l.g, buf, n);
	while (l.feed >= 0 && l.fed < l.feeding.size()) {
		ssize_t n = write(l.feed, l.feeding.data() + l.fed, l.feeding.size() - l.fed);
		if (n <= 0) {
			if (n < 0 && errno != EAGAIN && errno != EINTR) {
				close(l.feed);  // the guest went away; its end says why
				l.feed = -1;
			}
			break;
		}
		l.fed += n;
	}
}

void close_feed(away_link &l)
{
	if (l.feed >= 0)
		close(l.feed);
	l.feed = -1;
}

}  // namespace

void watch_link(away_link &l, const bounds &b, int stop_fd, const std::string &starting)
{
	auto t0 = std::chrono::steady_clock::now();
	bool progress = isatty(1);
	// Each phase (starting, running, ending) has its span, moved on by what
	// a machine waited for a processor here meanwhile, up to 4 times it.
	// (Its runner sees such a wait as its own stop, and moves its probes'
	// limits on by as much.)
	double from = 0, span = b.start, waited = 0, wait_from = 0;
	bool done = false;
	while (!l.ended) {
		drain(l, 100);
		double t = seconds_since(t0);
		if (l.count_wait)
			waited += (double)held_back(l.looked, getpid(), now_ns()) / 1e9;
		auto phase = [&](double length) {
			from = t;
			span = length;
			wait_from = waited;
		};
		if (l.g.ready && l.boot_seconds == 0) {
			l.boot_seconds = t;
			phase(b.run);
		}
		if (l.g.done && !done) {
			done = true;
			phase(b.end);
			close_feed(l);
		}
		if (progress) {
			printf("\r[%s s] %s\033[K", fixed(t, 1).c_str(),
			       !l.g.ready  ? starting.c_str()
			       : !l.g.done ? "the suite runs in the guest"
			                   : "the guest ends");
			fflush(stdout);
		}
		pollfd stop{stop_fd, POLLIN, 0};
		if (!l.stopped && stop_fd >= 0 && poll(&stop, 1, 0) > 0) {
			// A gentle guest ends its probes, says so and cleans up
			// when its feed ends.
			l.stopped = true;
			close_feed(l);
			if (!l.gentle)
				break;
			phase(b.end);
		}
		l.ended = waitpid(l.pid, &l.status, WNOHANG) == l.pid;
		if (t > from + span + std::min(waited - wait_from, 3 * span))
			break;
	}
	if (progress)
		printf("\r\033[K");
	close_feed(l);
	if (!l.ended) {
		kill(l.pid, SIGKILL);
		waitpid(l.pid, &l.status, 0);
	}
	// The rest of its group were its children, and are this subreaper's
	// now.
	if (l.group && kill(-l.pid, SIGKILL) == 0)
		while (waitpid(-l.pid, nullptr, 0) > 0 || errno == EINTR)
			;
	// What came after it ended is still in the pipes and the file.
	for (int i = 0; l.console >= 0 && i < 20; i++)
		drain(l, 100);
	drain(l, 0);
	for (int fd : {l.console, l.wire})
		if (fd >= 0)
			close(fd);
	l.console = l.wire = -1;
}

std::string missing(const away_link &l, const bounds &b, const std::string &where,
                    const std::string &what, const std::string &whose)
{
	std::string how =
	        !l.ended ? ""
	        : WIFEXITED(l.status)
	                ? what + " ended with status " + std::to_string(WEXITSTATUS(l.status))
	                : what + " was killed by signal " + std::to_string(WTERMSIG(l.status));
	std::string why;
	if (!l.g.ready)
		why = l.ended ? "the suite did not start " + where + " (" + how + ")"
		              : "the suite did not start " + where + " within " +
		                        fixed(b.start, 0) + " s";
	else
		why = l.ended ? "the guest stopped before it sent this result (" + how + ")"
		              : "the suite " + where + " did not finish within " + fixed(b.run, 0) +
		                        " s";
	return why + "; " + last_lines(l.console_text, whose);
}

void hand_on(const std::vector<scenario> &plan, away_link &l, const std::string &why,
             const take_run &take)
{
	for (std::size_t i = 0; i < plan.size(); i++) {
		auto got = l.g.results.find(title(plan[i]));
		run_result r;
		if (got != l.g.results.end())
			r = std::move(got->second);
		else if (l.stopped)
			r.interrupted = true;
		else
			r.setup = why.empty() ? "the guest sent no result for it" : why;
		take(i, 0, std::move(r));
	}
}

void unarranged(const std::vector<scenario> &plan, const take_run &take, const std::string &why)
{
	for (std::size_t i = 0; i < plan.size(); i++) {
		run_result r;
		r.setup = why;
		take(i, 0, std::move(r));
	}
}
