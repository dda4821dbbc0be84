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

#include "serial/ringbuf.h"

namespace {

constexpr ULONG kPositions = RING_BUFFER_POSITIONS;
constexpr ULONG kCapacity = RING_BUFFER_CAPACITY;

// Byte n of an endless deterministic stream: consecutive bytes differ and the
// pattern does not repeat with any period a ring could alias on.
inline UCHAR StreamByte(uint64_t n) {
  uint64_t x = n * 0x9E3779B97F4A7C15ull;
  return static_cast<UCHAR>((x >> 56) ^ (n & 0xFF));
}

std::vector<UCHAR> Stream(uint64_t from, size_t count) {
  std::vector<UCHAR> bytes(count);
  for (size_t i = 0; i < count; i++) bytes[i] = StreamByte(from + i);
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

TEST_F(RingBufferTest, AllocationIsEmptyPoolBlockWithTheDriverTag) {
  EXPECT_EQ(RingBufferCount(ring_), 0u);
  EXPECT_EQ(ring_->ReadIndex, 0u);
  EXPECT_EQ(ring_->WriteIndex, 0u);
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), 1u);
  EXPECT_EQ(emu::pool::outstanding(emu::pool::tag("Wdm ")), 1u);
}

TEST_F(RingBufferTest, FillsToCapacityAndRefusesTheRest) {
  auto data = Stream(0, kPositions);
  EXPECT_EQ(RingBufferPut(ring_, data.data(), kCapacity), kCapacity);
  EXPECT_EQ(ring_->WriteIndex, kCapacity);
  EXPECT_EQ(ring_->ReadIndex, 0u);
  EXPECT_EQ(RingBufferCount(ring_), kCapacity);
  EXPECT_EQ(RingBufferPut(ring_, data.data(), 1), 0u);
  EXPECT_EQ(RingBufferCount(ring_), kCapacity);

  std::vector<UCHAR> out(kPositions);
  EXPECT_EQ(RingBufferGet(ring_, out.data(), kPositions), kCapacity);
  EXPECT_EQ(0, memcmp(out.data(), data.data(), kCapacity));
}

TEST_F(RingBufferTest, OversizedPutIntoEmptyRingTakesCapacity) {
  auto data = Stream(7, kPositions + 10);
  EXPECT_EQ(RingBufferPut(ring_, data.data(), kPositions), kCapacity);
  EXPECT_EQ(RingBufferCount(ring_), kCapacity);
}

TEST_F(RingBufferTest, PutAcrossTheLastPositionWrapsToZero) {
  MoveTo(262128);
  auto data = Stream(100, 100);
  EXPECT_EQ(RingBufferPut(ring_, data.data(), 100), 100u);
  EXPECT_EQ(ring_->WriteIndex, 83u);
  EXPECT_EQ(RingBufferCount(ring_), 100u);
  // 17 bytes fill positions 262128..262144 (the last one included), 83 bytes 0..82.
  EXPECT_EQ(0, memcmp(&ring_->Data[262128], data.data(), 17));
  EXPECT_EQ(0, memcmp(&ring_->Data[0], data.data() + 17, 83));

  std::vector<UCHAR> out(200);
  EXPECT_EQ(RingBufferGet(ring_, out.data(), 200), 100u);  // asks more than is there
  EXPECT_EQ(0, memcmp(out.data(), data.data(), 100));
  EXPECT_EQ(ring_->ReadIndex, 83u);
}

TEST_F(RingBufferTest, FullRingAfterWrapKeepsOnePositionFree) {
  MoveTo(1000);
  auto data = Stream(5, kPositions);
  EXPECT_EQ(RingBufferPut(ring_, data.data(), kPositions), kCapacity);
  EXPECT_EQ(ring_->WriteIndex, 999u);  // one behind ReadIndex
  EXPECT_EQ(RingBufferCount(ring_), kCapacity);
  EXPECT_EQ(RingBufferPut(ring_, data.data(), 1), 0u);

  // One byte out makes room for exactly one byte in.
  UCHAR one;
  EXPECT_EQ(RingBufferGet(ring_, &one, 1), 1u);
  EXPECT_EQ(one, data[0]);
  EXPECT_EQ(RingBufferPut(ring_, data.data(), 2), 1u);

  std::vector<UCHAR> out(kPositions);
  EXPECT_EQ(RingBufferGet(ring_, out.data(), kPositions), kCapacity);
  EXPECT_EQ(0, memcmp(out.data(), data.data() + 1, kCapacity - 1));
  EXPECT_EQ(out[kCapacity - 1], data[0]);
}

