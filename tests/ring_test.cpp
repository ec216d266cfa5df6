// The byte ring: the results of the per-byte algorithm, and bytes handed
// between two threads in order.
#include "ring/fifo.h"
#include "tests/sanitized.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <vector>

namespace
{

const unsigned char abc[] = "abcdefghijklmnopqrstuvwxyz";

std::int32_t held(const fifo_t &f)
{
	return fifo_used(f.head, f.tail, f.slots);
}

TEST(Ring, ReadFromEmptyReturnsZeroAndLeavesDestinationUntouched)
{
	unsigned char store[10], out[4] = {7, 7, 7, 7};
	fifo_t f;
	fifo_init(&f, store, 10);
	EXPECT_EQ(fifo_read(&f, out, 4), 0);
	EXPECT_EQ(std::vector<unsigned char>(out, out + 4), std::vector<unsigned char>(4, 7));
}

TEST(Ring, InitSetsIndicesAndLeavesStorage)
{
	unsigned char store[3] = {1, 2, 3};
	fifo_t f;
	f.head = f.tail = 5;
	fifo_init(&f, store, 3);
	EXPECT_EQ(f.store, store);
	EXPECT_EQ(f.head, 0);
	EXPECT_EQ(f.tail, 0);
	EXPECT_EQ(f.slots, 3);
	EXPECT_EQ(store[0] + store[1] + store[2], 6);
}

TEST(Ring, TenSlotsHoldNineBytes)
{
	unsigned char store[10], out[16] = {};
	fifo_t f;
	fifo_init(&f, store, 10);
	EXPECT_EQ(fifo_write(&f, abc, 7), 7);
	EXPECT_EQ(fifo_write(&f, abc + 7, 12), 2);
	EXPECT_EQ(held(f), 9);
	EXPECT_EQ(fifo_read(&f, out, 16), 9);
	EXPECT_EQ(std::memcmp(out, abc, 9), 0);

	fifo_init(&f, store, 10);
	EXPECT_EQ(fifo_write(&f, abc, 12), 9);
	EXPECT_EQ(fifo_write(&f, abc, 1), 0);
}

TEST(Ring, FullRingTakesExactlyOneByteAfterOneIsRead)
{
	unsigned char store[10], out[1];
	fifo_t f;
	fifo_init(&f, store, 10);
	ASSERT_EQ(fifo_write(&f, abc, 9), 9);
	EXPECT_EQ(fifo_write(&f, abc, 3), 0);
	EXPECT_EQ(fifo_read(&f, out, 1), 1);
	EXPECT_EQ(out[0], 'a');
	EXPECT_EQ(fifo_write(&f, abc + 9, 3), 1);
	EXPECT_EQ(fifo_write(&f, abc, 1), 0);
}

TEST(Ring, LongReadEmptiesTheRing)
{
	unsigned char store[10], out[10];
	fifo_t f;
	fifo_init(&f, store, 10);
	fifo_write(&f, abc, 5);
	EXPECT_EQ(fifo_read(&f, out, 8), 5);
	EXPECT_EQ(f.head, f.tail);
	EXPECT_EQ(fifo_read(&f, out, 8), 0);
}

TEST(Ring, BytesKeepTheirOrderAcrossTheWrap)
{
	unsigned char store[10], out[26];
	fifo_t f;
	fifo_init(&f, store, 10);
	std::vector<unsigned char> got;
	int in = 0;
	// Uneven chunks move both indices past the end several times.
	for (int step = 0; got.size() < 26; step++) {
		in += fifo_write(&f, abc + in, std::min(26 - in, 1 + step % 6));
		std::int32_t k = fifo_read(&f, out, 1 + step % 4);
		got.insert(got.end(), out, out + k);
		ASSERT_LT(step, 100);
	}
	EXPECT_EQ(std::string(got.begin(), got.end()), std::string((const char *)abc, 26));
}

TEST(Ring, ZeroAndNegativeCountsAreReturnedUnchanged)
{
	unsigned char store[10], out[4] = {9, 9, 9, 9};
	fifo_t f;
	fifo_init(&f, store, 10);
	fifo_write(&f, abc, 3);
	EXPECT_EQ(fifo_write(&f, abc, 0), 0);
	EXPECT_EQ(fifo_write(&f, abc, -5), -5);
	EXPECT_EQ(fifo_read(&f, out, 0), 0);
	EXPECT_EQ(fifo_read(&f, out, -2), -2);
	EXPECT_EQ(out[0], 9);
	EXPECT_EQ(held(f), 3);
}

TEST(Ring, OneSlotRingIsAlwaysEmptyAndFull)
{
	unsigned char store[1], out[1];
	fifo_t f;
	fifo_init(&f, store, 1);
	for (int i = 0; i < 3; i++) {
		EXPECT_EQ(fifo_write(&f, abc, 1), 0);
		EXPECT_EQ(fifo_read(&f, out, 1), 0);
	}
}

TEST(Ring, DrainingIntoItsOwnStorageKeepsTheBytes)
{
	unsigned char buf[10] = {};
	const unsigned char text[7] = {'A', 'a', 'a', 'B', 'b', 'b', '\0'};
	fifo_t f;
	fifo_init(&f, buf, 10);
	ASSERT_EQ(fifo_write(&f, text, 7), 7);
	EXPECT_EQ(fifo_read(&f, buf, 7), 7);
	EXPECT_STREQ((const char *)buf, "AaaBbb");
}

// Short pieces are copied inline rather than by memmove: every length on
// either side of the inline sizes, with the ranges apart and overlapping in
// both directions, must come out as memmove leaves them.
TEST(Ring, ShortPiecesMoveAsMemmoveDoes)
{
	for (int n = 0; n <= 20; n++)
		for (int shift = -17; shift <= 17; shift++) {
			unsigned char want[64], got[64];
			for (int i = 0; i < 64; i++)
				want[i] = got[i] = (unsigned char)(i * 7 + 1);
			std::memmove(want + 20 + shift, want + 20, n);
			fifo_move(got + 20 + shift, got + 20, n);
			ASSERT_EQ(std::memcmp(want, got, 64), 0)
			        << n << " bytes moved by " << shift;
		}
}

// The sanitizers slow each call tenfold; they find a race in the first
// bytes as well as in the last.
const std::size_t scale = SANITIZED ? 8 : 1;

// After a transfer that moved nothing, a side waits until the other moves
// its index off the value this side last saw: spinning a little, as the
// other side usually moves within a microsecond, then sleeping until woken,
// so as not to starve the other side when the two threads, or other tests,
// share a processor. A side that moved wakes a sleeping one.
void await_move(std::int32_t &index, std::int32_t seen)
{
	// Relaxed: the transfer tried next loads the index again, with acquire.
	for (int i = 0; i < 256; i++) {
		if (std::atomic_ref(index).load(std::memory_order_relaxed) != seen)
			return;
		__builtin_ia32_pause();
	}
	std::atomic_ref(index).wait(seen, std::memory_order_relaxed);
}

// A writer thread and a reader thread move total bytes in random chunks;
// every byte must arrive, in order.
void stress(std::int32_t slots, std::size_t total)
{
	std::vector<unsigned char> store(slots);
	fifo_t f;
	fifo_init(&f, store.data(), slots);
	auto byte = [](std::size_t i) { return (unsigned char)(i * 131 + (i >> 13)); };

	std::thread writer([&] {
		std::mt19937 rng(1);
		unsigned char chunk[8192];
		for (std::size_t sent = 0; sent < total;) {
			std::size_t k =
			        std::min<std::size_t>(total - sent, 1 + rng() % sizeof chunk);
			for (std::size_t i = 0; i < k; i++)
				chunk[i] = byte(sent + i);
			for (std::size_t done = 0; done < k;) {
				std::int32_t w =
				        fifo_write(&f, chunk + done, (std::int32_t)(k - done));
				if (w == 0)
					await_move(f.tail, f.tail_seen);
				else
					std::atomic_ref(f.head).notify_one();
				done += w;
			}
			sent += k;
		}
	});
	std::mt19937 rng(2);
	unsigned char chunk[8192];
	std::size_t bad = total;
	for (std::size_t got = 0; got < total;) {
		std::int32_t k = fifo_read(&f, chunk, (std::int32_t)(1 + rng() % sizeof chunk));
		if (k == 0)
			await_move(f.head, f.head_seen);
		else
			std::atomic_ref(f.tail).notify_one();
		for (std::int32_t i = 0; i < k && bad == total; i++)
			if (chunk[i] != byte(got + i))
				bad = got + i;
		got += k;
	}
	writer.join();
	EXPECT_EQ(bad, total) << "first wrong byte at " << bad << " with " << slots << " slots";
	EXPECT_EQ(f.head, f.tail);
}

TEST(RingStress, TwoThreadsThroughOneSlot)
{
	// Nothing ever passes: both sides must keep returning 0.
	unsigned char store[1], b[1] = {1};
	fifo_t f;
	fifo_init(&f, store, 1);
	std::thread w([&] {
		for (int i = 0; i < 100000; i++)
			EXPECT_EQ(fifo_write(&f, b, 1), 0);
	});
	for (int i = 0; i < 100000; i++)
		EXPECT_EQ(fifo_read(&f, b, 1), 0);
	w.join();
}

TEST(RingStress, TwoThreadsThroughTwoSlots)
{
	// One byte per hand-off between the threads, each a wake-up when the
	// threads share a processor.
	stress(2, (256u << 10) / scale);
}

TEST(RingStress, TwoThreadsThroughTenSlots)
{
	stress(10, (4u << 20) / scale);
}

TEST(RingStress, TwoThreadsThrough4096Slots)
{
	stress(4096, (64u << 20) / scale);
}

}  // namespace
