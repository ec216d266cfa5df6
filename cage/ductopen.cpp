// ductopen: creates a pipe, reports the result and both descriptors, and
// writes "Hello, pipe!" with its terminator into the pipe's write end.
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main()
{
	char message[] = "Hello, pipe!";
	int fd[2] = {0, 1};
	int ret = -1;

	ret = pipe(fd);
	printf("<cage 01> ret: %i \n", ret);
	printf("<cage 01> fd[0]: %i \n", fd[0]);
	printf("<cage 01> fd[1]: %i \n", fd[1]);
	// Only a pipe of our own takes the message: after a failure the slots
	// still name our standard input and output.
	if (ret == 0)
		(void)!write(fd[1], message, strlen(message) + 1);
	return 0;
}
