// A static stand-in for probes gone wrong, to run in a guest as here; what
// it does depends on the name it is run by.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main(int, char **argv)
{
	const char *slash = strrchr(argv[0], '/');
	const char *name = slash ? slash + 1 : argv[0];
	if (strcmp(name, "ductopen") == 0) {  // leaves a process in a session of its own
		if (fork() == 0) {
			setsid();
			sleep(30);
			_exit(0);
		}
		puts("stand-in");
	} else if (strcmp(name, "tickspan") == 0) {  // writes past the bound
		static char block[65536];
		memset(block, 'x', sizeof block);
		for (int i = 0; i < 64; i++)
			if (write(1, block, sizeof block) < 0)
				return 1;
	} else if (strcmp(name, "raiseprint") == 0) {
		raise(SIGSEGV);
	} else if (strcmp(name, "selfreport") == 0) {
		kill(getppid(), SIGKILL);
		pause();
	} else if (strcmp(name, "reapcheck") == 0) {
		pause();
	}
	return 0;
}
