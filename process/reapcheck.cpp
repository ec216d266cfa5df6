// reapcheck: waits for a child it never created. Started normally, wait
// fails at once; started in a process that already has a child, it blocks
// until that child ends and reports it.
#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

int main()
{
	pid_t pid = getpid();
	int status = 0;  // printed as is when wait fails and leaves it alone
	pid_t val = wait(&status);
	printf("Current process id number is: %d \n", pid);
	printf("val = %d; status = %d \n", val, status);
	return 0;
}
