// The host side of a kernel check: an initramfs holding the static runner
// as /init and the static probes, a virtual machine that boots the kernel
// with it, and the guest's raw results handed on to be judged here as for
// any platform.
//
// The guest's console is the first serial port, read here through a pipe;
// its results come over the second, which the machine writes to a file.
// KVM is tried first where /dev/kvm opens; a machine that stops or hangs
// before init runs under KVM is started again with TCG.
#include "suite/vm.h"
#include "suite/platform.h"
#include "suite/runs.h"
#include "suite/text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

using clk = std::chrono::steady_clock;

// Bounds, in seconds: until the guest's init speaks (PROBESUITE_BOOT_TIMEOUT
// sets it), for the suite inside it, and for the machine to power off
// after the last result.
const double boot_bound_kvm = 10, boot_bound_tcg = 30, run_bound = 240, off_bound = 10;

// The console's last lines, without control characters, on one line.
std::string last_lines(const std::string &console)
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
		return "the console stayed silent";
	// A panic's register dump ends the console: name the panic first.
	std::string tail;
	for (const std::string &line : lines)
		if (line.starts_with("Kernel panic - "))
			tail = line + "; ";
	tail += "the console's last lines: ";
	std::size_t from = lines.size() > 4 ? lines.size() - 4 : 0;
	for (std::size_t i = from; i < lines.size(); i++)
		tail += (i == from ? "" : " | ") + lines[i];
	return tail;
}

// A machine started, and what it has said so far.
struct machine {
	pid_t pid = -1;
	int console = -1;  // a pipe from its first serial port
	int wire = -1;     // the file its second serial port writes
	std::string console_text;
	guest_report g;
	bool ended = false;  // and reaped, with its status
	int status = 0;
	bool stopped = false;  // the runner was told to stop
	bool group = false;    // it leads a process group of its own
	double boot_seconds = 0;
};

// How the machine is started with each accelerator: a kernel image under
// qemu with KVM or TCG, or a user-mode Linux kernel run as a program,
// whose second serial line is its descriptor 3.
std::vector<std::string> machine_args(const std::string &accel, const std::string &kernel,
                                      const std::string &initramfs, const std::string &channel)
{
	if (accel == "UML")
		return {kernel,     "mem=256M", "initrd=" + initramfs, "con0=fd:0,fd:1", "con=null",
		        "ssl1=fd:3", "ssl=null", "quiet"};
	int cpus = (int)std::clamp(sysconf(_SC_NPROCESSORS_ONLN), 1L, 4L);
	std::vector<std::string> args = {find_program("qemu-system-x86_64"),
	                                 "-nodefaults", "-display", "none", "-no-reboot",
	                                 "-m", "512", "-smp", std::to_string(cpus), "-kernel",
	                                 kernel, "-initrd", initramfs, "-append",
	                                 "console=ttyS0 panic=-1 quiet", "-serial", "stdio",
	                                 "-serial", "file:" + channel};
	if (accel == "KVM")
		args.insert(args.begin() + 1, {"-accel", "kvm", "-cpu", "host"});
	else
		args.insert(args.begin() + 1, {"-accel", "tcg"});
	return args;
}

// Starts the machine, its console on a pipe here; false with why. A
// user-mode kernel runs in a process group of its own, as its processes
// stay when it panics: they are ended with it.
bool spawn(machine &m, std::vector<std::string> args, const std::string &channel, bool uml,
           std::string &why)
{
	m.wire = open(channel.c_str(), O_RDONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	int out = uml ? open(channel.c_str(), O_WRONLY | O_CLOEXEC) : -1;
	int pipefd[2];
	if (m.wire < 0 || (uml && out < 0) || pipe2(pipefd, O_CLOEXEC) != 0) {
		why = std::string("cannot make the guest's channel: ") + strerror(errno);
		if (out >= 0)
			close(out);
		return false;
	}
	std::vector<char *> argv;
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
	posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
	if (uml)
		posix_spawn_file_actions_adddup2(&fa, out, 3);
	posix_spawnattr_t at;
	posix_spawnattr_init(&at);
	// qemu stays in the runner's process group: what stops the runner
	// from outside (a terminal's ^C, a timeout) stops the machine too.
	if (uml) {
		posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP);
		posix_spawnattr_setpgroup(&at, 0);
	}
	int e = posix_spawn(&m.pid, argv[0], &fa, &at, argv.data(), environ);
	posix_spawnattr_destroy(&at);
	posix_spawn_file_actions_destroy(&fa);
	close(pipefd[1]);
	if (out >= 0)
		close(out);
	m.console = pipefd[0];
	m.group = uml && e == 0;
	if (e != 0) {
		why = "cannot start " + args[0] + ": " + strerror(e);
		return false;
	}
	return true;
}

