// WMI: the device registers one data block answered by the WMI library
// through the registration-information routine alone; system-control
// requests that are not the device's own go down the stack untouched.
#include <mutex>

#include "support/port_fixture.h"
#include "wmi/wmi.h"

using emu::verifier::Rule;

namespace vrmdm_test::lifecycle {
namespace {

const GUID kDataBlock = {0xBBA21300, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x72}};

class WmiTest : public LifecycleFixture {};

TEST_F(WmiTest, RegistrationInformationComesFromTheLibrary) {
  auto& dev = PlugScripted(usb::cdc::Variant::acm, u"COM5");
  ASSERT_EQ(Start(dev), STATUS_SUCCESS);
  ASSERT_TRUE(emu::wmi::is_registered(dev.fdo()));

  emu::wmi::RegInfo info = emu::wmi::query_reginfo(dev.fdo());
  ASSERT_EQ(info.status, STATUS_SUCCESS);
  ASSERT_EQ(info.guids.size(), 1u);
  EXPECT_TRUE(IsEqualGUID(info.guids[0].guid, kDataBlock));
  EXPECT_EQ(info.guids[0].instance_count, 1u);
  EXPECT_NE(info.guids[0].flags & WMIREG_FLAG_INSTANCE_PDO, 0u);
  EXPECT_EQ(info.guids[0].pdo, dev.pdo);
  EXPECT_EQ(info.registry_path, kRegistryPath);
  EXPECT_TRUE(info.mof_resource.empty());

  // The block has no contents of ours: the library answers on its own.
  emu::wmi::DataResult data = emu::wmi::query_all_data(dev.fdo(), kDataBlock);
  EXPECT_TRUE(Answers(data, STATUS_INVALID_DEVICE_REQUEST, 0u));
  const GUID other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
  EXPECT_EQ(emu::wmi::query_all_data(dev.fdo(), other).status, STATUS_WMI_GUID_NOT_FOUND);
}

TEST_F(WmiTest, RoutinesEnteredAboveApcLevelAssertAndGoOn) {
  auto& dev = PlugScripted(usb::cdc::Variant::acm, u"COM5");
  ASSERT_EQ(Start(dev), STATUS_SUCCESS);
  emu::asserts::clear();
  emu::trace::clear();

  ULONG flags = 0;
  UNICODE_STRING instance{}, mof{};
  PUNICODE_STRING path = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  EXPECT_EQ(WmiQueryRegInfo(dev.fdo(), &flags, &instance, &path, &mof, &pdo), STATUS_SUCCESS);
  EXPECT_TRUE(emu::asserts::records().empty()) << "PASSIVE_LEVEL is fine";

  emu::run_at_irql(DISPATCH_LEVEL, [&] {
    EXPECT_EQ(WmiQueryRegInfo(dev.fdo(), &flags, &instance, &path, &mof, &pdo), STATUS_SUCCESS);
  });
  auto records = emu::asserts::take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].expression, "FALSE");
  EXPECT_TRUE(emu::trace::contains("EX: Pageable code called at IRQL 2"));
  EXPECT_EQ(flags, (ULONG)WMIREG_FLAG_INSTANCE_PDO);
  EXPECT_EQ(pdo, dev.pdo);
  EXPECT_EQ(path, &DriverRegistryPath);
  EXPECT_EQ(instance.Buffer, nullptr) << "instance names come from the PDO";
  // The routine's annotation names the misuse too, on entry.
  std::vector<Rule> rules;
  for (auto& f : emu::verifier::take_findings()) rules.push_back(f.rule);
  EXPECT_EQ(rules, (std::vector<Rule>{Rule::contract_irql, Rule::assertion_failed}));
}

// A pass-through filter between the driver and the bus, which records the
// system-control requests that reach it.
struct FilterLog {
  struct Seen {
    UCHAR minor;
    ULONG_PTR provider;
    PVOID data_path;
    ULONG size;
    std::vector<uint8_t> buffer;
  };
  std::mutex mutex;
  std::vector<Seen> seen;
};
FilterLog* g_filter_log = nullptr;

NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MajorFunction == IRP_MJ_SYSTEM_CONTROL && g_filter_log != nullptr) {
    FilterLog::Seen s{sp->MinorFunction,
                      sp->Parameters.WMI.ProviderId,
                      sp->Parameters.WMI.DataPath,
                      sp->Parameters.WMI.BufferSize,
                      {}};
    auto* p = static_cast<uint8_t*>(sp->Parameters.WMI.Buffer);
    if (p != nullptr) s.buffer.assign(p, p + sp->Parameters.WMI.BufferSize);
    std::lock_guard lock(g_filter_log->mutex);
    g_filter_log->seen.push_back(std::move(s));
  }
  if (sp->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower, irp);
  }
  const bool remove = sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI FilterAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
  *static_cast<PDEVICE_OBJECT*>(device->DeviceExtension) = lower;
  device->Flags |= lower->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI FilterUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& f : driver->MajorFunction) f = FilterDispatch;
  driver->DriverExtension->AddDevice = FilterAddDevice;
  driver->DriverUnload = FilterUnload;
  return STATUS_SUCCESS;
}

class WmiFilteredTest : public LifecycleFixture {
 protected:
  void SetUp() override {
    LifecycleFixture::SetUp();
    g_filter_log = &log_;
    filter_ = emu::load_driver(&FilterEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\flt",
                               u"\\Driver\\WmiTestFilter");
    ASSERT_TRUE(filter_.loaded());
    pdo_ = usb::plug(usb::ScriptedDevice::cdc_acm(usb::cdc::Variant::acm));
    node_ = usb::node(pdo_);
    ASSERT_EQ(node_->add_device(filter_), STATUS_SUCCESS);
    node_->set_port_name(u"COM5");
    ASSERT_EQ(node_->add_device(driver_), STATUS_SUCCESS);
    ASSERT_EQ(node_->start(), STATUS_SUCCESS);
    fdo_ = node_->top();
  }
  void TearDown() override {
    if (node_) {
      EXPECT_EQ(node_->surprise_remove(), STATUS_SUCCESS);
      EXPECT_EQ(node_->remove(), STATUS_SUCCESS);
      node_.reset();
    }
    filter_.unload();
    g_filter_log = nullptr;
    LifecycleFixture::TearDown();
  }
  std::vector<FilterLog::Seen> Seen() {
    std::lock_guard lock(log_.mutex);
    return log_.seen;
  }

  FilterLog log_;
  emu::Driver filter_;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::shared_ptr<emu::DeviceNode> node_;
  PDEVICE_OBJECT fdo_ = nullptr;
};

TEST_F(WmiFilteredTest, RequestsThatAreNotOursGoDownUnchanged) {
  ASSERT_TRUE(emu::wmi::is_registered(fdo_));
  // Our own registration query stays with us.
  ASSERT_EQ(emu::wmi::query_reginfo(fdo_).status, STATUS_SUCCESS);
  EXPECT_TRUE(Seen().empty());

  // Not a WMI minor function at all.
  const std::vector<uint8_t> bytes = {1, 2, 3, 4, 5};
  PVOID path = reinterpret_cast<PVOID>(uintptr_t(0x1234));
  emu::wmi::SystemControlResult notWmi = emu::wmi::send(fdo_, 0x20, path, bytes);
  EXPECT_EQ(notWmi.status, STATUS_NOT_SUPPORTED) << "the bus ends it with the status it came with";
  EXPECT_EQ(notWmi.buffer, bytes);

  // A WMI request for another provider.
  emu::wmi::SystemControlResult forward =
      emu::wmi::send(fdo_, IRP_MN_QUERY_ALL_DATA, (PVOID)&kDataBlock, bytes, (ULONG_PTR)pdo_);
  EXPECT_EQ(forward.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(forward.buffer, bytes);

  auto seen = Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].minor, 0x20);
  EXPECT_EQ(seen[0].provider, (ULONG_PTR)fdo_);
  EXPECT_EQ(seen[0].data_path, path);
  EXPECT_EQ(seen[0].size, bytes.size());
  EXPECT_EQ(seen[0].buffer, bytes);
  EXPECT_EQ(seen[1].minor, IRP_MN_QUERY_ALL_DATA);
  EXPECT_EQ(seen[1].provider, (ULONG_PTR)pdo_);
  EXPECT_EQ(seen[1].data_path, (PVOID)&kDataBlock);
  EXPECT_EQ(seen[1].buffer, bytes);
}

}  // namespace
}  // namespace vrmdm_test::lifecycle
