// The interrupt polling thread: serial-state notifications become the DSR
// and DCD bits of the modem status, and the thread ends only on the read
// outcomes that mean cancellation, power-down or an endpoint halted outside D0.
#include <mutex>
#include <sstream>
#include <vector>

#include "serial/waitmask.h"
#include "support/port_fixture.h"
#include "usb/descriptor_builder.h"

namespace vrmdm_test::lifecycle {
namespace {

constexpr uint8_t kNotify = usb::cdc::NOTIFY_ENDPOINT;

class InterruptTest : public LifecycleFixture {
 protected:
  void SetUp() override {
    LifecycleFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::open));
    thread_ = ext_->pInterruptPollingFunctionThread;
    ASSERT_NE(thread_, nullptr);
    ASSERT_TRUE(usb::wait_pending(dev_->pdo, kNotify, 1)) << "the thread reads the notification pipe";
  }

  // Sends a serial state and waits for the modem status it must produce.
  ::testing::AssertionResult Notify(uint16_t state, ULONG expected) {
    model_->notify_serial_state(state);
    if (WaitUntil([&] { return ModemStatusOf(ext_) == expected; }, 5s)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "state " << std::hex << state << ": modem status "
                                         << ModemStatusOf(ext_) << ", expected " << expected;
  }

  PKTHREAD thread_ = nullptr;
};

constexpr ULONG DSR = SERIAL_MSR_DSR, DCD = SERIAL_MSR_DCD, DDSR = SERIAL_MSR_DDSR, DDCD = SERIAL_MSR_DDCD;

TEST_F(InterruptTest, CarrierBitsOfEachNotificationBecomeTheModemStatus) {
  // The change bits stay until read or reported: a read answers them (and
  // CTS, always on) and clears them, between steps.
  auto notify = [&](uint16_t state, ULONG expected) {
    const ULONG status = ModemStatusOf(ext_);
    EXPECT_EQ(FromBytes<ULONG>(port_->ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG)).output),
              status | SERIAL_MSR_CTS);
    return Notify(state, expected);
  };
  ASSERT_EQ(ModemStatusOf(ext_), DSR | DDSR) << "as the open left it";
  EXPECT_TRUE(notify(0x03, DSR | DCD | DDCD));   // DSR unchanged, DCD rises
  EXPECT_TRUE(notify(0x01, DCD | DDSR));         // DSR falls, DCD unchanged
  EXPECT_TRUE(notify(0x02, DSR | DDSR | DDCD));  // both change
  EXPECT_TRUE(notify(0x00, DDSR));               // DSR falls
  EXPECT_TRUE(notify(0x7C, 0));                  // break, ring and errors only: both off, no change
  EXPECT_TRUE(notify(0x7E, DSR | DDSR));         // only bits 1..0 count

  // Only a whole serial-state notification speaks for the lines: another
  // code, or one cut short, is passed over.
  port_->ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
  model_->queue_packet(kNotify, std::vector<uint8_t>{0xA1, 0x2A, 0, 0, 0, 0, 2, 0, 0x01, 0});
  model_->queue_packet(kNotify, std::vector<uint8_t>{0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x01});
  EXPECT_TRUE(Notify(0x03, DSR | DCD | DDCD)) << "the odd notifications changed the lines";
}

TEST_F(InterruptTest, ACarrierChangeCompletesAWaitOnMask) {
  ASSERT_EQ(port_->ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes<ULONG>(SERIAL_EV_RLSD)).status, STATUS_SUCCESS);
  auto wait = port_->ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
  ASSERT_EQ(wait->returned(), STATUS_PENDING);
  // No timed pass of the wait-mask thread comes while the clock stands: the
  // change itself must wake it (its 5 ms wait lasts a tick, 15.6 ms).
  emu::clock::freeze();
  model_->notify_serial_state(usb::cdc::SERIAL_STATE_DCD | usb::cdc::SERIAL_STATE_DSR);
  ASSERT_TRUE(Ends(wait, STATUS_SUCCESS, std::nullopt, 5000ms));
  EXPECT_EQ(FromBytes<ULONG>(wait->output()), (ULONG)SERIAL_EV_RLSD);
  emu::IoResult status = port_->ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
  EXPECT_EQ(FromBytes<ULONG>(status.output) & (DSR | DCD), DSR | DCD);
}

