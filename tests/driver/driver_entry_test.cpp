// Driver load, device creation (naming, defaults, unwinding under allocation
// failures, a stack that cannot be attached) and unload.

#include <gtest/gtest.h>

#include <string>

#include "core/dispatch.h"
#include "core/driver_entry.h"
#include "driver_fixture.h"

namespace {

using vrmdm_test::DeviceNameFor;
using vrmdm_test::DriverFixture;
using vrmdm_test::kRegistryPath;

std::u16string ToU16(const UNICODE_STRING& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR));
}

// ---- DriverEntry and unload -----------------------------------------------------------

// Without pool for the copy nothing loads and nothing is kept; a load after
// an unload numbers its devices from 1 again.
TEST(DriverEntryTest, KeepsATerminatedCopyOfTheRegistryPathOrNothing) {
  emu::kernel_reset();
  emu::faults::fail_tag(emu::pool::tag("M2k "));
  {
    emu::Driver failed = emu::load_driver(&DriverEntry, kRegistryPath, u"\\Driver\\vr_mdm");
    emu::faults::clear();
    EXPECT_FALSE(failed.loaded());
    EXPECT_EQ(failed.entry_status(), STATUS_INSUFFICIENT_RESOURCES);
  }
  EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
  EXPECT_EQ(DriverRegistryPath.Length, 0);
  EXPECT_EQ(emu::pool::outstanding_total(), 0u);
  EXPECT_EQ(emu::verifier::take_findings().size(), 0u);

  DeviceInstanceCounter = 41;
  emu::Driver driver = emu::load_driver(&DriverEntry, kRegistryPath, u"\\Driver\\vr_mdm");
  ASSERT_TRUE(driver.loaded());
  EXPECT_EQ(driver.entry_status(), STATUS_SUCCESS);

  EXPECT_EQ(ToU16(DriverRegistryPath), kRegistryPath);
  EXPECT_EQ(DriverRegistryPath.MaximumLength, DriverRegistryPath.Length + sizeof(WCHAR));
  EXPECT_EQ(DriverRegistryPath.Buffer[DriverRegistryPath.Length / sizeof(WCHAR)], 0);
  EXPECT_EQ(emu::pool::outstanding(emu::pool::tag("M2k ")), 1u);
  auto blocks = emu::pool::blocks(emu::pool::tag("M2k "));
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0].type, PagedPool);
  EXPECT_EQ(DeviceInstanceCounter, 0);

  // Every dispatch routine is exercised by the suites of its requests; the
  // slots it leaves alone keep the system's default.
  PDRIVER_OBJECT object = driver.object();
  EXPECT_EQ(object->MajorFunction[IRP_MJ_SHUTDOWN], object->MajorFunction[IRP_MJ_FLUSH_BUFFERS]);
  EXPECT_EQ(object->DriverUnload, &DriverUnload);
  EXPECT_EQ(object->DriverStartIo, nullptr);

  driver.unload();
  EXPECT_EQ(DriverRegistryPath.Buffer, nullptr);
  EXPECT_EQ(emu::pool::outstanding(emu::pool::tag("M2k ")), 0u);
  EXPECT_EQ(emu::verifier::take_findings().size(), 0u);
  emu::kernel_reset();
}

// ---- AddDevice ----------------------------------------------------------------------------

class AddDeviceTest : public DriverFixture {};

TEST_F(AddDeviceTest, NamesDevicesWithAtLeastFourDigits) {
  auto& first = PlugModem("acm", u"COM5");
  ASSERT_EQ(first.add_status, STATUS_SUCCESS);
  EXPECT_EQ(emu::device_name(first.fdo()), u"\\Device\\Velmar1_DS_0001");
  EXPECT_EQ(first.ext()->InstanceNumber, 1u);

  auto& second = PlugModem("acm", u"COM6");
  ASSERT_EQ(second.add_status, STATUS_SUCCESS);
  EXPECT_EQ(emu::device_name(second.fdo()), u"\\Device\\Velmar1_DS_0002");

  DeviceInstanceCounter = 11;
  auto& twelfth = PlugModem("acm", u"COM7");
  EXPECT_EQ(emu::device_name(twelfth.fdo()), u"\\Device\\Velmar1_DS_0012");

  DeviceInstanceCounter = 9998;
  auto& four = PlugModem("acm", u"COM8");
  EXPECT_EQ(emu::device_name(four.fdo()), u"\\Device\\Velmar1_DS_9999");
  auto& five = PlugModem("acm", u"COM9");
  EXPECT_EQ(emu::device_name(five.fdo()), u"\\Device\\Velmar1_DS_10000");
  EXPECT_EQ(five.ext()->InstanceNumber, 10000u);

  // A device removed and added again gets a new number.
  Remove(first);
  EXPECT_EQ(emu::find_device(u"\\Device\\Velmar1_DS_0001"), nullptr);
  EXPECT_EQ(emu::device_name(PlugModem("acm", u"COM5").fdo()), u"\\Device\\Velmar1_DS_10001");
}

