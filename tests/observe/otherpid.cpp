// Stands in for selfreport on a platform that gets the pid wrong: prints
// its parent's pid where its own belongs.
#include <cstdio>
#include <unistd.h>

int main()
{
	printf("This is the first time.\n");
	printf("Current process id number is: %d \n", (int)getppid());
	return 0;
}