TEST_F(InterruptTest, AFailedReadLeavesTheLinesAndTheThreadReadsOn) {
  ASSERT_TRUE(Notify(0x03, DSR | DCD | DDSR | DDCD));
  // The read now waiting fails; the one after it is held by the device.
  usb::inject_fault(dev_->pdo, kNotify,
                    usb::Fault::error(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL));
  usb::inject_fault(dev_->pdo, kNotify, usb::Fault::never_complete());
  model_->notify_serial_state(0x00);  // wakes the waiting read
  // The thread's last word on the failure, written after the read's own.
  EXPECT_TRUE(WaitUntil([] {
    return emu::trace::contains(
        "[vr_mdm] pInterruptPollingFunction USB Access Fail (UrbStatus = c0000005 , ntStatus = c0000001)");
  }));
  EXPECT_EQ(ModemStatusOf(ext_), DSR | DCD | DDSR | DDCD) << "the failed read changed the lines";
  EXPECT_TRUE(emu::trace::contains(
      "[ReadInterrupt] UrbStatus = C0000005 , ntStatus = C0000001 DevicePowerState = 1"));
  EXPECT_TRUE(usb::wait_pending(dev_->pdo, kNotify, 1)) << "and it reads again";
  EXPECT_FALSE(ThreadEnded(thread_));
}

TEST_F(InterruptTest, NoReadWhileThePowerStateIsUnspecified) {
  SetPowerState(PowerDeviceUnspecified);
  emu::clock::freeze();
  EXPECT_TRUE(Notify(0x03, DSR | DCD | DDSR | DDCD));  // the read already pending still lands
  ASSERT_TRUE(emu::ke::wait_thread_blocked(thread_));
  emu::clock::advance(1ms);  // the thread looks at the state and sleeps
  ASSERT_TRUE(emu::ke::wait_thread_blocked(thread_));
  EXPECT_FALSE(usb::wait_pending(dev_->pdo, kNotify, 1, 300ms)) << "read issued in an unknown power state";
  emu::clock::advance(50ms);
  EXPECT_FALSE(usb::wait_pending(dev_->pdo, kNotify, 1, 100ms));
  SetPowerState(PowerDeviceD0);
  emu::clock::advance(60ms);
  EXPECT_TRUE(usb::wait_pending(dev_->pdo, kNotify, 1));
  EXPECT_FALSE(ThreadEnded(thread_));
}

// One failed read in a given power state: does the thread end, and with
// which trace?
struct ExitCase {
  const char* name;
  DEVICE_POWER_STATE power;
  USBD_STATUS usbd;
  NTSTATUS status;
  const char* exit_trace;  // null: the thread reads on
};

class InterruptExitTest : public InterruptTest, public testing::WithParamInterface<ExitCase> {};

