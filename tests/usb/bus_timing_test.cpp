// Bus timing: bulk packets in the slots of full- and high-speed frames,
// completions reported at the end of the (micro)frame as a host controller
// reports them (or, on the kinder bus, as soon as the device answered),
// zero-length packets, and interrupt endpoints polled at their bInterval.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "usb_client.h"

namespace {

using namespace usbtest;
using emu::usb::CompletionTiming;
using emu::usb::ScriptedDevice;
using emu::usb::Speed;
namespace cdc = emu::usb::cdc;
using std::chrono::nanoseconds;

// A speed's frame, as the USB specification has it.
struct Frame {
  Speed speed;
  uint16_t packet;        // bulk max packet size
  int64_t ns;             // frame time
  int64_t slots;          // maximum-size bulk packets a frame
  int64_t packets_of_4k;  // packets of a 4 KiB transfer
};
constexpr Frame kFull{Speed::full, 64, 1'000'000, 19, 64};
constexpr Frame kHigh{Speed::high, 512, 125'000, 13, 8};

// Where slot k of the frames starting at 0 begins.
nanoseconds slot_begins(const Frame& f, int64_t slot) {
  return nanoseconds((slot * f.ns + f.slots - 1) / f.slots);
}
// When a host controller reports a transfer of `packets` that starts at
// `start` on an idle bus: its first packet goes in the first slot that has
// not begun, the report comes at the end of the frame of its last packet.
nanoseconds reported_at(const Frame& f, nanoseconds start, int64_t packets) {
  int64_t first = start.count() * f.slots / f.ns;
  if (slot_begins(f, first) < start) ++first;
  return nanoseconds(((first + packets - 1) / f.slots + 1) * f.ns);
}

class BusTimingTest : public BusTest {
 protected:
  // A CDC device of `speed` whose descriptors carry that speed's packet sizes.
  Client& plug(Speed speed, CompletionTiming completion = CompletionTiming::end_of_frame) {
    auto config = cdc::configuration_descriptor(cdc::Variant::acm, speed);
    dev_ = std::make_shared<ScriptedDevice>(cdc::device_descriptor(), config);
    dev_->set_speed(speed);
    emu::usb::PlugOptions options;
    options.completion = completion;
    client_ = std::make_unique<Client>(emu::usb::plug(dev_, options));
    EXPECT_EQ(client_->select(config, driver_sizes).status, STATUS_SUCCESS);
    return *client_;
  }
  // On the frozen clock (it moves in 100 ns steps): pending up to the step
  // before `due`, completed once the clock reaches it.
  void expect_done_at(UrbRequest& r, nanoseconds due) {
    const nanoseconds step = (due + nanoseconds(99)) / 100 * 100;
    if (step > emu::clock::now() + nanoseconds(100)) {
      emu::clock::advance(step - nanoseconds(100) - emu::clock::now());
      EXPECT_FALSE(r.wait(30ms)) << "completed before its time";
    }
    if (step > emu::clock::now()) emu::clock::advance(step - emu::clock::now());
    EXPECT_TRUE(r.wait(5s)) << "not completed at its time";
  }
  // Waits (real time) until the device has answered for all but `left`
  // queued bytes of `endpoint`: the bus took the transfer at the clock's
  // present reading.
  bool wait_taken(uint8_t endpoint, std::size_t left) {
    for (int i = 0; i < 5000; ++i) {
      if (dev_->queued_in(endpoint) == left) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }
  // Runs `test(frame, timing, client)` on a fresh device of each speed under
  // each completion timing (or under the frame-end timing only).
  template <class Test>
  void each_bus(Test test, bool kinder_too = true) {
    for (const Frame& f : {kFull, kHigh}) {
      for (CompletionTiming timing : {CompletionTiming::end_of_frame, CompletionTiming::on_answer}) {
        if (timing == CompletionTiming::on_answer && !kinder_too) continue;
        SCOPED_TRACE(testing::Message()
                     << emu::usb::speed_name(f.speed) << ", " << emu::usb::completion_timing_name(timing));
        test(f, timing, plug(f.speed, timing));
        TearDown();
      }
    }
  }
  // The frozen clock on a frame boundary.
  nanoseconds freeze_on_a_frame() {
    emu::clock::freeze();
    const nanoseconds now = emu::clock::now();
    const nanoseconds boundary = (now + 1ms) / 1ms * 1ms;
    emu::clock::advance(boundary - now);
    return boundary;
  }
};

// 4 KiB reads, each submitted when the one before completed or later, at
// explored offsets into a frame, on the frozen clock: a host reporting at
// frame ends completes each at the end of the frame of its last packet
// (one submitted after the last slot that could hold it waits for the next
// frame) and never before; the kinder bus completes a read whose slot is
// free at once, the next when the slots of the one before are over.  With
// one read in flight the bytes never outrun the design's ceiling: one read
// a microframe at high speed, one in four frames at full speed (a 64 KiB
// write takes 10 microframes, 128 of 130 slots, or 54 frames, 1,024 of 1,026).
TEST_F(BusTimingTest, CompletionsComeAtTheEndOfTheFrameOfTheLastPacket) {
  EXPECT_EQ(emu::usb::bulk_ceiling(Speed::full, 64), 1'216'000u);
  EXPECT_EQ(emu::usb::bulk_ceiling(Speed::high, 512), 53'248'000u);
  EXPECT_EQ(emu::usb::one_in_flight_ceiling(Speed::high, 512, 4096), 4096u * 8000);
  EXPECT_EQ(emu::usb::one_in_flight_ceiling(Speed::full, 64, 4096), 4096u * 250);
  EXPECT_EQ(emu::usb::one_in_flight_ceiling(Speed::high, 512, 65536), 65536u * 800);
  EXPECT_EQ(emu::usb::one_in_flight_ceiling(Speed::full, 64, 65536), 65536'000u / 54);
  EXPECT_EQ(emu::usb::one_in_flight_ceiling(Speed::unlimited, 64, 4096), 0u);
  for (CompletionTiming timing : {CompletionTiming::end_of_frame, CompletionTiming::on_answer})
    EXPECT_EQ(emu::usb::parse_completion_timing(emu::usb::completion_timing_name(timing)), timing);
  EXPECT_EQ(emu::usb::completion_timing_name(CompletionTiming::on_answer), "on-answer");
  std::mt19937_64 rng(25);
  int explored = 0;
  each_bus([&](const Frame& f, CompletionTiming timing, Client& client) {
    constexpr int kReads = 8;
    std::vector<uint8_t> data(kReads * 4096);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
    dev_->queue_in(cdc::BULK_IN_ENDPOINT, data);
    const nanoseconds t0 = freeze_on_a_frame();
    int64_t next_slot = 0;  // the kinder bus: the first slot (from t0) not given out
    std::vector<uint8_t> got;
    for (int i = 0; i < kReads; ++i) {
      // Read 0 on the boundary, then at once, or at a slot boundary, or
      // anywhere in the frame (read i's offset from the last completion).
      const int64_t kind = i == 0 ? 1 : int64_t(rng() % 3);
      const nanoseconds offset = kind == 1   ? nanoseconds(0)
                                 : kind == 2 ? slot_begins(f, int64_t(rng() % uint64_t(f.slots)))
                                             : nanoseconds(int64_t(rng() % uint64_t(f.ns)) / 100 * 100);
      if (offset > nanoseconds(0)) emu::clock::advance(offset);
      const nanoseconds start = emu::clock::now();
      UrbRequest r(client.pdo());
      std::vector<uint8_t> buffer(4096);
      client.send_transfer(r, cdc::BULK_IN_ENDPOINT, buffer.data(), 4096, kIn);
      const int64_t in_progress = (start - t0).count() * f.slots / f.ns;
      if (timing == CompletionTiming::end_of_frame) {
        ASSERT_TRUE(wait_taken(cdc::BULK_IN_ENDPOINT, data.size() - std::size_t(i + 1) * 4096));
        expect_done_at(r, reported_at(f, start - t0, f.packets_of_4k) + t0);
      } else if (in_progress >= next_slot) {
        EXPECT_TRUE(r.wait(5s)) << "its slot was free: done at once";
        next_slot = in_progress + f.packets_of_4k;
      } else {
        expect_done_at(r, t0 + slot_begins(f, next_slot));
        next_slot += f.packets_of_4k;
      }
      ASSERT_EQ(r.status(), STATUS_SUCCESS);
      ASSERT_EQ(r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 4096u) << "a full buffer ends it";
      got.insert(got.end(), buffer.begin(), buffer.end());
      ++explored;
    }
    EXPECT_EQ(got, data);
    if (timing == CompletionTiming::end_of_frame) {
      const double seconds = std::chrono::duration<double>(emu::clock::now() - t0).count();
      EXPECT_LE(double(data.size()) / seconds,
                double(emu::usb::one_in_flight_ceiling(f.speed, f.packet, 4096)) * (1 + 1e-9));
    }
  });
  std::printf("explored %d reads (seed 25)\n", explored);
}

// On the running clock, where a read whose slot is free runs at once in the
// submitting thread and the bus thread reports it: with one 4 KiB read in
// flight, n reads take more than n - 1 frames from the first submission.
TEST_F(BusTimingTest, OneReadInFlightCannotOutrunTheDesignCeiling) {
  each_bus(
      [&](const Frame& f, CompletionTiming, Client& client) {
        const int reads = f.speed == Speed::high ? 160 : 20;
        dev_->queue_in(cdc::BULK_IN_ENDPOINT, std::vector<uint8_t>(std::size_t(reads) * 4096, 0x5A));
        UrbRequest r(client.pdo());
        std::vector<uint8_t> buffer(4096);
        const nanoseconds first = emu::clock::now();
        nanoseconds last{0};
        for (int i = 0; i < reads; ++i) {
          client.send_transfer(r, cdc::BULK_IN_ENDPOINT, buffer.data(), 4096, kIn);
          ASSERT_TRUE(r.wait(5s));
          last = emu::clock::now();
          ASSERT_EQ(r.status(), STATUS_SUCCESS);
          ASSERT_EQ(r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 4096u);
        }
        EXPECT_GT(last - first, nanoseconds(f.ns) * (reads - 1));
        std::printf("%s: %d reads in %.2f ms, %.3f of the design's ceiling\n",
                    std::string(emu::usb::speed_name(f.speed)).c_str(), reads,
                    std::chrono::duration<double, std::milli>(last - first).count(),
                    double(reads) * 4096 / std::chrono::duration<double>(last - first).count() /
                        double(emu::usb::one_in_flight_ceiling(f.speed, f.packet, 4096)));
      },
      false);
}

// A read whose packets moved is the bus's until the end of its frame (a
// pending transfer, not cancellable); a device that leaves meanwhile has it
// reported at once, with its bytes.
TEST_F(BusTimingTest, AReadWaitingForItsFrameEndIsReportedWhenTheDeviceLeaves) {
  Client& client = plug(Speed::high);
  dev_->queue_in(cdc::BULK_IN_ENDPOINT, std::string(4096, 'r'));
  freeze_on_a_frame();
  UrbRequest r(client.pdo());
  std::vector<uint8_t> buffer(4096);
  EXPECT_EQ(client.send_transfer(r, cdc::BULK_IN_ENDPOINT, buffer.data(), 4096, kIn), STATUS_PENDING);
  ASSERT_TRUE(wait_taken(cdc::BULK_IN_ENDPOINT, 0));
  EXPECT_TRUE(emu::usb::wait_pending(client.pdo(), cdc::BULK_IN_ENDPOINT, 1, 1s));
  EXPECT_FALSE(IoCancelIrp(r.irp())) << "its packets moved: nothing to cancel";
  EXPECT_FALSE(r.wait(30ms));
  emu::usb::unplug(client.pdo());
  ASSERT_TRUE(r.wait(5s)) << "lost with the device";
  EXPECT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 4096u);
  EXPECT_EQ(r.completions(), 1);
}

// A device that sends a multiple of the packet size ends the transfer with
// a zero-length packet (one that leaves it out holds the host's transfer
// open until its next packet: the driver suite's pacing cases).
TEST_F(BusTimingTest, WholePacketsEndWithAZeroLengthPacket) {
  for (Speed speed : {Speed::full, Speed::high}) {
    SCOPED_TRACE(emu::usb::speed_name(speed));
    Client& client = plug(speed);
    const std::string whole(speed == Speed::high ? 2 * 512 : 2 * 64, 'w');
    UrbRequest r(client.pdo());
    std::vector<uint8_t> buffer(4096);
    EXPECT_EQ(client.send_transfer(r, cdc::BULK_IN_ENDPOINT, buffer.data(), 4096, kIn), STATUS_PENDING);
    dev_->queue_in(cdc::BULK_IN_ENDPOINT, whole);
    ASSERT_TRUE(r.wait(5s));
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    const ULONG n = r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), n), whole);
    emu::usb::reset();
  }
}

