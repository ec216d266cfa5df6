// The host side of a kernel check: an initramfs holding the static runner
// as /init and the static probes, a virtual machine that boots the kernel
// with it, and the guest's raw results judged here as for any platform.
//
// The guest's console is the first serial port, read here through a pipe;
// its results come over the second, which the machine writes to a file.
// KVM is tried first where /dev/kvm opens; a machine that stops or hangs
// before init runs under KVM is started again with TCG.
#include "suite/vm.h"
#include "check/file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

using clk = std::chrono::steady_clock;

// Bounds, in seconds: until the guest's init speaks (PROBESUITE_BOOT_TIMEOUT
// sets it), for the suite inside it, and for the machine to power off
// after the last result.
double boot_bound_kvm = 10, boot_bound_tcg = 30;
const double run_bound = 240, off_bound = 10;

// The initramfs: a newc cpio archive, written as it is built.
struct archive {
	FILE *f;
	unsigned ino = 1;
	bool ok = true;
};

void put(archive &a, const std::string &name, unsigned mode, const std::string &data,
         unsigned rmajor = 0, unsigned rminor = 0)
{
	char head[111];
	snprintf(head, sizeof head, "070701%08X%08X%08X%08X%08X%08X%08zX%08X%08X%08X%08X%08zX%08X",
	         a.ino++, mode, 0, 0, 1, 0, data.size(), 0, 0, rmajor, rminor, name.size() + 1, 0);
	static const char zeros[4] = {};
	std::size_t head_pad = (4 - (110 + name.size() + 1) % 4) % 4;
	std::size_t data_pad = (4 - data.size() % 4) % 4;
	a.ok = a.ok && fwrite(head, 1, 110, a.f) == 110 &&
	       fwrite(name.c_str(), 1, name.size() + 1, a.f) == name.size() + 1 &&
	       fwrite(zeros, 1, head_pad, a.f) == head_pad &&
	       fwrite(data.data(), 1, data.size(), a.f) == data.size() &&
	       fwrite(zeros, 1, data_pad, a.f) == data_pad;
}

// A program and the folders above it; names are relative to the root.
void put_program(archive &a, std::vector<std::string> &made, const std::string &name,
                 const std::string &from, std::string &why)
{
	for (std::size_t slash = 0; (slash = name.find('/', slash + 1)) != std::string::npos;) {
		std::string dir = name.substr(0, slash);
		if (std::find(made.begin(), made.end(), dir) == made.end()) {
			put(a, dir, S_IFDIR | 0755, "");
			made.push_back(dir);
		}
	}
	std::string data;
	if (!read_file(from, data)) {
		why = "cannot read " + from + ": " + strerror(errno);
		a.ok = false;
	}
	put(a, name, S_IFREG | 0755, data);
}

// The launcher's words, quoted so that the guest's runner splits them back.
std::string quoted(const std::vector<std::string> &words)
{
	std::string line;
	for (const std::string &w : words) {
		line += line.empty() ? "'" : " '";
		for (char c : w)
			line += c == '\'' ? std::string("'\\''") : std::string(1, c);
		line += "'";
	}
	return line;
}

