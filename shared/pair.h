// The pieces every two-thread probe shares: the thread-id table, the test a
// thread body uses to learn whether it is the first thread, and the launch
// that starts both threads.
#ifndef PAIR_H
#define PAIR_H

#include <pthread.h>

extern pthread_t tid[2];

// True in the thread whose id went into tid[0]. Waits, yielding the
// processor, until main's first creation has returned.
bool first_thread();

// Creates two threads running body, ids in tid[0] and tid[1], and reports
// each creation on stdout. After each successful one, calls created(i)
// when created is not null.
void launch_pair(void *(*body)(void *), void (*created)(int i));

#endif
