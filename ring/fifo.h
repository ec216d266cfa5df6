// A byte ring over caller-supplied storage, for one writer thread and one
// reader thread without locks. A ring of `slots` bytes holds at most
// slots - 1: the ring is empty when head == tail and full when head is one
// slot behind tail.
//
// Each side owns its index (the writer head, the reader tail) and keeps a
// private copy of the other side's, reloaded only when the copy cannot
// satisfy the whole request. Indices live on separate cache lines so the
// two sides do not steal each other's line on every call.
//
// The indices are loaded and stored with the compiler's __atomic builtins,
// as in every threaded probe: unlike <atomic>, they need nothing from the C
// library's headers, so the ring builds against any C library.
#ifndef FIFO_H
#define FIFO_H

#include <cstdint>
#include <cstring>

struct fifo_t {
	unsigned char *store;
	alignas(64) std::int32_t head;  // written by the writer only
	alignas(64) std::int32_t tail;  // written by the reader only
	alignas(64) std::int32_t slots;
	alignas(64) std::int32_t tail_seen;  // the writer's copy of tail
	alignas(64) std::int32_t head_seen;  // the reader's copy of head
};

inline void fifo_init(fifo_t *f, unsigned char *store, std::int32_t slots)
{
	f->head = 0;
	f->tail = 0;
	f->slots = slots;
	f->store = store;
	f->tail_seen = 0;
	f->head_seen = 0;
}

// Bytes held when the writer is at head and the reader at tail.
inline std::int32_t fifo_used(std::int32_t head, std::int32_t tail, std::int32_t slots)
{
	return head >= tail ? head - tail : head - tail + slots;
}

// n bytes, sizeof(T) <= n <= 2 * sizeof(T), as two words that may overlap.
template <typename T>
inline void fifo_move_words(unsigned char *dst, const unsigned char *src, int n)
{
	T a, b;
	std::memcpy(&a, src, sizeof a);
	std::memcpy(&b, src + n - sizeof b, sizeof b);
	std::memcpy(dst, &a, sizeof a);
	std::memcpy(dst + n - sizeof b, &b, sizeof b);
}

// Copies n bytes as memmove does. Pieces under 16 bytes are moved inline:
// for them the call would cost more than the bytes. All the loads come
// before the stores, so overlapping ranges come out as with memmove.
inline void fifo_move(unsigned char *dst, const unsigned char *src, std::int32_t n)
{
	if (n >= 16)
		std::memmove(dst, src, n);
	else if (n >= 8)
		fifo_move_words<std::uint64_t>(dst, src, n);
	else if (n >= 4)
		fifo_move_words<std::uint32_t>(dst, src, n);
	else if (n >= 2)
		fifo_move_words<std::uint16_t>(dst, src, n);
	else if (n == 1)
		*dst = *src;
}

// The two transfers are calls, as from a library, and stay calls under
// link-time optimisation, where GCC would otherwise clone them for a
// caller's constant arguments. Inlined or cloned, they would put each branch
// of fifo_move beside the caller's array, and the compiler would take the
// branches for pieces longer than the array as reachable: it cannot know
// that the caller's count fits its array.
#ifdef __clang__
#define FIFO_CALL [[gnu::noinline]]
#else
#define FIFO_CALL [[gnu::noipa]]
#endif

FIFO_CALL inline std::int32_t fifo_read(fifo_t *f, unsigned char *buf, std::int32_t k)
{
	if (k <= 0)
		return k;
	// Relaxed: only this thread ever stores tail.
	std::int32_t tail = __atomic_load_n(&f->tail, __ATOMIC_RELAXED);
	std::int32_t slots = f->slots;
	std::int32_t used = fifo_used(f->head_seen, tail, slots);
	if (used < k) {
		// Acquire: the bytes the writer put before publishing head are visible.
		f->head_seen = __atomic_load_n(&f->head, __ATOMIC_ACQUIRE);
		used = fifo_used(f->head_seen, tail, slots);
		if (used < k)
			k = used;
	}
	if (k == 0)
		return 0;
	std::int32_t first = slots - tail < k ? slots - tail : k;
	// Moved as by memmove: the caller may drain the ring into its own storage.
	fifo_move(buf, f->store + tail, first);
	fifo_move(buf + first, f->store, k - first);
	tail += k;
	if (tail >= slots)
		tail -= slots;
	// Release: the bytes are copied out before the writer may reuse the slots.
	__atomic_store_n(&f->tail, tail, __ATOMIC_RELEASE);
	return k;
}

FIFO_CALL inline std::int32_t fifo_write(fifo_t *f, const unsigned char *buf, std::int32_t k)
{
	if (k <= 0)
		return k;
	// Relaxed: only this thread ever stores head.
	std::int32_t head = __atomic_load_n(&f->head, __ATOMIC_RELAXED);
	std::int32_t slots = f->slots;
	std::int32_t room = slots - 1 - fifo_used(head, f->tail_seen, slots);
	if (room < k) {
		// Acquire: the reader has finished copying out the slots it released.
		f->tail_seen = __atomic_load_n(&f->tail, __ATOMIC_ACQUIRE);
		room = slots - 1 - fifo_used(head, f->tail_seen, slots);
		if (room < k)
			k = room > 0 ? room : 0;  // a ring under 1 slot has no room
	}
	if (k == 0)
		return 0;
	std::int32_t first = slots - head < k ? slots - head : k;
	fifo_move(f->store + head, buf, first);
	fifo_move(f->store, buf + first, k - first);
	head += k;
	if (head >= slots)
		head -= slots;
	// Release: the bytes are in their slots before the reader can see them.
	__atomic_store_n(&f->head, head, __ATOMIC_RELEASE);
	return k;
}

#endif
