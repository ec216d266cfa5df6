// The host side of a kernel check: an initramfs holding the static runner
// as /init and the static probes, a machine that boots the kernel with it,
// and the guest's raw results handed on to be judged here as for any
// platform.
//
// A kernel image boots under qemu: KVM is tried first where /dev/kvm
// opens, and a machine that stops or hangs before init runs is started
// again with TCG. Its console is the first serial port, read here through
// a pipe; its results come over the second, which qemu writes to a file.
// A user-mode Linux kernel runs as a program, the file on its descriptor
// 3 as its second serial line.
#include "suite/away/vm.h"
#include "suite/away/guest.h"
#include "suite/away/hand_on.h"
#include "suite/away/initramfs.h"
#include "suite/away/link.h"
#include "suite/record/elf.h"
#include "suite/run/places.h"
#include "suite/text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Until the guest's init speaks (PROBESUITE_BOOT_TIMEOUT sets it).
const double boot_bound_kvm = 10, boot_bound_tcg = 30;

std::vector<std::string> machine_args(const std::string &accel, const std::string &kernel,
                                      const std::string &initramfs, const std::string &channel,
                                      const std::string &token)
{
	std::string proof = GUEST_TOKEN "=" + token;
	if (accel == "UML")
		return {kernel,           "mem=256M", "initrd=" + initramfs,
		        "con0=fd:0,fd:1", "con=null", "ssl1=fd:3",
		        "ssl=null",       "quiet",    proof};
	int cpus = (int)std::clamp(sysconf(_SC_NPROCESSORS_ONLN), 1L, 4L);
	std::vector<std::string> args = {find_program("qemu-system-x86_64"),
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
	                                 "console=ttyS0 panic=-1 quiet " + proof,
	                                 "-serial",
	                                 "stdio",
	                                 "-serial",
	                                 "file:" + channel};
	if (accel == "KVM")
		args.insert(args.begin() + 1, {"-accel", "kvm", "-cpu", "host"});
	else
		args.insert(args.begin() + 1, {"-accel", "tcg"});
	return args;
}

// Boots the machine once. Its keeper ends what it leaves: a user-mode
// kernel's processes stay when it panics.
void boot(away_link &l, const std::string &accel, const options &o, const std::string &initramfs,
          const std::string &channel, const std::string &token, const bounds &b, int stop_fd,
          std::string &why)
{
	plumbing p;
	if (accel == "UML") {
		p.fd3 = open(channel.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
		if (p.fd3 < 0) {
			why = std::string("cannot make the guest's channel: ") + strerror(errno);
			return;
		}
	}
	l.count_wait = true;
	if (start_link(l, machine_args(accel, o.kernel, initramfs, channel, token), p, channel,
	               why))
		watch_link(l, b, stop_fd, accel == "UML" ? "booting" : "booting with " + accel);
	if (p.fd3 >= 0)
		close(p.fd3);
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

// The machine's last boot: its link, its accelerator and bounds, and
// whether KVM was tried and the suite did not start under it.
struct booted {
	away_link l;
	std::string accel;
	bounds b{};
	bool kvm_failed = false;
};

// Boots the machine with each accelerator in turn until the guest speaks,
// the run is stopped, or the wire breaks; why says what went wrong here.
void boot_guest(booted &m, const std::vector<scenario> &plan, const options &o, bool uml,
                const std::string &dir, int stop_fd, std::string &why)
{
	std::string initramfs = dir + "/initramfs.cpio", channel = dir + "/results";
	std::string token = guest_token();
	if (!make_initramfs(initramfs, plan, o, token, why)) {
		why = "cannot make the initramfs: " + why;
		return;
	}
	for (const std::string &a : accelerators(o, uml)) {
		m.l = link_for(plan, token);
		m.accel = a;
		m.b = bounds_for(o.boot_timeout > 0 ? o.boot_timeout
		                 : a == "KVM"       ? boot_bound_kvm
		                                    : boot_bound_tcg,
		                 o.time_scale);
		boot(m.l, a, o, initramfs, channel, token, m.b, stop_fd, why);
		if (m.l.g.ready || m.l.stopped || !why.empty() || !m.l.g.broken.empty())
			break;
		m.kvm_failed = m.kvm_failed || a == "KVM";
	}
}

std::string where(const booted &m, const platform &on, bool uml)
{
	std::string how =
	        uml ? " as user-mode Linux"
	            : " in a virtual machine (" +
	                        (m.kvm_failed ? "TCG, as the suite did not start under KVM"
	                                      : m.accel) +
	                        ")";
	return "Linux " + on.kernel + how + ", " +
	       counted(on.processors, "processor", "processors") + ", booted to init in " +
	       fixed(m.l.boot_seconds, 1) + " s";
}

}  // namespace

double run_in_vm(const std::vector<scenario> &plan, const options &o, int stop_fd,
                 const take_run &take, platform &on)
{
	auto t0 = std::chrono::steady_clock::now();
	on.kernel = on.machine = "";  // known once the guest speaks
	on.processors = 0;
	on.image = o.kernel;
	std::string why, dir;
	bool uml = is_uml(o.kernel);
	if (!o.launcher.empty() && !is_static(o.launcher[0], why))
		why = "the launcher " + o.launcher[0] + " cannot run inside the guest: " + why;
	else if (!uml && find_program("qemu-system-x86_64").empty())
		why = "qemu-system-x86_64 is not installed (Debian package qemu-system-x86)";
	else if ((dir = make_temp_dir("vm", why)).empty())
		why = "cannot make a folder for the initramfs in " + why;
	if (!why.empty()) {
		unarranged(plan, take, why);
		return seconds_since(t0);
	}

	booted m;
	boot_guest(m, plan, o, uml, dir, stop_fd, why);
	remove_temp_dir(dir);
	if (hand_on(plan, m.l, m.b, {"in the guest", "the machine", "the console"}, why, take,
	            on)) {
		on.accelerator = m.accel;
		on.boot_seconds = m.l.boot_seconds;
		on.where = where(m, on, uml);
	}
	return seconds_since(t0);
}
