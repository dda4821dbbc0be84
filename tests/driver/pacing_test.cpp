// The read and write threads act when there is something to do, not on the
// clock tick: with the clock stopped at Windows' 15.625 ms tick no timed
// wait of theirs ever ends, yet writes reach the device and reads complete
// as data arrives.  And what the driver sees of a device that leaves out
// zero-length packets.
#include "datapath_support.h"

namespace vrmdm_test {
namespace {

class PacingTest : public DataPathTest {
 protected:
  // A full-speed CDC device, without an interrupt pipe.
  void OpenFullSpeed(bool zero_length_packets) {
    auto device = std::make_shared<usb::ScriptedDevice>(
        usb::cdc::device_descriptor(), usb::cdc::configuration_descriptor(usb::cdc::Variant::acm_nointr));
    device->set_speed(usb::Speed::full);
    device->set_zero_length_packets(zero_length_packets);
    dev_ = &Plug(device);
    ASSERT_EQ(Start(*dev_), STATUS_SUCCESS);
    port_ = &Open();
    ASSERT_TRUE(port_->is_open());
    ext_ = dev_->ext();
    model_ = device.get();
  }
};

TEST_F(PacingTest, WritesAndReadsMoveWhileTheClockStandsStill) {
  emu::clock::set_tick(emu::clock::windows_tick);
  OpenScripted();
  SetTimeouts(0, 0);  // a waiting read lasts 100 s
  FreezeClock();
  const int64_t frozen_at = emu::clock::interrupt_time();

  std::vector<emu::RequestPtr> writes;
  std::string sent;
  for (int i = 0; i < 8; ++i) {
    const std::string text = "frame " + std::to_string(i) + ";";
    writes.push_back(port_->write_async(text));
    sent += text;
  }
  EXPECT_EQ(writes[0]->returned(), STATUS_PENDING) << "left to the write thread";
  for (auto& w : writes) {
    ASSERT_TRUE(Ends(w, STATUS_SUCCESS, 8u, 5s)) << "a queued write waited for the clock";
  }
  EXPECT_EQ(AsText(model_->out_data(kBulkOut)), sent) << "in order, each once";
  EXPECT_EQ(model_->out_transfers(kBulkOut), writes.size()) << "one at a time";
  EXPECT_EQ(PendingWrites(), 0);

  for (int i = 0; i < 8; ++i) {
    auto read = port_->read_async(64);
    if (i == 0) {
      EXPECT_FALSE(read->wait(20ms)) << "the ring is empty: the read waits";
    }
    const std::string text = "data " + std::to_string(i);
    Queue(text);
    ASSERT_TRUE(Ends(read, STATUS_SUCCESS, std::nullopt, 5s))
        << "a waiting read was not served when its data came";
    EXPECT_EQ(AsText(read->output()), text);
  }
  EXPECT_EQ(emu::clock::interrupt_time(), frozen_at);
  EXPECT_EQ(ArmedTimers(), 0);
}

TEST_F(PacingTest, WithoutZeroLengthPacketsWholePacketsWaitForTheDevicesNextPacket) {
  OpenFullSpeed(false);
  const std::string packet(64, 'p');
  Queue(packet);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(RingCount(), 0u) << "the host's transfer is still open";
  Queue("!");
  ASSERT_TRUE(WaitRing(65));
  EXPECT_EQ(TakeRing(), packet + "!");
}

// The bytes a bulk-IN transfer moved before it was cancelled (as the
// power-up restart and cleanup cancel it) are stored, in order, not
// dropped: here the whole packet of a transfer held open for the device's
// next packet.
TEST_F(PacingTest, ACancelledReadKeepsTheBytesItMoved) {
  OpenFullSpeed(false);
  const std::string packet(64, 'p');
  Queue(packet);
  ASSERT_TRUE(WaitUntil([&] { return model_->queued_in(kBulkIn) == 0; })) << "the device never sent it";
  EXPECT_EQ(RingCount(), 0u) << "the host's transfer is still open";
  IoCancelIrp(ext_->BulkInIrp);  // what the restart does to the running read
  ASSERT_TRUE(WaitRing(64));
  EXPECT_EQ(TakeRing(), packet);
}

}  // namespace
}  // namespace vrmdm_test
