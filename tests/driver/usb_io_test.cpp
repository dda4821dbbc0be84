// The reads on the reused packets, their completion paths (inside the call,
// cancelled, without a URB or a pipe) and the transfer-size cap.  Failed and
// halted reads are the polling suites' (the thread decides on both statuses).

#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "driver_fixture.h"
#include "usb/config.h"
#include "usb/pipes.h"
#include "usb/usb_io.h"

namespace {

using emu::usb::Bytes;
using vrmdm_test::DriverFixture;
namespace cdc = emu::usb::cdc;

struct ReadResult {
  NTSTATUS status;
  ULONG length;
  ULONG usbd;
  Bytes data;
};

class UsbIoTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::configured));
    packet_ = AllocateIrpFor(*dev_);
    ASSERT_NE(packet_, nullptr);
  }

  ReadResult BulkIn(ULONG asked) { return Read(&ZLKUSB_ReadBulkIn, asked); }
  ReadResult Interrupt(ULONG asked) { return Read(&ReadInterrupt, asked); }
  ReadResult Read(decltype(&ReadInterrupt) routine, ULONG asked) {
    ReadResult r{};
    r.length = asked;
    r.data.resize(asked);
    r.status = routine(dev_->fdo(), packet_, r.data.data(), &r.length, &r.usbd);
    r.data.resize(std::min<ULONG>(r.length, asked));
    return r;
  }
  size_t Urbs(USHORT function) { return vrmdm_test::UrbCount(dev_->pdo, function); }

  PIRP packet_ = nullptr;
};

TEST_F(UsbIoTest, BulkInReadIsCappedAt64KiB) {
  Bytes stream(70000);
  for (size_t i = 0; i < stream.size(); i++) stream[i] = uint8_t(i * 7);
  model_->queue_in(cdc::BULK_IN_ENDPOINT, stream);
  auto big = BulkIn(100000);
  EXPECT_EQ(big.status, STATUS_SUCCESS);
  EXPECT_EQ(big.length, 65536u);
  EXPECT_TRUE(std::equal(big.data.begin(), big.data.end(), stream.begin()));
  auto rest = BulkIn(100000);
  EXPECT_EQ(rest.length, 70000u - 65536u);
  EXPECT_TRUE(std::equal(rest.data.begin(), rest.data.end(), stream.begin() + 65536));
}

// The bus may complete a read inside the call: its bytes are in the buffer
// and must be counted, or they would be lost.
TEST_F(UsbIoTest, ReadsCompletedInsideTheCallKeepTheirBytes) {
  emu::usb::set_inline_completion_seed(7);
  uint64_t offset = 0;
  for (int i = 0; i < 64; i++) {
    Bytes packet(1 + (i * 37) % 300);
    for (auto& b : packet) b = emu::usb::pattern_byte(offset++);
    model_->queue_packet(cdc::BULK_IN_ENDPOINT, packet);
    auto r = BulkIn(4096);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    ASSERT_EQ(r.data, packet) << "read " << i;
  }
  emu::usb::disable_inline_completion();
  auto info = emu::usb::info(dev_->pdo);
  EXPECT_GT(info.completed_inline, 0u);
  EXPECT_GT(info.completed_on_bus_thread, 0u);
}

// Cleanup cancels the packet from another thread, possibly between two
// reads: the read in flight ends, and so does the next one, at once.
TEST_F(UsbIoTest, CancelEndsThisReadAndTheNext) {
  auto reader = std::async(std::launch::async, [&] { return BulkIn(4096); });
  ASSERT_TRUE(emu::usb::wait_pending(dev_->pdo, cdc::BULK_IN_ENDPOINT, 1));
  IoCancelIrp(packet_);
  auto r = reader.get();
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_EQ(r.usbd, ULONG(USBD_STATUS_CANCELED));
  EXPECT_EQ(r.length, 0u);

  model_->queue_in(cdc::BULK_IN_ENDPOINT, "x");
  auto next = BulkIn(4096);
  EXPECT_EQ(next.status, STATUS_CANCELLED);
  EXPECT_EQ(next.usbd, ULONG(USBD_STATUS_CANCELED));
  EXPECT_EQ(model_->queued_in(cdc::BULK_IN_ENDPOINT), 1u);  // nothing taken
}

