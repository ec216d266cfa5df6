#include "check/harness/file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool read_file(const std::string &path, std::string &data)
{
	int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	char buf[65536];
	ssize_t k;
	while ((k = read(fd, buf, sizeof buf)) > 0 || (k < 0 && errno == EINTR))
		if (k > 0)
			data.append(buf, k);
	int e = errno;
	close(fd);
	errno = e;
	return k == 0;
}
