// The ELF checks of --dir, --kernel and a launcher, on a file of any bytes.
#include "suite/record/elf.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	int fd = memfd_create("elf", MFD_CLOEXEC);
	if (fd < 0 || write(fd, data, size) != (ssize_t)size) {
		if (fd >= 0)
			close(fd);
		return 0;
	}
	std::string path = "/proc/self/fd/" + std::to_string(fd), why;
	platform p;
	is_static(path, why);
	is_uml(path);
	libc_of(path, p);
	close(fd);
	return 0;
}