TEST_F(RingBufferTest, PutEndingExactlyOnTheLastPositionDoesNotWrap) {
  MoveTo(kPositions - 10);
  auto data = Stream(0, 10);
  EXPECT_EQ(RingBufferPut(ring_, data.data(), 10), 10u);
  EXPECT_EQ(ring_->WriteIndex, 0u);
  EXPECT_EQ(RingBufferCount(ring_), 10u);
  std::vector<UCHAR> out(10);
  EXPECT_EQ(RingBufferGet(ring_, out.data(), 10), 10u);
  EXPECT_EQ(out, data);
  EXPECT_EQ(ring_->ReadIndex, 0u);
}

TEST_F(RingBufferTest, CountFollowsTheIndicesAcrossTheWrap) {
  ring_->ReadIndex = 262000;
  ring_->WriteIndex = 10;
  EXPECT_EQ(RingBufferCount(ring_), 155u);
  ring_->ReadIndex = 10;
  ring_->WriteIndex = 262000;
  EXPECT_EQ(RingBufferCount(ring_), 261990u);
  ring_->ReadIndex = 1;
  ring_->WriteIndex = 0;
  EXPECT_EQ(RingBufferCount(ring_), kCapacity);
}

TEST_F(RingBufferTest, ZeroLengthGetOnDataChangesNothing) {
  auto data = Stream(0, 50);
  RingBufferPut(ring_, data.data(), 50);
  EXPECT_EQ(RingBufferGet(ring_, nullptr, 0), 0u);
  EXPECT_EQ(RingBufferCount(ring_), 50u);
  EXPECT_EQ(ring_->ReadIndex, 0u);
  EXPECT_EQ(ring_->WriteIndex, 50u);
}

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

TEST_F(RingBufferTest, ResetEmptiesButLeavesTheBytes) {
  MoveTo(262140);
  auto data = Stream(0, 20);
  RingBufferPut(ring_, data.data(), 20);
  std::vector<UCHAR> before(ring_->Data, ring_->Data + sizeof(ring_->Data));
  RingBufferReset(ring_);
  EXPECT_EQ(RingBufferCount(ring_), 0u);
  EXPECT_EQ(ring_->ReadIndex, 0u);
  EXPECT_EQ(ring_->WriteIndex, 0u);
  EXPECT_EQ(0, memcmp(before.data(), ring_->Data, before.size()));
}

TEST_F(RingBufferTest, RunsAtDispatchLevelWhenCallerHoldsASpinLock) {
  // The read path calls the ring holding the device SpinLock.
  KSPIN_LOCK deviceLock;
  KeInitializeSpinLock(&deviceLock);
  KIRQL old;
  KeAcquireSpinLock(&deviceLock, &old);
  auto data = Stream(0, 64);
  EXPECT_EQ(RingBufferPut(ring_, data.data(), 64), 64u);
  UCHAR out[64];
  EXPECT_EQ(RingBufferGet(ring_, out, 64), 64u);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&deviceLock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(0, memcmp(out, data.data(), 64));
}

// Random puts and gets of every size class against a reference queue,
// starting from each awkward index so every wrap shape is met.
TEST_F(RingBufferTest, MatchesAReferenceQueueUnderRandomTraffic) {
  std::mt19937 rng(20240601);
  const ULONG sizes[] = {1, 2, 17, 4096, 65536, 200000, kCapacity, kPositions};
  for (ULONG start : {0u, 1u, 262127u, kCapacity - 1, kCapacity}) {
    RingBufferReset(ring_);
    if (start != 0) MoveTo(start);
    std::deque<UCHAR> model;
    uint64_t produced = 0;
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
      } else {
        ULONG got = RingBufferGet(ring_, out.data(), size);
        ASSERT_EQ(got, std::min<size_t>(size, model.size())) << "step " << step;
        for (ULONG i = 0; i < got; i++) {
          ASSERT_EQ(out[i], model.front()) << "step " << step << " byte " << i;
          model.pop_front();
        }
      }
      ASSERT_EQ(RingBufferCount(ring_), model.size());
      ASSERT_LE(ring_->ReadIndex, kCapacity);
      ASSERT_LE(ring_->WriteIndex, kCapacity);
    }
  }
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kStreamBytes = 32ull << 20;  // sanitizers run memcpy instrumented
#else
constexpr uint64_t kStreamBytes = 256ull << 20;
#endif

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
      for (ULONG i = 0; i < size; i++) chunk[i] = StreamByte(sent + i);
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
    for (ULONG i = 0; i < n && badByte == UINT64_MAX; i++) {
      if (buffer[i] != StreamByte(received + i)) badByte = received + i;
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

TEST(RingBufferAllocation, FailsCleanlyWhenPoolIsExhausted) {
  emu::faults::fail_tag(POOL_TAG_DRIVER);
  EXPECT_EQ(RingBufferAllocate(), nullptr);
  emu::faults::clear();
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), 0u);
  // NULL rings are tolerated so that teardown paths need no checks.
  RingBufferFree(nullptr);
  EXPECT_EQ(RingBufferCount(nullptr), 0u);
}

}  // namespace
