// The guest side of a kernel check, or of a run over ssh: the runner
// started as the guest's init, or by a shell on another machine, and the
// records it sends back, one JSON object a line (suite/record/record.h).
#include "suite/away/guest.h"
#include "suite/record/platform.h"
#include "suite/record/record.h"
#include "suite/run/here.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/random.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

void send(int channel, const std::string &text)
{
	for (std::size_t at = 0; at < text.size();) {
		ssize_t n = write(channel, text.data() + at, text.size() - at);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return;  // the host sees the record end short
		at += n;
	}
}

void power_off()
{
	sync();
	reboot(RB_POWER_OFF);
}

void must_mount(const char *source, const char *target, const char *type, const char *data)
{
	mkdir(target, 0755);
	if (mount(source, target, type, 0, data) != 0)
		fprintf(stderr, "probesuite: cannot mount %s on %s: %s\n", type, target,
		        strerror(errno));
}

}  // namespace

std::string guest_token()
{
	unsigned char r[16] = {};
	std::string t;
	if (getrandom(r, sizeof r, 0) != (ssize_t)sizeof r)
		for (unsigned char &c : r)
			c = (unsigned char)(rand() ^ getpid());  // weaker, still a token
	for (unsigned char c : r) {
		char hex[3];
		snprintf(hex, sizeof hex, "%02x", c);
		t += hex;
	}
	return t;
}

bool is_guest()
{
	const char *token = getenv(GUEST_TOKEN);
	if (getpid() != 1 || !token || strlen(token) != 32)
		return false;
	char head[33] = {};
	FILE *f = fopen("/" GUEST_ARGS, "re");
	bool same = f && fread(head, 1, 33, f) == 33 && memcmp(head, token, 32) == 0 && !head[32];
	if (f)
		fclose(f);
	return same;
}

int become_init(int &argc, char **&argv)
{
	atexit(power_off);
	must_mount("proc", "/proc", "proc", nullptr);
	must_mount("devtmpfs", "/dev", "devtmpfs", nullptr);
	must_mount("devpts", "/dev/pts", "devpts", "ptmxmode=0666");

	int channel = open(GUEST_CHANNEL, O_WRONLY | O_NOCTTY | O_CLOEXEC);
	termios t;
	if (channel < 0 || tcgetattr(channel, &t) != 0) {
		fprintf(stderr, "probesuite: cannot open %s: %s\n", GUEST_CHANNEL, strerror(errno));
		exit(1);
	}
	cfmakeraw(&t);
	tcsetattr(channel, TCSANOW, &t);

	static std::vector<char *> args{argv[0]};
	static std::string text;
	FILE *f = fopen("/" GUEST_ARGS, "r");
	if (!f) {
		fprintf(stderr, "probesuite: cannot read /%s: %s\n", GUEST_ARGS, strerror(errno));
		exit(1);
	}
	for (int c; (c = getc(f)) != EOF;)
		text += (char)c;
	fclose(f);
	// After the token, which is_guest() checked.
	for (std::size_t at = text.find('\0') + 1; at < text.size(); at = text.find('\0', at) + 1)
		args.push_back(&text[at]);
	args.push_back(nullptr);
	argc = (int)args.size() - 1;
	argv = args.data();
	return channel;
}

void run_as_guest(int channel, const std::vector<scenario> &plan, const options &o, int stop_fd)
{
	const char *given = getenv(GUEST_TOKEN);
	std::string token = given ? given : "";
	send(channel, wire_hello(token, this_machine()));
	std::mutex lock;  // one record at a time on the channel
	run_here(plan, o, stop_fd, [&](std::size_t i, int, run_result &&r) {
		std::string line = wire_result(token, title(plan[i]), r);
		std::lock_guard<std::mutex> hold(lock);
		send(channel, line);
	});
	send(channel, wire_done(token));
	tcdrain(channel);
}

void stop_at_end_of_stdin()
{
	pthread_t t;
	pthread_attr_t a;
	pthread_attr_init(&a);
	pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
	pthread_create(
	        &t, &a,
	        [](void *) -> void * {
		        char buf[4096];
		        while (read(0, buf, sizeof buf) > 0 || errno == EINTR)
			        ;
		        kill(getpid(), SIGHUP);
		        return nullptr;
	        },
	        nullptr);
	pthread_attr_destroy(&a);
}