// Reads what the console and the wire hold now, each byte once; waits up
// to ms for the console.
void drain(machine &m, int ms)
{
	char buf[65536];
	pollfd p{m.console, POLLIN, 0};
	if (m.console >= 0 && poll(&p, 1, ms) > 0) {
		ssize_t n = read(m.console, buf, sizeof buf);
		if (n > 0)
			m.console_text.append(buf, n);
		else if (n == 0 || errno != EINTR) {
			close(m.console);
			m.console = -1;
		}
	} else if (m.console < 0) {
		usleep(ms * 1000);
	}
	if (m.console_text.size() > 65536)
		m.console_text.erase(0, m.console_text.size() - 65536);
	for (ssize_t n; (n = read(m.wire, buf, sizeof buf)) > 0;)
		read_wire(m.g, buf, n);
}

// Watches the machine until it ends, passes its bound or the runner is
// told to stop; then it is ended and all it said is read.
void watch(machine &m, double boot_bound, int stop_fd, const char *booting)
{
	auto t0 = clk::now();
	bool progress = isatty(1);
	double bound = boot_bound;
	bool done = false;
	while (!m.ended) {
		drain(m, 100);
		double t = seconds_since(t0);
		if (m.g.ready && m.boot_seconds == 0) {
			m.boot_seconds = t;
			bound = t + run_bound;
		}
		if (m.g.done && !done) {
			done = true;
			bound = t + off_bound;
		}
		if (progress) {
			printf("\r[%s s] %s\033[K", fixed(t, 1).c_str(),
			       !m.g.ready  ? booting
			       : !m.g.done ? "the suite runs in the guest"
			                   : "powering off");
			fflush(stdout);
		}
		pollfd stop{stop_fd, POLLIN, 0};
		m.stopped = stop_fd >= 0 && poll(&stop, 1, 0) > 0;
		m.ended = waitpid(m.pid, &m.status, WNOHANG) == m.pid;
		if (m.stopped || t > bound)
			break;
	}
	if (progress)
		printf("\r\033[K");
	if (!m.ended) {
		kill(m.pid, SIGKILL);
		waitpid(m.pid, &m.status, 0);
	}
	// The rest of its group were its children, and are this subreaper's
	// now.
	if (m.group && kill(-m.pid, SIGKILL) == 0)
		while (waitpid(-m.pid, nullptr, 0) > 0 || errno == EINTR)
			;
	// What came after the machine ended is still in the pipe and the file.
	while (m.console >= 0)
		drain(m, 0);
	drain(m, 0);
	close(m.wire);
}

// Why the guest's results are missing or cut short.
std::string missing(const machine &m, double boot_bound)
{
	std::string how = !m.ended                ? ""
	                  : WIFEXITED(m.status) ? "the machine ended with status " +
	                                                  std::to_string(WEXITSTATUS(m.status))
	                                        : "the machine was killed by signal " +
	                                                  std::to_string(WTERMSIG(m.status));
	std::string why;
	if (!m.g.ready)
		why = m.ended ? "the suite did not start in the guest (" + how + ")"
		              : "the suite did not start in the guest within " +
		                        fixed(boot_bound, 0) + " s";
	else
		why = m.ended ? "the guest stopped before it sent this result (" + how + ")"
		              : "the suite inside the guest did not finish within " +
		                        fixed(run_bound, 0) + " s";
	return why + "; " + last_lines(m.console_text);
}

// Every scenario taken with the same reason it could not be arranged.
void unarranged(const std::vector<scenario> &plan, const take_run &take,
                const std::string &why)
{
	for (std::size_t i = 0; i < plan.size(); i++) {
		run_result r;
		r.setup = why;
		take(i, 0, std::move(r));
	}
}