// Writes the initramfs to path; false with why when it cannot.
bool make_initramfs(const std::string &path, const std::vector<scenario *> &list, const options &o,
                    std::string &why)
{
	archive a{fopen(path.c_str(), "wb")};
	if (!a.f) {
		why = "cannot write " + path + ": " + strerror(errno);
		return false;
	}
	std::vector<std::string> made{"dev", "proc", "tmp", GUEST_DIR};
	for (const std::string &dir : made)
		put(a, dir, S_IFDIR | (dir == "tmp" ? 01777 : 0755), "");
	put(a, "dev/console", S_IFCHR | 0600, "", 5, 1);  // init's first descriptors
	put_program(a, made, "init", o.dir + "/probesuite", why);
	for (const scenario *s : list) {
		std::string name = GUEST_DIR "/" + s->probe;
		if (std::find(made.begin(), made.end(), name) == made.end()) {
			put_program(a, made, name, o.dir + "/" + s->probe, why);
			made.push_back(name);
		}
	}
	std::string args = std::string("--dir") + '\0' + "/" GUEST_DIR + '\0';
	if (!o.only.empty()) {
		std::string names;
		for (const std::string &n : o.only)
			names += (names.empty() ? "" : ",") + n;
		args += std::string("--only") + '\0' + names + '\0';
	}
	if (!o.launcher.empty()) {
		// The guest has no search path: the launcher goes where it is here.
		char *full = realpath(o.launcher[0].c_str(), nullptr);
		std::vector<std::string> words = o.launcher;
		if (full)
			words[0] = full;
		free(full);
		put_program(a, made, words[0].substr(1), words[0], why);
		args += std::string("--launcher") + '\0' + quoted(words) + '\0';
	}
	put(a, GUEST_ARGS, S_IFREG | 0644, args);
	put(a, "TRAILER!!!", 0, "");
	if (fclose(a.f) != 0 && a.ok) {
		why = "cannot write " + path + ": " + strerror(errno);
		return false;
	}
	if (!a.ok && why.empty())
		why = "cannot write " + path;
	return a.ok;
}

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

struct boot {
	guest_report g;
	std::string console;
	std::string why;          // why the results are missing or cut short
	double boot_seconds = 0;  // until the guest's init spoke
};

// Boots the machine once with the given accelerator.
boot start(const std::string &qemu, const std::string &kernel, const std::string &initramfs,
           const std::string &channel, bool kvm, int cpus)
{
	boot b;
	bool progress = isatty(1);
	int fd = open(channel.c_str(), O_RDONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
	int pipefd[2];
	if (fd < 0 || pipe2(pipefd, O_CLOEXEC) != 0) {
		b.why = std::string("cannot make the guest's channel: ") + strerror(errno);
		if (fd >= 0)
			close(fd);
		return b;
	}
	std::vector<std::string> args = {qemu,
	                                 "-nodefaults",
	                                 "-display",
	                                 "none",
	                                 "-no-reboot",
	                                 "-m",
	                                 "512",
	                                 "-smp",
	                                 std::to_string(cpus),
	                                 "-kernel",
	                                 kernel,
	                                 "-initrd",
	                                 initramfs,
	                                 "-append",
	                                 "console=ttyS0 panic=-1 quiet",
	                                 "-serial",
	                                 "stdio",
	                                 "-serial",
	                                 "file:" + channel};
	if (kvm)
		args.insert(args.begin() + 1, {"-accel", "kvm", "-cpu", "host"});
	else
		args.insert(args.begin() + 1, {"-accel", "tcg"});
	std::vector<char *> argv;
	argv.reserve(args.size() + 1);
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);

	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
	posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
	posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
	// In the runner's process group: what stops the runner from outside
	// (a terminal's ^C, a timeout) stops the machine too.
	pid_t pid;
	int e = posix_spawn(&pid, qemu.c_str(), &fa, nullptr, argv.data(), environ);
	posix_spawn_file_actions_destroy(&fa);
	close(pipefd[1]);
	if (e != 0) {
		b.why = "cannot start " + qemu + ": " + strerror(e);
		close(pipefd[0]);
		close(fd);
		return b;
	}

	auto t0 = clk::now();
	double bound = kvm ? boot_bound_kvm : boot_bound_tcg, done_at = -1;
	std::string wire;
	bool console_open = true, ended = false;
	int status = 0;
	for (;;) {
		pollfd p{pipefd[0], POLLIN, 0};
		if (console_open && poll(&p, 1, 100) > 0) {
			char buf[4096];
			ssize_t n = read(pipefd[0], buf, sizeof buf);
			if (n > 0)
				b.console.append(buf, n);
			else if (n == 0 || errno != EINTR)
				console_open = false;
		} else if (!console_open) {
			usleep(100000);
		}
		if (b.console.size() > 65536)
			b.console.erase(0, b.console.size() - 65536);
		char buf[65536];
		for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
			wire.append(buf, n);
		b.g = read_report(wire);
		double t = seconds_since(t0);
		if (b.g.ready && b.boot_seconds == 0) {
			b.boot_seconds = t;
			bound = t + run_bound;
		}
		if (b.g.done && done_at < 0) {
			done_at = t;
			bound = t + off_bound;
		}
		if (progress) {
			printf("\r[%s s] %s\033[K", fixed(t, 1).c_str(),
			       !b.g.ready  ? kvm ? "booting with KVM" : "booting with TCG"
			       : !b.g.done ? "the suite runs in the guest"
			                   : "powering off");
			fflush(stdout);
		}
		if (waitpid(pid, &status, WNOHANG) == pid) {
			ended = true;
			break;
		}
		if (t > bound)
			break;
	}
	if (progress)
		printf("\r\033[K");
	if (!ended) {
		kill(pid, SIGKILL);
		waitpid(pid, &status, 0);
	}
	// What came after the machine ended is still in the pipe and the file.
	char buf[65536];
	for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;)
		b.console.append(buf, n);
	for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
		wire.append(buf, n);
	b.g = read_report(wire);
	close(pipefd[0]);
	close(fd);

	if (b.g.done)
		return b;
	std::string how = ended ? WIFEXITED(status) ? "the machine ended with status " +
	                                                      std::to_string(WEXITSTATUS(status))
	                                            : "the machine was killed by signal " +
	                                                      std::to_string(WTERMSIG(status))
	                        : "";
	if (!b.g.ready)
		b.why = ended ? "the suite did not start in the guest (" + how + ")"
		              : "the suite did not start in the guest within " +
		                        fixed(kvm ? boot_bound_kvm : boot_bound_tcg, 0) + " s";
	else
		b.why = ended ? "the guest stopped before it sent this result (" + how + ")"
		              : "the suite inside the guest did not finish within " +
		                        fixed(run_bound, 0) + " s";
	b.why += "; " + last_lines(b.console);
	return b;
}

