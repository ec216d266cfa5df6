// The guest side of a kernel check: the runner started as the guest's
// init, and the records it sends back to the host.
//
// The channel carries lines of "KEY VALUE". The value is the rest of the
// line, with '%', control bytes and bytes above 0x7e written as %XX. The
// guest says who it is, then sends a record per scenario:
//
//	probesuite-guest 1
//	release 6.1.0-57-cloud-amd64
//	cpus 2
//	scenario ductopen
//	pid 61
//	...
//	end
//	done
//
// A reader skips keys it does not know, so a field is added by sending
// one more key.
#include "suite/vm.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

bool in_guest = false;

namespace
{

int channel = -1;

std::string escape(const std::string &s)
{
	std::string e;
	for (unsigned char c : s)
		if (c < 0x20 || c > 0x7e || c == '%') {
			char hex[4];
			snprintf(hex, sizeof hex, "%%%02X", c);
			e += hex;
		} else {
			e += (char)c;
		}
	return e;
}

std::string unescape(const std::string &s)
{
	std::string u;
	for (std::size_t i = 0; i < s.size(); i++)
		if (s[i] == '%' && i + 2 < s.size() && isxdigit((unsigned char)s[i + 1]) &&
		    isxdigit((unsigned char)s[i + 2])) {
			u += (char)strtol(s.substr(i + 1, 2).c_str(), nullptr, 16);
			i += 2;
		} else {
			u += s[i];
		}
	return u;
}

std::string field(const std::string &key, const std::string &value)
{
	return key + " " + escape(value) + "\n";
}

void send(const std::string &text)
{
	for (std::size_t at = 0; at < text.size();) {
		ssize_t n = write(channel, text.data() + at, text.size() - at);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;  // the host sees the record end short
		at += n;
	}
}

void power_off()
{
	sync();
	reboot(RB_POWER_OFF);
}

void must_mount(const char *source, const char *target, const char *type, const char *data)
{
	mkdir(target, 0755);
	if (mount(source, target, type, 0, data) != 0)
		fprintf(stderr, "probesuite: cannot mount %s on %s: %s\n", type, target,
		        strerror(errno));
}

}  // namespace

// Makes this process the guest's init: mounts what the probes need, opens
// the channel to the host, says who it is, and takes its arguments from
// the file the host left. The machine powers off when it exits.
void become_init(int &argc, char **&argv)
{
	in_guest = true;
	atexit(power_off);
	must_mount("proc", "/proc", "proc", nullptr);
	must_mount("devtmpfs", "/dev", "devtmpfs", nullptr);
	must_mount("devpts", "/dev/pts", "devpts", "ptmxmode=0666");

	channel = open(GUEST_CHANNEL, O_WRONLY | O_NOCTTY | O_CLOEXEC);
	termios t;
	if (channel < 0 || tcgetattr(channel, &t) != 0) {
		fprintf(stderr, "probesuite: cannot open %s: %s\n", GUEST_CHANNEL, strerror(errno));
		exit(1);
	}
	cfmakeraw(&t);
	tcsetattr(channel, TCSANOW, &t);
	utsname u;
	uname(&u);
	send(field("probesuite-guest", "1") + field("release", u.release) +
	     field("cpus", std::to_string(sysconf(_SC_NPROCESSORS_ONLN))));

	static std::vector<char *> args{argv[0]};
	static std::string text;
	FILE *f = fopen("/" GUEST_ARGS, "r");
	if (!f) {
		fprintf(stderr, "probesuite: cannot read /%s: %s\n", GUEST_ARGS, strerror(errno));
		exit(1);
	}
	for (int c; (c = getc(f)) != EOF;)
		text += (char)c;
	fclose(f);
	for (std::size_t at = 0; at < text.size(); at = text.find('\0', at) + 1)
		args.push_back(&text[at]);
	args.push_back(nullptr);
	argc = (int)args.size() - 1;
	argv = args.data();
}

