#include "driver_fixture.h"

#include <algorithm>

#include "core/driver_entry.h"
#include "test_helpers.h"
#include "usb/config.h"

namespace vrmdm_test {

std::u16string DeviceNameFor(ULONG instance) {
  std::string digits = std::to_string(instance);
  if (digits.size() < 4) digits.insert(0, 4 - digits.size(), '0');
  return u"\\Device\\Velmar1_DS_" + std::u16string(digits.begin(), digits.end());
}

std::string ReadAtLeast(emu::Handle& port, size_t count) {
  std::string received;
  WaitUntil([&] {
    emu::IoResult r = port.read(256);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    received.append(r.output.begin(), r.output.end());
    return received.size() >= count || r.status != STATUS_SUCCESS;
  });
  return received;
}

void ExpectAtOk(emu::Handle& port, emu::usb::ScriptedDevice& model) {
  model.take_out_data(emu::usb::cdc::BULK_OUT_ENDPOINT);
  emu::IoResult w = port.write("AT\r");
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, 3u);
  EXPECT_EQ(AsText(model.out_data(emu::usb::cdc::BULK_OUT_ENDPOINT)), "AT\r");
  model.queue_in(emu::usb::cdc::BULK_IN_ENDPOINT, "\r\nOK\r\n");
  EXPECT_EQ(ReadAtLeast(port, 6), "\r\nOK\r\n");
}

std::vector<emu::usb::ScriptedDevice::ControlRecord> ClassRequests(const emu::usb::ScriptedDevice& model,
                                                                   uint8_t request) {
  std::vector<emu::usb::ScriptedDevice::ControlRecord> found;
  for (auto& record : model.control_requests()) {
    if (record.setup.type() == 1 && record.setup.bRequest == request) found.push_back(record);
  }
  return found;
}

size_t UrbCount(PDEVICE_OBJECT pdo, USHORT function) {
  auto info = emu::usb::info(pdo);
  auto it = info.urbs_by_function.find(function);
  return it == info.urbs_by_function.end() ? 0 : it->second;
}

size_t PipeResets(const emu::usb::ScriptedDevice& model, uint8_t endpoint) {
  auto resets = model.reset_pipes();
  return (size_t)std::count(resets.begin(), resets.end(), endpoint);
}

