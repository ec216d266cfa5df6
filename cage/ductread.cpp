// ductread: reads up to 12 bytes from descriptor 9001, which whoever starts
// it may have opened, and prints them.
#include <cstdio>
#include <unistd.h>

int main()
{
	int fd = 9001;
	char buf[13] = {};  // one byte more than a read fills: the text always ends inside

	if (read(fd, buf, 12) < 0)
		(void)!write(2, "An error occurred in the read!\n", 31);
	printf("<cage 02> %s \n", buf);
	puts("<cage 02> Read file successfully!");
	return 0;
}
