// The receive ring: positions at the wrap, full and empty, the empty-Get
// clear, a randomized comparison against a reference queue, and a producer
// and a consumer on two threads.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include <emu/kernel.h>
#include <emu/usb/models.h>

#include "serial/ringbuf.h"
#include "support/driver_fixture.h"

namespace {

constexpr ULONG kPositions = RING_BUFFER_POSITIONS;
constexpr ULONG kCapacity = RING_BUFFER_CAPACITY;

// Bytes `from` to `from + count` of the emulator's verifiable stream, which no
// ring size aliases.
std::vector<UCHAR> Stream(uint64_t from, size_t count) {
  std::vector<UCHAR> bytes(count);
  emu::usb::fill_pattern(from, bytes);
  return bytes;
}

class RingBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ring_ = RingBufferAllocate();
    ASSERT_NE(ring_, nullptr);
  }
  void TearDown() override {
    RingBufferFree(ring_);
    EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), 0u);
  }

  // Moves both indices to `position` by a put and a get of that many bytes.
  void MoveTo(ULONG position) {
    std::vector<UCHAR> scratch(position);
    ASSERT_EQ(RingBufferPut(ring_, scratch.data(), position), position);
    ASSERT_EQ(RingBufferGet(ring_, scratch.data(), position), position);
    ASSERT_EQ(ring_->ReadIndex, position);
    ASSERT_EQ(ring_->WriteIndex, position);
  }

  PRING_BUFFER ring_ = nullptr;
};

TEST_F(RingBufferTest, GetOnEmptyRingClearsIndicesAndData) {
  MoveTo(5000);
  auto data = Stream(0, 300000);
  ASSERT_EQ(RingBufferPut(ring_, data.data(), kCapacity), kCapacity);
  std::vector<UCHAR> out(kPositions);
  ASSERT_EQ(RingBufferGet(ring_, out.data(), kPositions), kCapacity);
  ASSERT_EQ(ring_->ReadIndex, 4999u);

  EXPECT_EQ(RingBufferGet(ring_, out.data(), 10), 0u);
  EXPECT_EQ(ring_->ReadIndex, 0u);
  EXPECT_EQ(ring_->WriteIndex, 0u);
  std::vector<UCHAR> zeros(sizeof(ring_->Data), 0);
  EXPECT_EQ(0, memcmp(ring_->Data, zeros.data(), zeros.size()));
}

// Random puts and gets of every size class against a reference queue and
// reference positions, starting from each awkward index so every wrap shape
// is met: a put fills up to one position short of the reader, wrapping after
// the last position; a get on an empty ring starts both over at 0.
TEST_F(RingBufferTest, MatchesAReferenceQueueUnderRandomTraffic) {
  std::mt19937 rng(20240601);
  const ULONG sizes[] = {1, 2, 17, 4096, 65536, 200000, kCapacity, kPositions};
  for (ULONG start : {0u, 1u, 262127u, kPositions - 10, kCapacity - 1, kCapacity}) {
    RingBufferReset(ring_);
    if (start != 0) MoveTo(start);
    std::deque<UCHAR> model;
    uint64_t produced = 0;
    ULONG read = start % kPositions, write = read;
    std::vector<UCHAR> out(kPositions);
    for (int step = 0; step < 300; step++) {
      ULONG size = sizes[rng() % 8];
      if (rng() % 2) size = rng() % (size + 1);
      if (rng() % 2) {
        auto data = Stream(produced, size);
        ULONG taken = RingBufferPut(ring_, data.data(), size);
        ASSERT_EQ(taken, std::min<size_t>(size, kCapacity - model.size())) << "step " << step;
        model.insert(model.end(), data.begin(), data.begin() + taken);
        produced += taken;
        write = (write + taken) % kPositions;
      } else {
        const bool empty = model.empty();
        ULONG got = RingBufferGet(ring_, out.data(), size);
        ASSERT_EQ(got, std::min<size_t>(size, model.size())) << "step " << step;
        for (ULONG i = 0; i < got; i++) {
          ASSERT_EQ(out[i], model.front()) << "step " << step << " byte " << i;
          model.pop_front();
        }
        read = (read + got) % kPositions;
        if (empty) read = write = 0;
      }
      ASSERT_EQ(RingBufferCount(ring_), model.size());
      ASSERT_EQ(ring_->ReadIndex, read) << "step " << step;
      ASSERT_EQ(ring_->WriteIndex, write) << "step " << step;
    }
  }
}

constexpr uint64_t kStreamBytes = (vrmdm_test::kSanitized ? 32ull : 256ull) << 20;  // memcpy instrumented

// One producer, one consumer, random chunk sizes: every byte arrives once and
// in order.  With `blind_gets` the consumer also calls Get without checking
// the count, so empty-ring clears race the producer's puts.
void RunProducerConsumer(PRING_BUFFER ring, uint64_t total, bool blind_gets) {
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    std::mt19937 rng(1);
    std::vector<UCHAR> chunk(65536);
    uint64_t sent = 0;
    while (sent < total && !stop) {
      ULONG size = 1 + rng() % 65536;
      if (size > total - sent) size = static_cast<ULONG>(total - sent);
      emu::usb::fill_pattern(sent, std::span<UCHAR>(chunk.data(), size));
      ULONG done = 0;
      while (done < size && !stop) {
        ULONG n = RingBufferPut(ring, chunk.data() + done, size - done);
        done += n;
        if (n == 0) std::this_thread::yield();
      }
      sent += done;
    }
  });
  std::mt19937 rng(2);
  std::vector<UCHAR> buffer(70000);
  uint64_t received = 0;
  uint64_t badByte = UINT64_MAX;
  auto lastProgress = std::chrono::steady_clock::now();
  while (received < total && badByte == UINT64_MAX) {
    ULONG size = 1 + rng() % 70000;
    ULONG n = 0;
    if (blind_gets || RingBufferCount(ring) != 0) n = RingBufferGet(ring, buffer.data(), size);
    if (n == 0) {
      // A lost byte would leave the consumer waiting for ever: give up instead.
      if (std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(30)) break;
      std::this_thread::yield();
      continue;
    }
    lastProgress = std::chrono::steady_clock::now();
    if (auto bad = emu::usb::check_pattern(received, std::span<const UCHAR>(buffer.data(), n))) {
      badByte = received + *bad;
    }
    received += n;
  }
  stop = true;
  producer.join();
  EXPECT_EQ(badByte, UINT64_MAX) << "first wrong byte at stream offset " << badByte;
  EXPECT_EQ(received, total);
  EXPECT_EQ(RingBufferCount(ring), 0u);
}

TEST_F(RingBufferTest, ProducerAndConsumerThreadsMoveTheStreamIntact) {
  RunProducerConsumer(ring_, kStreamBytes, false);
}

TEST_F(RingBufferTest, EmptyRingClearNeverLosesAConcurrentPut) {
  RunProducerConsumer(ring_, kStreamBytes / 16, true);
}

}  // namespace
