// A static stand-in for the runner as a guest's init: it ends at once, so
// that the kernel panics, or (HANG=1) it waits and never speaks.
#include <unistd.h>

int main()
{
	while (HANG)
		pause();
	return 0;
}
