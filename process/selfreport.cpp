// selfreport: a greeting and the process's own id, both through stdout.
#include <cstdio>
#include <unistd.h>

int main()
{
	pid_t pid = getpid();
	fwrite("This is the first time.\n", 1, 24, stdout);
	fprintf(stdout, "Current process id number is: %d \n", pid);
	return 0;
}