TEST_F(AddDeviceTest, NewDeviceIsAttachedInD3WithItsBuffersAndTimer) {
  auto& device = PlugModem();
  ASSERT_EQ(device.add_status, STATUS_SUCCESS);
  PDEVICE_OBJECT fdo = device.fdo();
  PDEVICE_EXTENSION ext = device.ext();

  EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
  EXPECT_NE(fdo->Flags & DO_BUFFERED_IO, 0u);
  EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
  EXPECT_EQ(fdo->Flags & DO_POWER_PAGABLE, device.pdo->Flags & DO_POWER_PAGABLE);
  EXPECT_EQ(fdo->StackSize, device.pdo->StackSize + 1);

  EXPECT_EQ(ext->PhysicalDeviceObject, device.pdo);
  EXPECT_EQ(ext->TopOfStackDeviceObject, device.pdo);
  EXPECT_EQ(ext->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(emu::reported_device_power(fdo), PowerDeviceD3);
  // The line settings a client sees are the open's (the control suite's
  // line-coding case); the buffers and the read timer are every data case's.
  // Ring, read buffer, interrupt buffer, timer, DPC: nothing else yet.
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), 5u);
  for (const auto& block : emu::pool::blocks(POOL_TAG_DRIVER)) EXPECT_EQ(block.type, NonPagedPool);

  // The remove lock and the mutex are usable: the lock is free, the mutex signalled.
  EXPECT_EQ(IoAcquireRemoveLock(&ext->RemoveLock, nullptr), STATUS_SUCCESS);
  IoReleaseRemoveLock(&ext->RemoveLock, nullptr);
  EXPECT_EQ(KeReadStateMutex(&ext->ControlMutex), 1);
  EXPECT_EQ(KeReadStateEvent(&ext->evTimersIdle), 0);
}

// Without pool for its buffers: STATUS_UNSUCCESSFUL, no device and nothing
// kept, and the number is not given again.  Every allocation failed in turn
// is the low-resources exploration's, which finds a device, link or block
// left behind at unload.
TEST_F(AddDeviceTest, FailsWithoutPoolAndKeepsNothing) {
  auto node = emu::usb::node(emu::usb::plug(std::make_shared<emu::usb::ModemModel>()));
  ASSERT_NE(node, nullptr);
  emu::faults::fail_tag(POOL_TAG_DRIVER);
  EXPECT_EQ(node->add_device(driver_), STATUS_UNSUCCESSFUL);
  emu::faults::clear();
  EXPECT_EQ(node->fdo(), nullptr);
  EXPECT_EQ(emu::find_device(DeviceNameFor(1)), nullptr);
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), 0u);
  ASSERT_EQ(node->add_device(driver_), STATUS_SUCCESS);
  EXPECT_EQ(emu::device_name(node->fdo()), DeviceNameFor(2));
  EXPECT_EQ(node->remove(), STATUS_SUCCESS);
}

// A device below that is already going away cannot be attached to: the new
// device object must not stay behind, unattached.
TEST_F(AddDeviceTest, RefusesADeviceItCannotAttachTo) {
  PDEVICE_OBJECT dying = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_.object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dying),
            STATUS_SUCCESS);
  dying->Flags &= ~DO_DEVICE_INITIALIZING;
  ObReferenceObject(dying);
  IoDeleteDevice(dying);  // still referenced: deleted but not yet gone

  EXPECT_EQ(AddDevice(driver_.object(), dying), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(emu::find_device(DeviceNameFor(1)), nullptr);
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), 0u);
  ObDereferenceObject(dying);
}

}  // namespace
