// Bus timing: bulk packets in the slots of full- and high-speed frames,
// zero-length packets, and interrupt endpoints polled at their bInterval.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb_client.h"

namespace {

using namespace usbtest;
using emu::usb::ScriptedDevice;
using emu::usb::Speed;
namespace cdc = emu::usb::cdc;
using std::chrono::nanoseconds;

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

class BusTimingTest : public BusTest {
 protected:
  // A CDC device of `speed` whose descriptors carry that speed's packet sizes.
  Client& plug(Speed speed, bool zlp = true) {
    dev_ = std::make_shared<ScriptedDevice>(cdc::device_descriptor(),
                                            cdc::configuration_descriptor(cdc::Variant::acm, speed));
    dev_->set_speed(speed);
    dev_->set_zero_length_packets(zlp);
    client_ = std::make_unique<Client>(emu::usb::plug(dev_));
    config_ = cdc::configuration_descriptor(cdc::Variant::acm, speed);
    EXPECT_EQ(client_->select(config_, driver_sizes).status, STATUS_SUCCESS);
    return *client_;
  }
  // On the frozen clock (it moves in 100 ns steps): pending up to the step
  // before `due`, completed once the clock reaches it.
  void expect_done_at(UrbRequest& r, nanoseconds due) {
    const nanoseconds step = (due + nanoseconds(99)) / 100 * 100;
    emu::clock::advance(step - nanoseconds(100) - emu::clock::now());
    EXPECT_FALSE(r.wait(30ms)) << "completed before its time";
    emu::clock::advance(nanoseconds(100));
    EXPECT_TRUE(r.wait(5s)) << "not completed at its time";
  }
  std::shared_ptr<ScriptedDevice> dev_;
  std::unique_ptr<Client> client_;
  std::vector<uint8_t> config_;
};

// A 4 KiB bulk IN transfer takes 4096 / packet-size slots of the frame (19
// of 64 bytes a 1 ms frame, 13 of 512 bytes a 125 us microframe): the next
// transfer starts when they are over, to the 100 ns, not before.
TEST_F(BusTimingTest, BulkTransfersWaitForTheSlotsOfTheOneBefore) {
  struct Case {
    Speed speed;
    uint16_t packet;
    uint64_t ceiling;  // bytes a second
    int64_t frame_ns;
    int64_t slots_per_frame;
  };
  for (const Case& c :
       {Case{Speed::full, 64, 1'216'000, 1'000'000, 19}, Case{Speed::high, 512, 53'248'000, 125'000, 13}}) {
    SCOPED_TRACE(std::string(emu::usb::speed_name(c.speed)));
    EXPECT_EQ(emu::usb::bulk_ceiling(c.speed, c.packet), c.ceiling);
    Client& client = plug(c.speed);
    EXPECT_EQ(client.pipe(cdc::BULK_IN_ENDPOINT).MaximumPacketSize, c.packet);
    std::vector<uint8_t> data(3 * 4096);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
    dev_->queue_in(cdc::BULK_IN_ENDPOINT, data);
    emu::clock::freeze();  // on a tick, so on a slot boundary
    const nanoseconds t0 = emu::clock::now();
    const int64_t packets = 4096 / c.packet;

    std::vector<uint8_t> got;
    for (int64_t i = 0; i < 3; ++i) {
      UrbRequest r(client.pdo());
      std::vector<uint8_t> buffer(4096);
      client.build_transfer(r, cdc::BULK_IN_ENDPOINT, buffer.data(), 4096, kIn);
      r.send();
      if (i == 0) {
        EXPECT_TRUE(r.wait(5s)) << "the bus was idle: the first goes at once";
      } else {
        const int64_t slots = i * packets;
        expect_done_at(r, t0 + nanoseconds((slots * c.frame_ns + c.slots_per_frame - 1) / c.slots_per_frame));
      }
      ASSERT_EQ(r.status(), STATUS_SUCCESS);
      ASSERT_EQ(r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 4096u) << "a full buffer ends it";
      got.insert(got.end(), buffer.begin(), buffer.end());
    }
    EXPECT_EQ(got, data);
    emu::clock::unfreeze();
    emu::usb::reset();
  }
}

// A device that sends a multiple of the packet size ends the transfer with
// a zero-length packet; one that leaves it out holds the host's transfer
// open until its next packet, which then arrives behind the first.
TEST_F(BusTimingTest, WholePacketsEndWithAZeroLengthPacketOrWaitForTheNext) {
  for (Speed speed : {Speed::full, Speed::high}) {
    for (bool zlp : {true, false}) {
      SCOPED_TRACE(testing::Message()
                   << emu::usb::speed_name(speed) << (zlp ? ", with" : ", without") << " ZLP");
      Client& client = plug(speed, zlp);
      const std::size_t packet = speed == Speed::high ? 512 : 64;
      const std::string whole(2 * packet, 'w');
      UrbRequest r(client.pdo());
      std::vector<uint8_t> buffer(4096);
      client.build_transfer(r, cdc::BULK_IN_ENDPOINT, buffer.data(), 4096, kIn);
      EXPECT_EQ(r.send(), STATUS_PENDING);
      dev_->queue_in(cdc::BULK_IN_ENDPOINT, whole);
      std::string expected = whole;
      if (!zlp) {
        EXPECT_FALSE(r.wait(50ms)) << "ended without a short or zero-length packet";
        dev_->queue_in(cdc::BULK_IN_ENDPOINT, "tail");
        expected += "tail";
      }
      ASSERT_TRUE(r.wait(5s));
      EXPECT_EQ(r.status(), STATUS_SUCCESS);
      const ULONG n = r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data()), n), expected);
      emu::usb::reset();
    }
  }
}

// The notification endpoint (bInterval 10 at full speed: 10 ms; 8 at high
// speed: 2^7 microframes, 16 ms) is polled on its period: a notification
// that is ready reaches the host at the next poll, not before.
TEST_F(BusTimingTest, InterruptEndpointsArePolledAtTheirInterval) {
  for (auto [speed, period] :
       {std::pair{Speed::full, nanoseconds(10ms)}, std::pair{Speed::high, nanoseconds(16ms)}}) {
    SCOPED_TRACE(std::string(emu::usb::speed_name(speed)));
    Client& client = plug(speed);
    emu::clock::freeze();
    // 1 ms past a poll.
    const nanoseconds now = emu::clock::now();
    emu::clock::advance(period - now % period + 1ms);
    dev_->notify_serial_state(cdc::SERIAL_STATE_DCD);
    UrbRequest r(client.pdo());
    uint8_t buffer[16] = {};
    client.build_transfer(r, cdc::NOTIFY_ENDPOINT, buffer, sizeof buffer, kIn);
    r.send();
    expect_done_at(r, emu::clock::now() + period - 1ms);
    EXPECT_EQ(r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
    EXPECT_EQ(buffer[8], cdc::SERIAL_STATE_DCD);
    emu::clock::unfreeze();
    emu::usb::reset();
  }
}

}  // namespace
