// Preloaded into a probe by the tests to make chosen calls fail. Each
// FAULT_<CALL> variable lists the calls that fail, counted from 1 per
// process: FAULT_PTHREAD_CREATE=1,2 fails the first two creations.
//   FAULT_PTHREAD_CREATE  pthread_create returns EAGAIN
//   FAULT_FORK            fork returns -1, errno EAGAIN
//   FAULT_PIPE            pipe returns -1, errno EMFILE
//   FAULT_MALLOC4         malloc of 4 bytes returns null, errno ENOMEM
//                         (only 4-byte requests are counted)
//   FAULT_CLOCK           clock returns -1
// Some make calls lie rather than fail:
//   FAULT_FORK_OFFSET=N   fork returns the child's pid plus N in the parent
//   FAULT_CLOCK_READS=A,B clock returns A, then B, then its own readings
//   FAULT_PIPE_SWAP       pipe returns its two descriptors the other way round
//   FAULT_PIPE_FDS=A,B    pipe returns 0 with A and B, opening nothing
//   FAULT_WRITE           the program's own write returns -1, errno EIO
//                         (stdio writes through an internal call, not counted)
// FAULT_TRACE_WRITE=path appends a record of each of the program's own write
// calls to path: "<fd> <count> <result>:" then the count bytes and "\n".
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

extern "C" void *__libc_malloc(size_t);

namespace
{

// The nth number var lists, counted from 1, into *value.
bool listed(const char *var, int n, long *value)
{
	const char *p = getenv(var);
	for (int i = 1; p && *p; i++) {
		char *end;
		long v = strtol(p, &end, 10);
		if (end == p)
			break;
		if (i == n) {
			*value = v;
			return true;
		}
		p = *end == ',' ? end + 1 : end;
	}
	return false;
}

// True when this call, counted in calls, is one that var lists.
bool failing(const char *var, std::atomic<int> &calls)
{
	if (!getenv(var))
		return false;
	// Relaxed: a count alone, which orders nothing else.
	int n = calls.fetch_add(1, std::memory_order_relaxed) + 1;
	long v;
	for (int i = 1; listed(var, i, &v); i++)
		if (v == n)
			return true;
	return false;
}

std::atomic<int> creates, forks, pipes, swaps, mallocs, clocks, writes;

decltype(&pthread_create) next_pthread_create;
decltype(&fork) next_fork;
decltype(&pipe) next_pipe;
decltype(&clock) next_clock;
decltype(&write) next_write;

template <typename F> void resolve(F &f, const char *name)
{
	f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Runs before the program's main, which is the first to call these.
__attribute__((constructor)) void init()
{
	resolve(next_pthread_create, "pthread_create");
	resolve(next_fork, "fork");
	resolve(next_pipe, "pipe");
	resolve(next_clock, "clock");
	resolve(next_write, "write");
}

// Opens the trace per record, so no descriptor of ours is held between
// the program's calls and the numbers it gets stay its own.
void trace_write(int fd, const void *buf, size_t n, ssize_t ret)
{
	const char *path = getenv("FAULT_TRACE_WRITE");
	if (!path)
		return;
	int saved = errno;
	int t = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
	if (t >= 0) {
		char head[64];
		int k = snprintf(head, sizeof head, "%d %zu %zd:", fd, n, ret);
		(void)!next_write(t, head, k);
		(void)!next_write(t, buf, n);
		(void)!next_write(t, "\n", 1);
		close(t);
	}
	errno = saved;
}

}  // namespace

extern "C" {

int pthread_create(pthread_t *t, const pthread_attr_t *a, void *(*f)(void *), void *arg)
{
	if (failing("FAULT_PTHREAD_CREATE", creates))
		return EAGAIN;
	return next_pthread_create(t, a, f, arg);
}

pid_t fork()
{
	if (failing("FAULT_FORK", forks)) {
		errno = EAGAIN;
		return -1;
	}
	pid_t pid = next_fork();
	const char *offset = getenv("FAULT_FORK_OFFSET");
	return pid > 0 && offset ? pid + atoi(offset) : pid;
}

int pipe(int fd[2])
{
	if (failing("FAULT_PIPE", pipes)) {
		errno = EMFILE;
		return -1;
	}
	long a, b;
	if (listed("FAULT_PIPE_FDS", 1, &a) && listed("FAULT_PIPE_FDS", 2, &b)) {
		fd[0] = (int)a;
		fd[1] = (int)b;
		return 0;
	}
	int ret = next_pipe(fd);
	if (ret == 0 && failing("FAULT_PIPE_SWAP", swaps)) {
		int read_end = fd[0];
		fd[0] = fd[1];
		fd[1] = read_end;
	}
	return ret;
}

void *malloc(size_t n)
{
	if (n == 4 && failing("FAULT_MALLOC4", mallocs)) {
		errno = ENOMEM;
		return nullptr;
	}
	return __libc_malloc(n);
}

clock_t clock()
{
	// Counted here, as failing() counts only while its variable is set;
	// relaxed, as for failing().
	static std::atomic<int> reads;
	long canned;
	if (listed("FAULT_CLOCK_READS", reads.fetch_add(1, std::memory_order_relaxed) + 1, &canned))
		return (clock_t)canned;
	if (failing("FAULT_CLOCK", clocks))
		return (clock_t)-1;
	return next_clock();
}

ssize_t write(int fd, const void *buf, size_t n)
{
	ssize_t ret;
	if (failing("FAULT_WRITE", writes)) {
		errno = EIO;
		ret = -1;
	} else {
		ret = next_write(fd, buf, n);
	}
	trace_write(fd, buf, n, ret);
	return ret;
}
}