// A scenario's raw result as a record. One that could not be arranged
// before it ran sends why as its setup, so the host sees it as such.
std::string record(const scenario &s)
{
	const run_result &r = s.got;
	std::string times;
	for (auto [at, when] : r.out_times)
		times += std::to_string(at) + "@" + fixed(when, 6) + " ";
	return field("scenario", title(s)) +
	       field("setup",
	             r.setup.empty() && s.result == outcome::unarranged ? s.why : r.setup) +
	       field("pid", std::to_string(r.pid)) + field("exited", std::to_string(r.exited)) +
	       field("code", std::to_string(r.code)) + field("signal", std::to_string(r.signal)) +
	       field("timed_out", std::to_string(r.timed_out)) +
	       field("seconds", fixed(r.seconds, 6)) + field("out", r.out) + field("err", r.err) +
	       field("out_times", times) + field("seen_asked", std::to_string(r.seen.asked)) +
	       field("seen_watching", std::to_string(r.seen.watching)) +
	       field("seen_why_not", r.seen.why_not) +
	       field("seen_ran", std::to_string(r.seen.ran)) +
	       field("seen_pid", std::to_string(r.seen.pid)) +
	       field("seen_fd_open", std::to_string(r.seen.fd_open)) +
	       field("seen_calls", std::to_string(r.seen.calls)) + field("end", "");
}

void send_results(const std::vector<scenario *> &list)
{
	for (const scenario *s : list)
		send(record(*s));
	send(field("done", ""));
	tcdrain(channel);
}

// Reads what the guest sent; a record cut short is left out.
guest_report read_report(const std::string &wire)
{
	guest_report g;
	run_result r;
	std::string name;
	bool open = false;
	for (std::size_t at = 0; at < wire.size();) {
		std::size_t nl = wire.find('\n', at);
		if (nl == std::string::npos)
			break;  // a line still on its way
		std::string line = wire.substr(at, nl - at);
		at = nl + 1;
		std::size_t sp = line.find(' ');
		std::string key = line.substr(0, sp);
		std::string value = sp == std::string::npos ? "" : unescape(line.substr(sp + 1));
		long n = atol(value.c_str());
		if (key == "probesuite-guest")
			g.ready = true;
		else if (key == "release")
			g.release = value;
		else if (key == "cpus")
			g.cpus = (int)n;
		else if (key == "done")
			g.done = true;
		else if (key == "scenario") {
			r = run_result();
			name = value;
			open = true;
		} else if (!open)
			continue;
		else if (key == "end") {
			g.results[name] = r;
			open = false;
		} else if (key == "setup")
			r.setup = value;
		else if (key == "pid")
			r.pid = (pid_t)n;
		else if (key == "exited")
			r.exited = n != 0;
		else if (key == "code")
			r.code = (int)n;
		else if (key == "signal")
			r.signal = (int)n;
		else if (key == "timed_out")
			r.timed_out = n != 0;
		else if (key == "seconds")
			r.seconds = atof(value.c_str());
		else if (key == "seen_asked")
			r.seen.asked = n != 0;
		else if (key == "seen_watching")
			r.seen.watching = n != 0;
		else if (key == "seen_why_not")
			r.seen.why_not = value;
		else if (key == "seen_ran")
			r.seen.ran = n != 0;
		else if (key == "seen_pid")
			r.seen.pid = (pid_t)n;
		else if (key == "seen_fd_open")
			r.seen.fd_open = (int)n;
		else if (key == "seen_calls")
			r.seen.calls = (unsigned)n;
		else if (key == "out")
			r.out = value;
		else if (key == "err")
			r.err = value;
		else if (key == "out_times")
			for (std::size_t from = 0, sp2;
			     (sp2 = value.find(' ', from)) != std::string::npos; from = sp2 + 1) {
				std::string pair = value.substr(from, sp2 - from);
				std::size_t a = pair.find('@');
				if (a != std::string::npos)
					r.out_times.push_back({strtoul(pair.c_str(), nullptr, 10),
					                       atof(pair.c_str() + a + 1)});
			}
	}
	return g;
}