// The accelerators to try, in order: "UML" for a user-mode kernel, else
// "KVM" where it works and "TCG".
std::vector<std::string> accelerators(const options &o, bool uml)
{
	if (uml)
		return {"UML"};
	std::vector<std::string> tries;
	int kvm = open("/dev/kvm", O_RDWR | O_CLOEXEC);
	if (kvm >= 0)
		close(kvm);
	if (o.accel == "kvm" || (o.accel.empty() && kvm >= 0))
		tries.push_back("KVM");
	if (o.accel != "kvm")
		tries.push_back("TCG");
	return tries;
}

}  // namespace

void check_vm_usage(const std::vector<scenario> &plan, const options &o)
{
	if (access(o.kernel.c_str(), R_OK) != 0)
		bad_usage("cannot read the kernel image " + o.kernel + ": " + strerror(errno));
	std::vector<std::string> programs{o.dir + "/probesuite"};
	for (const scenario &s : plan)
		programs.push_back(o.dir + "/" + s.probe);
	std::string why;
	for (const std::string &p : programs)
		if (!is_static(p, why))
			bad_usage(p + " cannot go into the guest: " +
			          (why + "; --kernel needs the folder of a static build (see --dir)"));
}

double run_in_vm(const std::vector<scenario> &plan, const options &o, int stop_fd,
                 const take_run &take, platform &on)
{
	auto t0 = clk::now();
	on.kernel = on.machine = "";  // known once the guest speaks
	on.processors = 0;
	on.image = o.kernel;
	std::string why;
	if (!o.launcher.empty() && !is_static(o.launcher[0], why)) {
		unarranged(plan, take,
		           "the launcher " + o.launcher[0] + " cannot run inside the guest: " + why);
		return seconds_since(t0);
	}
	bool uml = is_uml(o.kernel);
	if (!uml && find_program("qemu-system-x86_64").empty()) {
		unarranged(plan, take,
		           "qemu-system-x86_64 is not installed (Debian package qemu-system-x86)");
		return seconds_since(t0);
	}
	const char *tmp = getenv("TMPDIR");
	std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/probesuite-vm.XXXXXX";
	if (!mkdtemp(dir.data())) {
		unarranged(plan, take,
		           "cannot make a folder for the initramfs in " + dir + ": " + strerror(errno));
		return seconds_since(t0);
	}
	std::string initramfs = dir + "/initramfs.cpio", channel = dir + "/results";
	machine m;
	bool kvm_failed = false;
	std::string accel;
	double bound = 0;
	if (!make_initramfs(initramfs, plan, o, why)) {
		why = "cannot make the initramfs: " + why;
	} else {
		for (const std::string &a : accelerators(o, uml)) {
			m = machine();
			accel = a;
			bound = o.boot_timeout > 0 ? o.boot_timeout
			        : a == "KVM"       ? boot_bound_kvm
			                           : boot_bound_tcg;
			why.clear();
			if (spawn(m, machine_args(a, o.kernel, initramfs, channel), channel, uml, why))
				watch(m, bound, stop_fd, uml ? "booting" : ("booting with " + a).c_str());
			else if (m.wire >= 0)
				close(m.wire);
			if (m.console >= 0)
				close(m.console);
			if (m.g.ready || m.stopped || !why.empty())
				break;
			kvm_failed = kvm_failed || a == "KVM";
		}
		if (why.empty() && !m.g.done)
			why = missing(m, bound);
	}
	unlink(initramfs.c_str());
	unlink(channel.c_str());
	rmdir(dir.c_str());

	for (std::size_t i = 0; i < plan.size(); i++) {
		auto got = m.g.results.find(title(plan[i]));
		run_result r;
		if (got != m.g.results.end())
			r = std::move(got->second);
		else if (m.stopped)
			r.interrupted = true;
		else
			r.setup = why.empty() ? "the guest sent no result for it" : why;
		take(i, 0, std::move(r));
	}
	if (m.g.ready) {
		on.kernel = m.g.on.kernel;
		on.machine = m.g.on.machine;
		on.processors = m.g.on.processors;
		on.accelerator = accel;
		on.boot_seconds = m.boot_seconds;
		on.where = "Linux " + on.kernel +
		           (uml ? " as user-mode Linux"
		                : " in a virtual machine (" +
		                          (kvm_failed ? "TCG, as the suite did not start under KVM"
		                                      : accel) +
		                          ")") +
		           ", " + counted(on.processors, "processor", "processors") +
		           ", booted to init in " + fixed(m.boot_seconds, 1) + " s";
	}
	return seconds_since(t0);
}
