#include "shared/pair.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <sched.h>

pthread_t tid[2];

// Set once main's first pthread_create has returned, whether or not it
// succeeded: from then on tid[0] holds its final value.
static std::atomic<bool> first_done;

bool first_thread()
{
	// Acquire pairs with main's release store, so tid[0] is read after
	// pthread_create wrote it.
	while (!first_done.load(std::memory_order_acquire))
		sched_yield();
	return pthread_equal(pthread_self(), tid[0]);
}

void launch_pair(void *(*body)(void *), void (*created)(int i))
{
	for (int i = 0; i < 2; i++) {
		int err = pthread_create(&tid[i], nullptr, body, nullptr);
		if (i == 0)
			first_done.store(true, std::memory_order_release);
		if (err != 0) {
			printf("\n Can't create thread :[%s]", strerror(err));
			continue;
		}
		puts("\n Thread created successfully");
		if (created)
			created(i);
	}
}
