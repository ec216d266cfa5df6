#include "shared/pair.h"

#include <cstdio>
#include <cstring>
#include <sched.h>

pthread_t tid[2];

// Set once main's first pthread_create has returned, whether or not it
// succeeded: from then on tid[0] holds its final value.
static bool first_done;  // touched only through the __atomic builtins

bool first_thread()
{
	// Acquire pairs with main's release store, so tid[0] is read after
	// pthread_create wrote it.
	while (!__atomic_load_n(&first_done, __ATOMIC_ACQUIRE))
		sched_yield();
	return pthread_equal(pthread_self(), tid[0]);
}

void launch_pair(void *(*body)(void *), void (*created)(int i))
{
	for (int i = 0; i < 2; i++) {
		int err = pthread_create(&tid[i], nullptr, body, nullptr);
		if (i == 0)
			__atomic_store_n(&first_done, true, __ATOMIC_RELEASE);
		if (err != 0) {
			printf("\n Can't create thread :[%s]", strerror(err));
			continue;
		}
		puts("\n Thread created successfully");
		if (created)
			created(i);
	}
}
