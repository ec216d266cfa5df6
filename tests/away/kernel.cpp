// A stand-in for a user-mode kernel under --kernel: an ELF program, run
// as one is, that sends the host a guest's lines gone wrong on its
// descriptor 3, as the name it is run by says. STANDIN_TITLES holds the
// planned titles, a line each; the token comes on the command line.
#include "suite/away/guest.h"
#include "suite/record/record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

void send(const std::string &text)
{
	for (std::size_t at = 0; at < text.size();) {
		ssize_t n = write(3, text.data() + at, text.size() - at);
		if (n <= 0)
			exit(1);
		at += n;
	}
}

std::vector<std::string> planned()
{
	std::vector<std::string> titles;
	const char *all = getenv("STANDIN_TITLES");
	std::string t;
	for (const char *c = all ? all : ""; *c; c++)
		if (*c == '\n')
			titles.push_back(t), t.clear();
		else
			t += *c;
	if (!t.empty())
		titles.push_back(t);
	return titles;
}

// A line of 'a' of STANDIN_LINE_MIB MiB, and no end to it.
[[noreturn]] void long_line()
{
	static char block[1 << 20];
	memset(block, 'a', sizeof block);
	const char *mib = getenv("STANDIN_LINE_MIB");
	for (long i = 0, n = mib ? atol(mib) : 64; i < n; i++)
		send(std::string(block, sizeof block));
	for (;;)
		pause();
}

// A process in a session of its own, orphaned, that writes its pid to
// STANDIN_PIDFILE and sleeps; back once it has.
void daemon_left()
{
	const char *pidfile = getenv("STANDIN_PIDFILE");
	if (fork() != 0) {
		for (int i = 0; i < 200 && access(pidfile, F_OK) != 0; i++)
			usleep(10000);
		return;
	}
	setsid();
	if (fork() != 0)
		_exit(0);
	std::string part = std::string(pidfile) + ".part";
	if (FILE *f = fopen(part.c_str(), "w")) {
		fprintf(f, "%d\n", (int)getpid());
		fclose(f);
		rename(part.c_str(), pidfile);
	}
	sleep(60);
	_exit(0);
}

}  // namespace

int main(int argc, char **argv)
{
	std::string token;
	for (int i = 1; i < argc; i++)
		if (strncmp(argv[i], GUEST_TOKEN "=", strlen(GUEST_TOKEN) + 1) == 0)
			token = argv[i] + strlen(GUEST_TOKEN) + 1;
	const char *slash = strrchr(argv[0], '/');
	std::string mode = slash ? slash + 1 : argv[0];
	std::vector<std::string> titles = planned();
	puts("stand-in kernel");
	fflush(stdout);
	if (mode == "longline")
		long_line();
	if (mode == "replay")  // a saved --raw output: no token
		token.clear();
	if (mode == "daemon")
		daemon_left();
	platform on;
	on.kernel = "6.1.0-standin";
	if (mode == "painted")  // a name that would clear the terminal and colour it
		on.kernel += "\033[2J\033[31m";
	on.machine = "x86_64";
	on.processors = 1;
	send(wire_hello(token, on));
	for (std::size_t i = 0; i < titles.size(); i++) {
		run_result r;
		r.pid = 2;
		r.exited = true;
		r.code = 0;
		if (mode == "outofrange") {
			// One value out of range each, a title twice, one not planned.
			void (*wrong[])(run_result &) = {
			        [](run_result &x) { x.code = 99999; },
			        [](run_result &x) { x.exited = false, x.signal = 1000; },
			        [](run_result &x) { x.seconds = -100; },
			        [](run_result &x) { x.pid = -3; },
			        [](run_result &) {},
			};
			if (i < 5)
				wrong[i](r);
			if (i == 4)
				send(wire_result(token, titles[i], r));
			if (i == 5)
				send(wire_result(token, "nosuch", r));
			if (i >= 5)
				continue;
		}
		send(wire_result(token, titles[i], r));
	}
	send(wire_done(token));
	return 0;
}