void unarrange(const std::vector<scenario *> &list, const std::string &why)
{
	for (scenario *s : list) {
		s->got = run_result();
		s->result = outcome::unarranged;
		s->why = why;
	}
}

}  // namespace

// Whether path is a program the kernel starts without a program
// interpreter; why says what it is otherwise.
bool is_static(const std::string &path, std::string &why)
{
	std::string data;
	if (!read_file(path, data)) {
		why = "cannot read it: " + std::string(strerror(errno));
		return false;
	}
	Elf64_Ehdr h;
	if (data.size() < sizeof h || memcmp(data.data(), ELFMAG, SELFMAG) != 0 ||
	    data[EI_CLASS] != ELFCLASS64) {
		why = "it is not a 64-bit ELF program";
		return false;
	}
	memcpy(&h, data.data(), sizeof h);
	for (unsigned i = 0; i < h.e_phnum; i++) {
		Elf64_Phdr ph;
		std::size_t at = h.e_phoff + (std::size_t)i * h.e_phentsize;
		if (h.e_phentsize < sizeof ph || at + sizeof ph > data.size()) {
			why = "its program headers are cut short";
			return false;
		}
		memcpy(&ph, data.data() + at, sizeof ph);
		if (ph.p_type == PT_INTERP) {
			why = "it is linked dynamically";
			if (ph.p_offset < data.size())
				why += " (interpreter " + std::string(data.c_str() + ph.p_offset) +
				       ")";
			return false;
		}
	}
	return true;
}