TEST_F(UsbIoTest, InterruptReadTracesOnlyWhatPended) {
  emu::usb::set_inline_completion_seed(3);
  emu::trace::clear();
  std::size_t pended = 0;
  for (uint16_t i = 0; i < 24; i++) {
    uint16_t state = i & 3;
    model_->notify_serial_state(state);
    auto before = emu::usb::info(dev_->pdo).completed_inline;
    auto r = Interrupt(16);  // not capped, not padded
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    auto expected = cdc::serial_state_notification(state);
    ASSERT_EQ(r.data, Bytes(expected.begin(), expected.end()));
    if (emu::usb::info(dev_->pdo).completed_inline == before) pended++;
  }
  emu::usb::disable_inline_completion();
  EXPECT_GT(pended, 0u);
  EXPECT_LT(pended, 24u);
  EXPECT_EQ(emu::trace::count("[ReadInterrupt] urb = "), pended);
}

// A read without a URB, a reset without a packet, and either without a pipe:
// each fails, and nothing reaches the bus.
TEST_F(UsbIoTest, WithoutAUrbAPacketOrAPipeNothingIsSent) {
  emu::faults::fail_tag(POOL_TAG_DRIVER);
  auto r = BulkIn(4096);
  emu::faults::clear();
  EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r.usbd, 0x80000100u);
  emu::faults::fail_irp_allocation(1);
  EXPECT_EQ(ZLKUSB_ResetBulkInPipe(dev_->fdo()), STATUS_UNSUCCESSFUL);
  emu::faults::clear();
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), 7u);

  PDEVICE_EXTENSION ext = dev_->ext();
  RtlZeroMemory(ext->PipeTable, sizeof(ext->PipeTable));
  auto bulk = BulkIn(4096);
  EXPECT_EQ(bulk.status, ZLKUSB_STATUS_NO_PIPE);
  EXPECT_EQ(bulk.length, 0u);
  EXPECT_EQ(bulk.usbd, ZLKUSB_USBD_STATUS_NO_PIPE);
  EXPECT_EQ(Interrupt(16).status, ZLKUSB_STATUS_NO_PIPE);
  EXPECT_EQ(ZLKUSB_ResetBulkInPipe(dev_->fdo()), ZLKUSB_STATUS_NO_PIPE);
  EXPECT_EQ(ZLKUSB_ResetInterruptPipe(dev_->fdo()), ZLKUSB_STATUS_NO_PIPE);
  EXPECT_EQ(ZLKUSB_ResetPipe(dev_->fdo(), nullptr), ZLKUSB_STATUS_NO_PIPE);
  EXPECT_EQ(Urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER), 0u);
  EXPECT_EQ(Urbs(URB_FUNCTION_RESET_PIPE), 0u);
  EXPECT_TRUE(model_->reset_pipes().empty());
}

TEST_F(UsbIoTest, BuildersFillTheTransferUrb) {
  PPIPE_ENTRY out = ZLKUSB_FindPipe(dev_->ext(), UsbdPipeTypeBulk, PIPE_DIRECTION_OUT);
  UCHAR buffer[8];
  PURB read = ZLKUSB_BuildReadUrb(buffer, 8, out);
  PURB write = ZLKUSB_BuildWriteUrb(buffer, 8, out);
  ASSERT_NE(read, nullptr);
  ASSERT_NE(write, nullptr);
  EXPECT_EQ(read->UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(read->UrbHeader.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  EXPECT_EQ(read->UrbBulkOrInterruptTransfer.TransferFlags,
            ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK));
  EXPECT_EQ(write->UrbBulkOrInterruptTransfer.TransferFlags, 0u);
  EXPECT_EQ(write->UrbHeader.UsbdDeviceHandle, nullptr);
  ZLKUSB_SetUrbDeviceHandle(dev_->ext(), write);
  EXPECT_EQ(write->UrbHeader.UsbdDeviceHandle, dev_->ext()->UsbdDeviceHandle);
  ExFreePool(read);
  ExFreePool(write);
  EXPECT_EQ(ZLKUSB_BuildReadUrb(buffer, 8, nullptr), nullptr);
}

}  // namespace
