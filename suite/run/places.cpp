#include "suite/run/places.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

std::string own_program()
{
	char buf[4096];
	ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
	return n > 0 ? std::string(buf, n) : "";
}

std::string make_temp_dir(const std::string &what, std::string &why)
{
	const char *tmp = getenv("TMPDIR");
	std::string dir =
	        std::string(tmp && *tmp ? tmp : "/tmp") + "/probesuite-" + what + ".XXXXXX";
	if (mkdtemp(dir.data()))
		return dir;
	why = dir + ": " + strerror(errno);
	return "";
}

void remove_temp_dir(const std::string &dir)
{
	if (dir.empty())
		return;
	int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
	if (!d && fd >= 0)
		close(fd);
	while (dirent *e = d ? readdir(d) : nullptr)
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			unlinkat(fd, e->d_name, 0);
	if (d)
		closedir(d);
	rmdir(dir.c_str());
}
