// The ELF checks of --dir, --kernel and a launcher, on a file of any bytes.
#include "suite/record/elf.h"
#include "fuzz/memfile.h"

#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	int fd;
	std::string path = memfile(data, size, fd), why;
	if (path.empty())
		return 0;
	platform p;
	is_static(path, why);
	is_uml(path);
	libc_of(path, p);
	close(fd);
	return 0;
}
