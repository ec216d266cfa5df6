// Runs a command where seccomp cannot be used: a filter makes the seccomp
// call, and prctl(PR_SET_SECCOMP), fail with ENOSYS, as on a kernel
// built without it.
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc < 2) {
		fputs("usage: noseccomp PROGRAM [ARG]...\n", stderr);
		return 2;
	}
	const unsigned nr = offsetof(seccomp_data, nr), arch = offsetof(seccomp_data, arch),
	               arg0 = offsetof(seccomp_data, args[0]);
	sock_filter f[] = {
	        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arch),
	        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0, 5),
	        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, nr),
	        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_seccomp, 4, 0),
	        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_prctl, 0, 2),
	        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg0),
	        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PR_SET_SECCOMP, 1, 0),
	        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
	        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
	};
	sock_fprog prog = {sizeof f / sizeof *f, f};
	if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
	    prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) != 0) {
		perror("noseccomp: installing the filter");
		return 127;
	}
	execv(argv[1], argv + 1);
	perror("noseccomp: execv");
	return 127;
}
