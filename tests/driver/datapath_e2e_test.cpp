// End to end through the data path, as a serial client sees it: a modem
// streaming a long verifiable pattern read back in random sizes under random
// time-outs, random writes reaching the device intact and in order, and the
// time from a byte reaching the ring to the completion of the read that
// waits for it.  The throughput and latency measured are printed.
#include <algorithm>
#include <cstdio>
#include <random>

#include "datapath_support.h"

namespace vrmdm_test {
namespace {

using Clock = std::chrono::steady_clock;

class DataPathE2ETest : public DataPathTest {};

TEST_F(DataPathE2ETest, ModemStreamArrivesOnceAndInOrder) {
  const uint64_t total = kSanitized ? (8ull << 20) : (64ull << 20);
  usb::ModemConfig config;
  config.data_mode = usb::ModemConfig::DataMode::source;
  config.source_limit = total;
  auto& dev = PlugModem("acm", u"COM5", config);
  ASSERT_EQ(Start(dev), STATUS_SUCCESS);
  emu::Handle& port = Open();
  ASSERT_TRUE(port.is_open());
  auto* modem = dev.as<usb::ModemModel>();
  ASSERT_NE(modem, nullptr);
  dev_ = &dev;
  port_ = &port;
  ext_ = dev.ext();

  SetTimeouts(20, 0);
  ASSERT_EQ(port.write("ATD*99#\r").status, STATUS_SUCCESS);
  const std::string connect = "CONNECT " + std::to_string(config.connect_rate) + "\r\n";
  std::string text;
  std::vector<uint8_t> head;
  auto start = Clock::now();
  while (head.empty()) {
    auto r = port.read(64);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    text.append(r.output.begin(), r.output.end());
    size_t at = text.find(connect);
    if (at != std::string::npos) {
      head.assign(text.begin() + at + connect.size(), text.end());
      break;
    }
    ASSERT_LT(Clock::now() - start, 10s) << "no CONNECT in \"" << text << "\"";
  }

  std::mt19937 rng(64);
  uint64_t offset = 0;
  uint64_t reads = 0, empty = 0;
  auto take = [&](const std::vector<uint8_t>& bytes) {
    auto bad = usb::check_pattern(offset, bytes);
    ASSERT_FALSE(bad.has_value()) << "byte " << offset + *bad << " is wrong";
    offset += bytes.size();
  };
  take(head);
  auto begin = Clock::now();
  while (offset < total && !HasFatalFailure()) {
    if (rng() % 64 == 0) {
      SetTimeouts(1 + rng() % 30, 0);
    }
    ULONG size = 1 + rng() % 16384;
    auto r = port.read(size);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_LE(r.information, size);
    reads++;
    empty += r.information == 0;
    take(r.output);
    ASSERT_LT(Clock::now() - begin, 300s) << "stalled at " << offset;
  }
  double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  EXPECT_EQ(offset, total);
  EXPECT_EQ(modem->source_bytes_sent(), total);
  std::printf("[ receive ] %llu bytes in %.2f s: %.1f MB/s (%llu reads, %llu timed out empty)\n",
              (unsigned long long)total, seconds, total / seconds / 1e6, (unsigned long long)reads,
              (unsigned long long)empty);
  RecordProperty("receive_MBps", std::to_string(total / seconds / 1e6));
}

TEST_F(DataPathE2ETest, RandomWritesReachTheDeviceIntactAndInOrder) {
  OpenScripted(usb::cdc::Variant::acm);
  const size_t total = kSanitized ? (1u << 20) : (4u << 20);
  std::mt19937 rng(4);
  std::vector<uint8_t> sent;
  std::deque<std::pair<emu::RequestPtr, size_t>> inflight;
  auto finish_one = [&] {
    auto [r, n] = inflight.front();
    inflight.pop_front();
    ASSERT_TRUE(r->wait());
    ASSERT_EQ(r->status(), STATUS_SUCCESS);
    ASSERT_EQ(r->information(), n);
  };
  while (sent.size() < total && !HasFatalFailure()) {
    size_t n = 1 + rng() % 8192;
    std::vector<uint8_t> data(n);
    for (auto& b : data) {
      b = (uint8_t)rng();
    }
    sent.insert(sent.end(), data.begin(), data.end());
    inflight.emplace_back(port_->write_async(data), n);
    if (inflight.size() >= 8) {
      finish_one();
    }
  }
  while (!inflight.empty() && !HasFatalFailure()) {
    finish_one();
  }
  auto wire = model_->out_data(kBulkOut);
  ASSERT_EQ(wire.size(), sent.size());
  EXPECT_TRUE(wire == sent) << "first difference at "
                            << (std::mismatch(wire.begin(), wire.end(), sent.begin()).first - wire.begin());
  EXPECT_EQ(InterlockedCompareExchange(&ext_->PendingWriteCount, 0, 0), 0);
}

TEST_F(DataPathE2ETest, ByteReachingTheRingCompletesTheWaitingReadWithinAMillisecond) {
  OpenScripted();
  SetTimeouts(10'000, 0);
  const int samples = kSanitized ? 100 : 400;
  std::mt19937 rng(1);
  std::vector<double> micros;
  for (int i = 0; i < samples; i++) {
    auto r = port_->read_async(1);
    ASSERT_EQ(r->returned(), STATUS_PENDING);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1000));
    Queue("L");
    while (RingCount() == 0 && !r->completed()) {
    }
    auto reached = Clock::now();
    ASSERT_TRUE(r->wait(5000ms));
    auto done = Clock::now();
    ASSERT_EQ(r->information(), 1u);
    micros.push_back(std::chrono::duration<double, std::micro>(done - reached).count());
  }
  std::sort(micros.begin(), micros.end());
  double median = micros[micros.size() / 2];
  double p99 = micros[micros.size() * 99 / 100];
  std::printf("[ latency ] ring to read completion over %d reads: median %.0f us, p99 %.0f us\n", samples,
              median, p99);
  RecordProperty("latency_median_us", std::to_string(median));
  RecordProperty("latency_p99_us", std::to_string(p99));
  // The read thread looks every millisecond; well past that means a read was
  // left to its 10 s time-out or served late.
  EXPECT_LT(median, 5000.0);
}

}  // namespace
}  // namespace vrmdm_test
