// splitcount: splits with fork; parent and child each count 1 to 5 on their
// own copy of a counter. The opening line is left in the stdout buffer
// across the fork, so where stdout is not a terminal both processes print it.
#include <cstdio>
#include <unistd.h>

int main()
{
	puts("--beginning of program-- ");
	int counter = 0;
	pid_t pid = fork();
	if (pid == 0) {
		for (int i = 0; i < 5; i++) {
			counter++;
			printf("[child process %d]: counter = %d \n", pid, counter);
		}
	} else if (pid > 0) {
		for (int i = 0; i < 5; i++) {
			counter++;
			printf("[parent process %d]: counter = %d \n", pid, counter);
		}
	} else {
		puts("fork() failed! ");
		return 1;
	}
	puts("--end of program-- ");
	return 0;
}