::testing::AssertionResult Ends(const emu::RequestPtr& r, NTSTATUS status,
                                std::optional<ULONG_PTR> information, std::chrono::milliseconds limit) {
  if (!(limit.count() == 0 ? r->completed() : r->wait(limit)))
    return ::testing::AssertionFailure() << "pending";
  if (r->status() != status || (information && r->information() != *information)) {
    return ::testing::AssertionFailure()
           << "ended with " << std::hex << r->status() << std::dec << " and " << r->information() << " bytes";
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult ClosedCleanly(const emu::CloseResult& closed) {
  if (closed.cleanup == STATUS_SUCCESS && closed.close == STATUS_SUCCESS)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << std::hex << "cleanup " << closed.cleanup << ", close " << closed.close;
}

PDEVICE_OBJECT PluggedDevice::fdo() const { return NT_SUCCESS(add_status) && node ? node->fdo() : nullptr; }

PDEVICE_EXTENSION PluggedDevice::ext() const {
  PDEVICE_OBJECT device = fdo();
  return device ? static_cast<PDEVICE_EXTENSION>(device->DeviceExtension) : nullptr;
}

void DriverFixture::SetUp() {
  emu::kernel_reset();
  emu::verifier::clear();
  driver_ = emu::load_driver(&DriverEntry, kRegistryPath, u"\\Driver\\vr_mdm");
  ASSERT_TRUE(driver_.loaded()) << "DriverEntry returned " << std::hex << driver_.entry_status();
}

void DriverFixture::TearDown() {
  // Threads asleep on a frozen clock would never see their stop events.
  if (emu::clock::frozen()) emu::clock::unfreeze();
  // A read-timer DPC signals the last disarming just before it returns; let
  // it return before the device (and the DPC object) goes away.
  emu::ke::flush_dpcs();
  handles_.clear();  // cleanup and close
  for (auto& device : devices_)
    if (!device.removed) Remove(device);
  for (PIRP irp : irps_) IoFreeIrp(irp);
  irps_.clear();
  emu::usb::reset();
  devices_.clear();
  if (driver_.loaded()) driver_.unload();  // reports leaked devices, links and pool
  EXPECT_TRUE(emu::wait_quiescent()) << "threads, timers or work items still running";
  emu::kernel_reset();
  for (const auto& finding : emu::verifier::take_findings()) {
    ADD_FAILURE() << emu::verifier::describe(finding);
  }
}

PluggedDevice& DriverFixture::Plug(std::shared_ptr<emu::usb::DeviceModel> model, std::u16string_view port) {
  PluggedDevice& device = devices_.emplace_back();
  device.model = std::move(model);
  device.pdo = emu::usb::plug(device.model);
  device.node = emu::usb::node(device.pdo);
  EXPECT_NE(device.node, nullptr);
  if (!device.node) {
    device.removed = true;
    return device;
  }
  if (!port.empty()) device.node->set_port_name(port);
  device.add_status = device.node->add_device(driver_);
  if (!NT_SUCCESS(device.add_status)) device.removed = true;  // nothing of ours to remove
  return device;
}

PluggedDevice& DriverFixture::PlugModem(std::string_view variant, std::u16string_view port,
                                        emu::usb::ModemConfig config) {
  auto parsed = emu::usb::cdc::parse_variant(variant);
  EXPECT_TRUE(parsed.has_value()) << variant;
  if (parsed) config.variant = *parsed;
  return Plug(std::make_shared<emu::usb::ModemModel>(config), port);
}

PluggedDevice& DriverFixture::PlugScripted(emu::usb::cdc::Variant variant, std::u16string_view port) {
  return Plug(emu::usb::ScriptedDevice::cdc_acm(variant), port);
}

void DriverFixture::SetUpScripted(Stage stage, emu::usb::cdc::Variant variant) {
  dev_ = &PlugScripted(variant);
  ASSERT_EQ(dev_->add_status, STATUS_SUCCESS);
  ext_ = dev_->ext();
  model_ = dev_->as<emu::usb::ScriptedDevice>();
  if (stage == Stage::configured) {
    ASSERT_EQ(Configure(*dev_), STATUS_SUCCESS);
    return;
  }
  ASSERT_EQ(Start(*dev_), STATUS_SUCCESS);
  if (stage == Stage::open) {
    port_ = &Open();
    ASSERT_TRUE(port_->is_open()) << std::hex << port_->status();
  }
}

PluggedDevice& DriverFixture::PlugDescriptors(std::vector<uint8_t> device, std::vector<uint8_t> configuration,
                                              std::u16string_view port) {
  return Plug(std::make_shared<emu::usb::ScriptedDevice>(std::move(device), std::move(configuration)), port);
}

NTSTATUS DriverFixture::Start(PluggedDevice& device) {
  // A failed start makes the system remove the device.
  NTSTATUS status = device.node->start();
  if (NT_SUCCESS(status)) {
    device.started = true;
  } else {
    device.removed = true;
  }
  return status;
}

NTSTATUS DriverFixture::Configure(PluggedDevice& device) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  emu::run_at_irql(PASSIVE_LEVEL, [&] { status = ZLKUSB_ConfigureDevice(device.fdo()); });
  return status;
}

emu::Handle& DriverFixture::Open(std::u16string_view port) {
  std::u16string name = u"\\DosDevices\\";
  name += port;
  return handles_.emplace_back(emu::open(name));
}

void DriverFixture::Remove(PluggedDevice& device) {
  if (device.removed || !device.node) return;
  handles_.clear();
  if (device.started) {
    EXPECT_EQ(device.node->surprise_remove(), STATUS_SUCCESS);
  }
  EXPECT_EQ(device.node->remove(), STATUS_SUCCESS);
  device.removed = true;
}

PIRP DriverFixture::AllocateIrpFor(const PluggedDevice& device) {
  PDEVICE_EXTENSION ext = device.ext();
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(ext->TopOfStackDeviceObject->StackSize + 1), FALSE);
  if (irp) irps_.push_back(irp);
  return irp;
}

}  // namespace vrmdm_test
