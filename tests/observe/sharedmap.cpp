// Stands in for a sandbox's kernel: sharedmap SAVED PROBE maps the probe's
// file shared, as a kernel serving its pages would, asks for its own pid
// and prints the saved transcript, running none of the probe's code.
#include <cstdio>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc != 3) {
		fprintf(stderr, "usage: sharedmap SAVED PROBE\n");
		return 2;
	}
	int fd = open(argv[2], O_RDONLY | O_CLOEXEC);
	void *p = fd < 0 ? MAP_FAILED : mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
	FILE *saved = fopen(argv[1], "r");
	if (p == MAP_FAILED || !saved) {
		perror("sharedmap");
		return 1;
	}
	syscall(SYS_getpid);
	char buf[4096];
	for (size_t k; (k = fread(buf, 1, sizeof buf, saved)) > 0;)
		fwrite(buf, 1, k, stdout);
	return 0;
}
