#include "fuzz/memfile.h"

#include <sys/mman.h>
#include <unistd.h>

std::string memfile(const uint8_t *data, size_t size, int &fd)
{
	fd = memfd_create("input", MFD_CLOEXEC);
	if (fd < 0)
		return "";
	for (size_t at = 0; at < size;) {
		ssize_t n = write(fd, data + at, size - at);
		if (n <= 0) {
			close(fd);
			fd = -1;
			return "";
		}
		at += (size_t)n;
	}
	return "/proc/self/fd/" + std::to_string(fd);
}
