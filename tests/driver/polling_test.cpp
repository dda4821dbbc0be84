// The bulk-IN polling thread: the event-character scan,
// the back-off when the ring is nearly full, and how each kind of failed read
// ends the thread or is retried.
#include "datapath_support.h"
#include "serial/polling.h"

namespace vrmdm_test {
namespace {

class PollingTest : public OpenDataPathTest {
 protected:
  std::string Read(ULONG n) { return AsText(port_->read(n).output); }
};

TEST_F(PollingTest, EventCharacterIsNotedOnlyWhileTheMaskAsksForIt) {
  SetEventChar('#');
  Deliver("a#b");  // mask without SERIAL_EV_RXFLAG
  EXPECT_EQ(RxFlagSeen(), FALSE);

  SetWaitMask(SERIAL_EV_RXFLAG);
  Deliver(std::string_view("\0\0zz", 4));  // the unset characters (0) never match a NUL
  EXPECT_EQ(RxFlagSeen(), FALSE);
  Deliver("c#");
  EXPECT_EQ(RxFlagSeen(), TRUE);
  auto w = WaitOnMask();  // the flag is reported once, then cleared
  ASSERT_TRUE(w->wait());
  EXPECT_EQ(EventsOf(w), (ULONG)SERIAL_EV_RXFLAG);
  EXPECT_EQ(RxFlagSeen(), FALSE);

  // A transfer the CONNECT filter drops whole still notes its character.
  ASSERT_EQ(port_->write("ATS7=1\r").status, STATUS_SUCCESS);
  const ULONG before = RingCount();
  Queue("CONNECT#\r\n");  // the result line alone: nothing stored
  Deliver("z");
  EXPECT_EQ(RingCount(), before + 1);
  EXPECT_EQ(RxFlagSeen(), TRUE);
}

TEST_F(PollingTest, ScanComparesEveryMemberButZero) {
  Locked([&] { return ext_->SpecialChars = SERIAL_CHARS{0, 0, 0, 0, 0x11, 0x13}; });  // Xon, Xoff only
  const UCHAR zeros[3] = {0, 0, 0};
  const UCHAR xoff[3] = {'a', 0x13, 'b'};
  const UCHAR plain[3] = {'a', 'b', 'c'};
  EXPECT_FALSE(ScanSpecialChars(ext_, zeros, 3));
  EXPECT_TRUE(ScanSpecialChars(ext_, xoff, 3));
  EXPECT_FALSE(ScanSpecialChars(ext_, xoff, 1));
  EXPECT_FALSE(ScanSpecialChars(ext_, plain, 3));
  EXPECT_FALSE(ScanSpecialChars(ext_, xoff, 0));
}

TEST_F(PollingTest, BacksOffWhileMoreThanTheThresholdIsUnread) {
  FreezeClock();
  // Exactly the threshold: the thread still reads.
  std::vector<uint8_t> block(4096, 'f');
  ULONG left = RING_BUFFER_BACKOFF_THRESHOLD;
  while (left > 0) {
    ULONG n = std::min<ULONG>(left, 4096);
    model_->queue_packet(kBulkIn, std::span<const uint8_t>(block.data(), n));
    left -= n;
  }
  ASSERT_TRUE(WaitRing(RING_BUFFER_BACKOFF_THRESHOLD));
  ASSERT_TRUE(usb::wait_pending(dev_->pdo, kBulkIn, 1));

  // One byte more: the next pass sleeps instead of reading.
  Deliver("+");
  ASSERT_TRUE(usb::wait_pending(dev_->pdo, kBulkIn, 0));
  model_->queue_packet(kBulkIn, std::span<const uint8_t>(block.data(), 4096));
  // Two pauses bring the thread into step with the clock: one pass per 10 ms.
  emu::clock::advance(10ms);
  emu::clock::advance(10ms);
  size_t invalidations = dev_->node->state_invalidations();
  for (int i = 1; i <= 3; i++) {
    emu::clock::advance(10ms);
    EXPECT_EQ(dev_->node->state_invalidations(), invalidations);  // a full ring is no device-state matter
    EXPECT_EQ(model_->queued_in(kBulkIn), 4096u);
    EXPECT_EQ(RingCount(), RING_BUFFER_BACKOFF_THRESHOLD + 1);
  }

  // The reader takes one byte: the thread reads again at once, the clock
  // standing still.
  auto r = port_->read(1);
  ASSERT_EQ(r.information, 1u);
  EXPECT_TRUE(WaitRing(RING_BUFFER_BACKOFF_THRESHOLD + 4096));
  EXPECT_EQ(model_->queued_in(kBulkIn), 0u);
}

// One row of the table of failed reads.
struct ExitRow {
  const char* name;
  DEVICE_POWER_STATE power;
  USBD_STATUS usbd;
  NTSTATUS status;
  bool ends;
  const char* trace;  // expected trace, or nullptr for none
};

class PollingExitTest : public PollingTest, public ::testing::WithParamInterface<ExitRow> {};

TEST_P(PollingExitTest, FailedReadEndsTheThreadOrIsRetried) {
  const ExitRow& row = GetParam();
  ASSERT_TRUE(usb::wait_pending(dev_->pdo, kBulkIn, 1));
  emu::trace::clear();
  SetPowerState(row.power);
  usb::inject_fault(dev_->pdo, kBulkIn, usb::Fault::error(row.usbd, row.status));
  Queue("!");  // re-offers the pending read, which now fails
  if (row.ends) {
    EXPECT_TRUE(WaitUntil([&] { return ThreadEnded(ext_->pPollingFunctionThread); }));
    SetPowerState(PowerDeviceD0);
  } else {
    SetPowerState(PowerDeviceD0);
    Queue("ok");  // the thread reads on: the failed read took nothing
    ASSERT_TRUE(WaitRing(3));
    EXPECT_EQ(Read(8), "!ok");
    EXPECT_FALSE(ThreadEnded(ext_->pPollingFunctionThread));
  }
  if (row.trace != nullptr) {
    EXPECT_EQ(emu::trace::count(row.trace), 1u) << row.trace;
  }
  size_t ours =
      emu::trace::count("[pPollingFunction]") + emu::trace::count("pPollingFunction USB Access Fail");
  EXPECT_EQ(ours, row.trace != nullptr ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PollingExitTest,
    ::testing::Values(
        ExitRow{"CancelledInD0", PowerDeviceD0, USBD_STATUS_CANCELED, STATUS_CANCELLED, true,
                "[pPollingFunction]  USBD_STATUS_CANCELED "},
        // The bare cancel code of the oldest DDKs, without the state bits.
        ExitRow{"CancelCodeWithoutStateBits", PowerDeviceD0, (USBD_STATUS)0x00010000, STATUS_CANCELLED, true,
                "[pPollingFunction]  USBD_STATUS_CANCELED "},
        ExitRow{"PoweredOffInD3", PowerDeviceD3, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_POWERED_OFF,
                true, nullptr},
        ExitRow{"NotReadyInD3", PowerDeviceD3, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_READY, true,
                "[pPollingFunction]PowerDeviceD3 == STATUS_DEVICE_NOT_READY "},
        ExitRow{"PoweredOffInD2", PowerDeviceD2, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_POWERED_OFF,
                true, "[pPollingFunction]  STATUS_DEVICE_POWERED_OFF  && PowerDeviceD2 "},
        ExitRow{"HaltedOutsideD0", PowerDeviceD2, USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL, true,
                "[pPollingFunction]  USBD_STATUS_ENDPOINT_HALTED "},
        ExitRow{"DeviceGone", PowerDeviceD0, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, true,
                "[pPollingFunction]  USBD_STATUS_DEVICE_GONE "},
        ExitRow{"HaltedInD0IsRetried", PowerDeviceD0, USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL, false,
                "[vr_mdm] pPollingFunction USB Access Fail (UrbStatus = c0000030 , ntStatus = c0000001)"},
        ExitRow{"PoweredOffInD0IsRetried", PowerDeviceD0, USBD_STATUS_DEV_NOT_RESPONDING,
                STATUS_DEVICE_POWERED_OFF, false,
                "[vr_mdm] pPollingFunction USB Access Fail (UrbStatus = c0000005 , ntStatus = 8000000f)"},
        ExitRow{"GoneStatusWithoutNoSuchDeviceIsRetried", PowerDeviceD0, USBD_STATUS_DEVICE_GONE,
                STATUS_UNSUCCESSFUL, false,
                "[vr_mdm] pPollingFunction USB Access Fail (UrbStatus = c0007000 , ntStatus = c0000001)"}),
    [](const ::testing::TestParamInfo<ExitRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vrmdm_test