// The notification endpoint (bInterval 10 at full speed: 10 ms; 8 at high
// speed: 2^7 microframes, 16 ms) is polled on its period: a notification
// that is ready reaches the host at the next poll, not before, and is
// reported at the end of that poll's frame (on the kinder bus at the poll).
TEST_F(BusTimingTest, InterruptEndpointsArePolledAtTheirInterval) {
  each_bus([&](const Frame& f, CompletionTiming timing, Client& client) {
    const nanoseconds period = f.speed == Speed::high ? nanoseconds(16ms) : nanoseconds(10ms);
    emu::clock::freeze();
    // 1 ms past a poll.
    const nanoseconds now = emu::clock::now();
    emu::clock::advance(period - now % period + 1ms);
    const nanoseconds poll = emu::clock::now() + period - 1ms;
    dev_->notify_serial_state(cdc::SERIAL_STATE_DCD);
    UrbRequest r(client.pdo());
    uint8_t buffer[16] = {};
    client.send_transfer(r, cdc::NOTIFY_ENDPOINT, buffer, sizeof buffer, kIn);
    if (timing == CompletionTiming::on_answer) {
      expect_done_at(r, poll);
    } else {
      emu::clock::advance(poll - nanoseconds(100) - emu::clock::now());
      EXPECT_FALSE(r.wait(30ms));
      EXPECT_NE(dev_->queued_in(cdc::NOTIFY_ENDPOINT), 0u) << "polled before its time";
      emu::clock::advance(nanoseconds(100));
      ASSERT_TRUE(wait_taken(cdc::NOTIFY_ENDPOINT, 0)) << "not polled at its time";
      expect_done_at(r, poll + nanoseconds(f.ns));
    }
    EXPECT_EQ(r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
    EXPECT_EQ(buffer[8], cdc::SERIAL_STATE_DCD);
  });
}

}  // namespace
