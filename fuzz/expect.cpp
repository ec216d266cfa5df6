// An expectations file (--expect), against the standard scenarios.
#include "suite/plan/expect.h"
#include "fuzz/memfile.h"

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	int fd;
	std::string path = memfile(data, size, fd), why;
	if (path.empty())
		return 0;
	std::vector<scenario> all = standard();
	read_expectations(path, all, why);
	close(fd);
	return 0;
}
