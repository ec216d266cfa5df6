#include "suite/run/progress.h"
#include "suite/text.h"

#include <cstdio>
#include <unistd.h>

bool progress_shown()
{
	static const bool shown = isatty(1);
	return shown;
}

void show_progress(const std::string &count, std::chrono::steady_clock::time_point t0,
                   const std::string &what)
{
	if (!progress_shown())
		return;
	printf("\r[%s%s%s s] %s\033[K", count.c_str(), count.empty() ? "" : ", ",
	       fixed(seconds_since(t0), 1).c_str(), what.c_str());
	fflush(stdout);
}

void end_progress()
{
	if (progress_shown())
		printf("\r\033[K");
}