// Boots o.kernel with the programs of o.dir and fills every scenario of
// list from what its guest sent. Returns the wall time it took.
double check_kernel(const std::vector<scenario *> &list, const options &o)
{
	auto t0 = clk::now();
	std::string why;
	if (const char *t = getenv("PROBESUITE_BOOT_TIMEOUT")) {
		char *end;
		double bound = strtod(t, &end);
		if (*t == 0 || *end != 0 || !(bound > 0))
			bad_usage(std::string(
			                  "PROBESUITE_BOOT_TIMEOUT is not a number of seconds: ") +
			          t);
		boot_bound_kvm = boot_bound_tcg = bound;
	}
	// PROBESUITE_ACCEL=tcg or =kvm takes one accelerator only.
	const char *accel = getenv("PROBESUITE_ACCEL");
	std::string only = accel ? accel : "";
	if (only != "" && only != "tcg" && only != "kvm")
		bad_usage("PROBESUITE_ACCEL is neither tcg nor kvm: " + only);
	if (access(o.kernel.c_str(), R_OK) != 0)
		bad_usage("cannot read the kernel image " + o.kernel + ": " + strerror(errno));
	std::vector<std::string> programs{o.dir + "/probesuite"};
	for (const scenario *s : list)
		programs.push_back(o.dir + "/" + s->probe);
	for (const std::string &p : programs)
		if (!is_static(p, why))
			bad_usage(p + " cannot go into the guest: " +
			          (why +
			           "; --kernel needs the folder of a static build (see --dir)"));
	if (!o.launcher.empty() && !is_static(o.launcher[0], why)) {
		unarrange(list,
		          "the launcher " + o.launcher[0] + " cannot run inside the guest: " + why);
		return seconds_since(t0);
	}
	std::string qemu = find_program("qemu-system-x86_64");
	if (qemu.empty()) {
		unarrange(list, "qemu-system-x86_64 is not installed (Debian package "
		                "qemu-system-x86)");
		return seconds_since(t0);
	}

	const char *tmp = getenv("TMPDIR");
	std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/probesuite-vm.XXXXXX";
	if (!mkdtemp(dir.data())) {
		unarrange(list, "cannot make a folder for the initramfs in " + dir + ": " +
		                        strerror(errno));
		return seconds_since(t0);
	}
	std::string initramfs = dir + "/initramfs.cpio", channel = dir + "/results";
	if (!make_initramfs(initramfs, list, o, why)) {
		unarrange(list, "cannot make the initramfs: " + why);
		unlink(initramfs.c_str());
		rmdir(dir.c_str());
		return seconds_since(t0);
	}

	std::vector<bool> tries;
	int kvm = open("/dev/kvm", O_RDWR | O_CLOEXEC);
	if (kvm >= 0)
		close(kvm);
	if (only == "kvm" || (only.empty() && kvm >= 0))
		tries.push_back(true);
	if (only != "kvm")
		tries.push_back(false);
	long cpus = std::clamp(sysconf(_SC_NPROCESSORS_ONLN), 1L, 4L);
	boot b;
	bool kvm_used = false, kvm_failed = false;
	for (bool k : tries) {
		b = start(qemu, o.kernel, initramfs, channel, k, (int)cpus);
		kvm_used = k;
		if (b.g.ready)
			break;
		kvm_failed = kvm_failed || k;
	}
	unlink(initramfs.c_str());
	unlink(channel.c_str());
	rmdir(dir.c_str());

	for (scenario *s : list) {
		auto got = b.g.results.find(title(*s));
		if (got == b.g.results.end()) {
			unarrange({s}, b.why.empty() ? "the guest sent no result for it" : b.why);
			continue;
		}
		s->got = got->second;
		judge(*s, o);
	}
	for (scenario *s : list) {
		scenario run = *s;
		fold(*s, run, 0, values(run));
	}
	if (b.g.ready)
		platform = "Linux " + b.g.release + " in a virtual machine (" +
		           (kvm_used     ? "KVM"
		            : kvm_failed ? "TCG, as the suite did not start under KVM"
		                         : "TCG") +
		           "), " + std::to_string(b.g.cpus) + " processor" +
		           (b.g.cpus == 1 ? "" : "s") + ", booted to init in " +
		           fixed(b.boot_seconds, 1) + " s";
	return seconds_since(t0);
}
