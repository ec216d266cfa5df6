// twincell (TWIN=1) and onecell (TWIN=0): two threads print heap cells while
// main stores 1, then 2, into the cell behind x; each thread then spins
// through 4,294,967,295 empty iterations. Main ends the process after 5
// seconds. twincell also has a cell behind y holding 99.
#include "shared/pair.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#ifndef TWIN
#error "build with TWIN=1 (twincell) or TWIN=0 (onecell)"
#endif

std::int32_t *x;
#if TWIN
std::int32_t *y;
#endif

// Relaxed: the cell carries its own value only; no other data is published
// through it, and a thread may print any value main has stored so far.
static std::int32_t load_x()
{
	return __atomic_load_n(x, __ATOMIC_RELAXED);
}

static void *doSomeThing(void *)
{
	puts(first_thread() ? "\n First thread processing" : "\n Second thread processing");
	printf("x=%p\n", (void *)x);
	printf("*x=%d\n", load_x());
#if TWIN
	printf("y=%p\n", (void *)y);
	printf("*y=%d\n", *y);
#endif
	// The empty asm makes each iteration count without storing the counter.
	for (std::uint64_t i = 0; i < 0xFFFFFFFF; i++)
		asm volatile("" : "+r"(i));
	return nullptr;
}

static void created(int i)
{
	__atomic_store_n(x, i + 1, __ATOMIC_RELAXED);
	printf("x=%p\n", (void *)x);
	printf("*x=%d\n", load_x());
}

static std::int32_t *cell()
{
	auto *p = static_cast<std::int32_t *>(malloc(sizeof(std::int32_t)));
	if (!p) {
		perror("malloc");
		exit(1);
	}
	*p = 0;  // a thread that reads before main's first store sees 0
	return p;
}

int main()
{
	x = cell();
#if TWIN
	y = cell();
	*y = 99;
#endif
	launch_pair(doSomeThing, created);
	sleep(5);
	return 0;
}