TEST_P(InterruptExitTest, ReadOutcome) {
  const ExitCase& c = GetParam();
  emu::trace::clear();
  SetPowerState(c.power);
  usb::inject_fault(dev_->pdo, kNotify, usb::Fault::error(c.usbd, c.status));
  model_->notify_serial_state(0x03);  // wakes the waiting read, which fails
  if (c.exit_trace != nullptr) {
    EXPECT_TRUE(WaitUntil([&] { return ThreadEnded(thread_); })) << "the thread should end";
    EXPECT_TRUE(emu::trace::contains(c.exit_trace));
    std::ostringstream fail;
    fail << "pInterruptPollingFunction USB Access Fail (UrbStatus = " << std::hex << (unsigned)c.usbd;
    EXPECT_FALSE(emu::trace::contains(fail.str())) << "an exit is not traced as an access failure";
  } else {
    EXPECT_TRUE(WaitUntil([] { return emu::trace::contains("pInterruptPollingFunction USB Access Fail"); }));
    SetPowerState(PowerDeviceD0);
    EXPECT_TRUE(Notify(0x00, DDSR | DDCD)) << "the thread still reads";
    EXPECT_FALSE(ThreadEnded(thread_));
  }
  SetPowerState(PowerDeviceD0);
  emu::CloseResult closed = port_->close();
  EXPECT_TRUE(ClosedCleanly(closed));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InterruptExitTest,
    testing::Values(
        ExitCase{"HaltedInD0", PowerDeviceD0, USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL, nullptr},
        ExitCase{"HaltedInD2", PowerDeviceD2, USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL,
                 "[pInterruptPollingFunction]ntStatus == USBD_STATUS_ENDPOINT_HALTED "},
        // The bare cancel code of the oldest DDKs, without the state bits.
        ExitCase{"CancelCodeWithoutStateBits", PowerDeviceD0, (USBD_STATUS)0x00010000, STATUS_CANCELLED,
                 "[pInterruptPollingFunction]USBD_STATUS_CANCELED "},
        ExitCase{"PoweredOffInD3", PowerDeviceD3, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_POWERED_OFF,
                 "[pInterruptPollingFunction]PowerDeviceD3 == STATUS_DEVICE_POWERED_OFF "},
        ExitCase{"NotReadyInD3", PowerDeviceD3, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_READY,
                 "[pInterruptPollingFunction]PowerDeviceD3 == STATUS_DEVICE_NOT_READY "},
        ExitCase{"PoweredOffInD2", PowerDeviceD2, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_POWERED_OFF,
                 "[pInterruptPollingFunction]  STATUS_DEVICE_POWERED_OFF  && PowerDeviceD2 "},
        ExitCase{"NotReadyInD2", PowerDeviceD2, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_READY,
                 nullptr},
        ExitCase{"PoweredOffInD0", PowerDeviceD0, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_POWERED_OFF,
                 nullptr},
        ExitCase{"DeviceGone", PowerDeviceD0, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, nullptr},
        ExitCase{"CancelledWithAnotherUsbdStatus", PowerDeviceD0, USBD_STATUS_DEV_NOT_RESPONDING,
                 STATUS_CANCELLED, nullptr}),
    [](const testing::TestParamInfo<ExitCase>& info) { return std::string(info.param.name); });

// Every interrupt read asks whole packets of the notification endpoint: a
// notification that fills a packet does not end the transfer, and with a
// part-packet left the next one overruns it and both are lost (Linux's
// gadget ACM function has a 10-byte endpoint).  Rows: packet, bytes asked.
using PacketAsked = std::pair<uint16_t, uint32_t>;
class InterruptLengthTest : public LifecycleFixture, public testing::WithParamInterface<PacketAsked> {};

TEST_P(InterruptLengthTest, AsksWholePacketsOfTheEndpoint) {
  const auto [packet, asked] = GetParam();
  const emu::usb::Bytes set = usbtest::ConfigBuilder(2)
                                  .iface(0, 1)
                                  .acm_functional()
                                  .endpoint(kNotify, USB_ENDPOINT_TYPE_INTERRUPT, packet, 9)
                                  .data_iface(1, 2)
                                  .endpoint(usb::cdc::BULK_IN_ENDPOINT, USB_ENDPOINT_TYPE_BULK, 512)
                                  .endpoint(usb::cdc::BULK_OUT_ENDPOINT, USB_ENDPOINT_TYPE_BULK, 512)
                                  .build();
  std::mutex m;
  std::vector<uint32_t> lengths;
  const uint64_t watch = usb::watch([&](const usb::UrbEvent& e) {
    if (e.kind == usb::UrbEvent::Kind::submit && e.endpoint == kNotify) {
      std::lock_guard lock(m);
      lengths.push_back(e.length);
    }
  });
  PluggedDevice& d = PlugDescriptors(usb::cdc::device_descriptor(), set);
  ASSERT_EQ(Start(d), STATUS_SUCCESS);
  ASSERT_EQ(Open().status(), STATUS_SUCCESS);
  const bool reading = usb::wait_pending(d.pdo, kNotify, 1);
  usb::unwatch(watch);
  ASSERT_TRUE(reading) << "the thread reads the notification pipe";
  std::lock_guard lock(m);
  ASSERT_FALSE(lengths.empty());
  for (uint32_t length : lengths) EXPECT_EQ(length, asked) << "packet " << packet;
}

INSTANTIATE_TEST_SUITE_P(Packets, InterruptLengthTest,
                         testing::Values(PacketAsked{8, 16}, PacketAsked{10, 10}, PacketAsked{16, 16},
                                         PacketAsked{64, 16}, PacketAsked{3, 15}));

}  // namespace
}  // namespace vrmdm_test::lifecycle
