// The files reports go to: opened before anything runs, so that a name
// that cannot be written is a usage error, but emptied only when the
// report is written, so that a usage error leaves them as they were.
#include "suite/report/output.h"
#include "suite/plan/options.h"
#include "suite/report/terminal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int open_output(const std::string &path)
{
	if (path.empty())
		return -1;
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
	if (fd < 0)
		bad_usage("cannot write " + path + ": " + strerror(errno));
	return fd;
}

bool write_output(int fd, const std::string &path, const std::function<void(FILE *)> &write)
{
	if (fd < 0)
		return true;
	int e = 0;
	FILE *f = nullptr;
	bool emptied = ftruncate(fd, 0) == 0 || errno == EINVAL;  // EINVAL: a pipe or a terminal
	if (!emptied || !(f = fdopen(fd, "w")))
		e = errno;
	if (f) {
		write(f);
		e = ferror(f) ? EIO : 0;
		if (fflush(f) != 0 && !e)
			e = errno;
		if (fclose(f) != 0 && !e)
			e = errno;
	} else {
		close(fd);
	}
	if (e)
		fprintf(stderr, "probesuite: cannot write %s: %s\n", path.c_str(), strerror(e));
	return e == 0;
}

bool in_colour()
{
	return isatty(1) && !getenv("NO_COLOR");
}
