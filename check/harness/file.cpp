#include "check/harness/file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const char *kind(mode_t m)
{
	return S_ISDIR(m)    ? "a directory"
	       : S_ISFIFO(m) ? "a FIFO"
	       : S_ISCHR(m)  ? "a character device"
	       : S_ISBLK(m)  ? "a block device"
	       : S_ISSOCK(m) ? "a socket"
	                     : "no regular file";
}

std::string size_text(std::size_t n)
{
	return n >= 1ul << 20 ? std::to_string(n >> 20) + " MiB" : std::to_string(n >> 10) + " KiB";
}

// Appends at most limit + 1 bytes of fd to data.
bool read_most(int fd, std::size_t limit, std::string &data)
{
	std::size_t from = data.size();
	for (;;) {
		std::size_t had = data.size() - from;
		if (had > limit)
			return true;
		// Into the room reserved, which the file's size gave.
		std::size_t room = data.capacity() - data.size();
		std::size_t want = std::min<std::size_t>(limit + 1 - had, room ? room : 65536);
		data.resize(from + had + want);
		ssize_t k = read(fd, data.data() + from + had, want);
		data.resize(from + had + (k > 0 ? k : 0));
		if (k == 0)
			return true;
		if (k < 0 && errno != EINTR)
			return false;
	}
}

// Why the open file fd of st is not read: empty when it is read.
std::string not_read(int fd, const struct stat &st, std::size_t limit, bool cut, std::string &data)
{
	if (!S_ISREG(st.st_mode))
		return std::string("it is ") + kind(st.st_mode) + ", not a regular file";
	std::string larger = "it is larger than " + size_text(limit);
	if (!cut && (std::size_t)st.st_size > limit)
		return larger;
	data.reserve(std::min<std::size_t>(st.st_size, limit) + 1);
	if (!read_most(fd, limit, data))
		return strerror(errno);
	if (data.size() <= limit)
		return "";
	data.resize(limit);
	return cut ? "" : larger;
}

}  // namespace

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

bool read_regular(const std::string &path, std::size_t limit, bool cut, std::string &data,
                  std::string &why)
{
	data.clear();
	int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	struct stat st;
	if (fd < 0 || fstat(fd, &st) != 0) {
		why = strerror(errno);
		if (fd >= 0)
			close(fd);
		return false;
	}
	why = not_read(fd, st, limit, cut, data);
	close(fd);
	return why.empty();
}
