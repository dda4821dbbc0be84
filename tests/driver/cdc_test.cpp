// Class requests sent directly: the device handle they refresh, their
// serialisation and failures, and the immediate character.  What reaches the
// modem for each serial request is the control suite's.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "driver_fixture.h"
#include "usb/cdc.h"
#include "usb/pipes.h"
#include "usb/usb_io.h"

namespace {

using emu::usb::ScriptedDevice;
using vrmdm_test::DriverFixture;
namespace cdc = emu::usb::cdc;

class CdcTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::configured));
  }

  NTSTATUS LineState(ULONG modemControl) {
    ext_->ModemControl = modemControl;
    return ZLKUSB_SetControlLineState(AllocateIrpFor(*dev_), ext_);
  }
  NTSTATUS Coding(ULONG baud, UCHAR stop, UCHAR parity, UCHAR bits) {
    LINE_CODING coding = {baud, stop, parity, bits};
    return ZLKUSB_SetLineCoding(dev_->fdo(), &coding, nullptr);
  }
  std::vector<ScriptedDevice::ControlRecord> Requests(uint8_t request) {
    return vrmdm_test::ClassRequests(*model_, request);
  }
};

TEST_F(CdcTest, EachCompletedLineStateRefreshesTheDeviceHandle) {
  PVOID busHandle = emu::usb::info(dev_->pdo).device_handle;
  ASSERT_NE(busHandle, nullptr);
  for (int i = 0; i < 3; i++) {
    ext_->UsbdDeviceHandle = nullptr;
    ASSERT_EQ(LineState(3), STATUS_SUCCESS);
    EXPECT_EQ(ext_->UsbdDeviceHandle, busHandle);
  }
}

// A line state without a URB fails and sends nothing (as does a coding); a
// stalled one still succeeds.  Neither keeps the mutex: the next one goes.
TEST_F(CdcTest, FailedOrStalledLineStatesFreeTheMutex) {
  emu::faults::fail_tag(POOL_TAG_DRIVER);
  EXPECT_EQ(LineState(3), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Coding(9600, 0, 0, 8), STATUS_UNSUCCESSFUL);
  emu::faults::clear();
  EXPECT_TRUE(Requests(cdc::SET_CONTROL_LINE_STATE).empty());
  EXPECT_TRUE(Requests(cdc::SET_LINE_CODING).empty());
  EXPECT_EQ(KeReadStateMutex(&ext_->ControlMutex), 1);
  EXPECT_EQ(LineState(3), STATUS_SUCCESS);

  model_->set_control_handler([](const emu::usb::SetupPacket& s, std::span<uint8_t>) {
    return s.bRequest == cdc::SET_CONTROL_LINE_STATE ? emu::usb::Reply::stall() : emu::usb::Reply::data(0);
  });
  EXPECT_EQ(LineState(3), STATUS_SUCCESS);
  EXPECT_EQ(LineState(0), STATUS_SUCCESS);  // would hang on a mutex left held
  EXPECT_EQ(KeReadStateMutex(&ext_->ControlMutex), 1);
}

// Open, cleanup, the dispatcher and the power-up restart may all change the
// lines at once; each request must complete on its own URB and event.
TEST_F(CdcTest, ConcurrentLineStatesAndCodingsAllComplete) {
  emu::usb::set_inline_completion_seed(11);
  constexpr int kEach = 150;
  std::atomic<int> failures{0};
  auto lines = [&](ULONG value) {
    for (int i = 0; i < kEach; i++) {
      PIRP irp = IoAllocateIrp(CCHAR(ext_->TopOfStackDeviceObject->StackSize + 1), FALSE);
      InterlockedExchange(reinterpret_cast<LONG volatile*>(&ext_->ModemControl), LONG(value));
      if (ZLKUSB_SetControlLineState(irp, ext_) != STATUS_SUCCESS) failures++;
      IoFreeIrp(irp);
    }
  };
  auto codings = [&] {
    for (int i = 0; i < kEach; i++)
      if (Coding(9600 + i, 0, 0, 8) != STATUS_SUCCESS) failures++;
  };
  std::thread a(lines, 1), b(lines, 2), c(codings);
  a.join();
  b.join();
  c.join();
  emu::usb::disable_inline_completion();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(Requests(cdc::SET_CONTROL_LINE_STATE).size(), 2u * kEach);
  EXPECT_EQ(Requests(cdc::SET_LINE_CODING).size(), std::size_t(kEach));
  EXPECT_EQ(ext_->UsbdDeviceHandle, emu::usb::info(dev_->pdo).device_handle);
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), 7u);
}

TEST_F(CdcTest, ImmediateCharacterCompletedInsideTheCallCountsItsByte) {
  emu::usb::set_inline_completion_seed(5);
  for (int i = 0; i < 32; i++) {
    ULONG count = 0;
    ASSERT_EQ(ZLKUSB_Write_OneChar(dev_->fdo(), UCHAR('a' + i), &count, nullptr, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(count, 1u) << "character " << i;
  }
  emu::usb::disable_inline_completion();
  EXPECT_GT(emu::usb::info(dev_->pdo).completed_inline, 0u);
  EXPECT_EQ(model_->take_out_data(cdc::BULK_OUT_ENDPOINT).size(), 32u);
}

TEST_F(CdcTest, ImmediateCharacterFailuresCountNothingSendNothingAndLeakNothing) {
  auto send = [&](UCHAR c) {
    ULONG count = 7;
    NTSTATUS status = ZLKUSB_Write_OneChar(dev_->fdo(), c, &count, nullptr, nullptr);
    emu::faults::clear();
    EXPECT_EQ(count, 0u) << c;
    return status;
  };
  emu::faults::fail_irp_allocation(1);
  EXPECT_EQ(send('A'), STATUS_UNSUCCESSFUL);
  emu::faults::fail_tag(POOL_TAG_DRIVER);
  EXPECT_EQ(send('B'), STATUS_UNSUCCESSFUL);
  PIPE_ENTRY saved[PIPE_TABLE_INTERFACES][PIPE_TABLE_PIPES];
  memcpy(saved, ext_->PipeTable, sizeof saved);
  RtlZeroMemory(ext_->PipeTable, sizeof(ext_->PipeTable));
  EXPECT_EQ(send('C'), ZLKUSB_STATUS_NO_PIPE);
  memcpy(ext_->PipeTable, saved, sizeof saved);
  emu::usb::inject_fault(dev_->pdo, cdc::BULK_OUT_ENDPOINT, emu::usb::Fault::stall());
  EXPECT_NE(send('Q'), STATUS_SUCCESS);

  EXPECT_TRUE(model_->out_data(cdc::BULK_OUT_ENDPOINT).empty());
  EXPECT_EQ(emu::outstanding_irps(), 0u);
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), 7u);
}

}  // namespace
