// A platforms file (--platforms): each line's options, as the command
// line's.
#include "suite/matrix/platforms.h"
#include "fuzz/memfile.h"

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	int fd;
	std::string path = memfile(data, size, fd), why;
	if (path.empty())
		return 0;
	std::vector<platform_line> platforms;
	if (read_platforms(path, platforms, why))
		for (const platform_line &p : platforms)
			platform_args(p.o);
	close(fd);
	return 0;
}
