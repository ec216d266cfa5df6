// ringhand: one thread writes "AaaBbb" and its terminator into a 10-byte
// ring; the other polls every 2 seconds until it drains something, then
// prints it. Main ends the process after 5 seconds.
#include "ring/fifo.h"
#include "shared/pair.h"

#include <cstdint>
#include <cstdio>
#include <unistd.h>

std::int32_t size = 10;
std::int32_t n;
fifo_t buffer;
unsigned char buf[10];

// Both threads store and load n; relaxed is enough, as nothing else is
// published through it.
static void set_n(std::int32_t v)
{
	__atomic_store_n(&n, v, __ATOMIC_RELAXED);
}

static std::int32_t get_n()
{
	return __atomic_load_n(&n, __ATOMIC_RELAXED);
}

static void writer()
{
	unsigned char text[7] = {'A', 'a', 'a', 'B', 'b', 'b', '\0'};

	puts("[Thread 01 start] ");
	set_n(7);
	std::int32_t ret = fifo_write(&buffer, text, get_n());
	printf("[Thread 01] ret = %i \n", ret);
	printf("[Thread 01] %s \n", (char *)text);
}

static void reader()
{
	puts("[Thread 02 start] ");
	set_n(7);
	std::int32_t ret = 0;
	while (ret == 0) {
		sleep(2);
		ret = fifo_read(&buffer, buf, get_n());
	}
	printf("[Thread 02] ret = %i \n", ret);
	printf("[Thread 02] %s \n", (char *)buf);
}

static void *doSomeThing(void *)
{
	if (first_thread())
		writer();
	else
		reader();
	return nullptr;
}

int main()
{
	fifo_init(&buffer, buf, size);
	launch_pair(doSomeThing, nullptr);
	sleep(5);
	return 0;
}
