// Checking a kernel: the suite inside a virtual machine that boots it.
// The host side (vm.cpp) makes the initramfs, starts the machine and
// judges what comes back; the guest side (guest.cpp) is the runner itself
// started as init, which runs the scenarios and sends their raw results.
#ifndef SUITE_VM_H
#define SUITE_VM_H

#include "suite/suite.h"

#include <map>
#include <string>
#include <vector>

// Where the guest's files are, from its root, and the channel its results
// go over.
#define GUEST_ARGS "probesuite.args"
#define GUEST_DIR "probes"
#define GUEST_CHANNEL "/dev/ttyS1"

// What the guest sent: the records it got to before it stopped.
struct guest_report {
	bool ready = false;  // its init ran
	bool done = false;   // it sent every result
	std::string release;
	int cpus = 0;
	std::map<std::string, run_result> results;  // by scenario title
};

// guest.cpp
extern bool in_guest;  // this process is the guest's init
void become_init(int &argc, char **&argv);
std::string record(const scenario &s);
void send_results(const std::vector<scenario *> &list);
guest_report read_report(const std::string &wire);

// vm.cpp
bool is_static(const std::string &path, std::string &why);
double check_kernel(const std::vector<scenario *> &list, const options &o);

#endif
