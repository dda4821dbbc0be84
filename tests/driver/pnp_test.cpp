// Plug and Play: what a start publishes (DOS link, SERIALCOMM value, COM-port
// interface) and how every way out of it (removal, surprise removal, a failed
// start) takes it all back.
#include <emu/io_manager.h>

#include <functional>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's count (its header is not installed with GCC here).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#define VRMDM_TEST_SANITIZER_HEAP 1
#else
#include <malloc.h>
#endif

#include "core/pnp.h"
#include "support/port_fixture.h"

namespace vrmdm_test::lifecycle {
namespace {

// Bytes the process has allocated and not freed, from the allocator in use
// (the sanitizer's, or glibc's).
size_t HeapInUse() {
#ifdef VRMDM_TEST_SANITIZER_HEAP
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

using PnpTest = LifecycleFixture;

// Surprise removal takes the name and the interface away at once, the
// SERIALCOMM entry stays until the removal; a removal the system asked for
// first withdraws everything too.
TEST_F(PnpTest, StartPublishesThePortAndRemovalWithdrawsIt) {
  for (bool surprise : {true, false}) {
    SCOPED_TRACE(surprise ? "surprise removal" : "removal asked for");
    auto& dev = PlugScripted(surprise ? usb::cdc::Variant::acm_nointr : usb::cdc::Variant::acm, u"COM5");
    ASSERT_EQ(Start(dev), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = dev.fdo();
    const std::u16string name = DeviceNameFor(surprise ? 1 : 2);

    EXPECT_EQ(emu::symbolic_link_target(u"\\DosDevices\\COM5"), name);
    auto value = emu::registry::get_value(kSerialComm, name);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, (ULONG)REG_SZ);
    EXPECT_EQ(value->data, RegSz(u"COM5"));  // the name and its terminator, nothing more
    ASSERT_EQ(ComPorts(dev.pdo).size(), 1u);
    EXPECT_EQ(1u, ComPortsEnabled(dev.pdo));
    EXPECT_TRUE(emu::wmi::is_registered(fdo));
    EXPECT_EQ(emu::reported_device_power(fdo), PowerDeviceD0);
    EXPECT_EQ(std::u16string((const char16_t*)dev.ext()->DosDeviceName), u"\\DosDevices\\COM5");
    // The capabilities go up with surprise removal allowed, and are kept.
    DEVICE_CAPABILITIES reported{};
    ASSERT_EQ(dev.node->query_capabilities(&reported), STATUS_SUCCESS);
    EXPECT_TRUE(reported.SurpriseRemovalOK);
    EXPECT_EQ(reported.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(std::memcmp(&reported, &dev.ext()->DeviceCapabilities, sizeof(reported)), 0);

    if (surprise) {
      ASSERT_EQ(dev.node->surprise_remove(), STATUS_SUCCESS);
      EXPECT_FALSE(emu::symbolic_link_target(u"\\DosDevices\\COM5").has_value());
      EXPECT_EQ(0u, ComPortsEnabled(dev.pdo));
      EXPECT_TRUE(emu::registry::get_value(kSerialComm, name).has_value());
      EXPECT_EQ(dev.ext()->DosDeviceName[0], 0);
    } else {
      ASSERT_EQ(dev.node->query_remove(), STATUS_SUCCESS);
    }
    ASSERT_EQ(dev.node->remove(), STATUS_SUCCESS);
    dev.removed = true;
    EXPECT_FALSE(emu::symbolic_link_target(u"\\DosDevices\\COM5").has_value());
    EXPECT_FALSE(emu::registry::get_value(kSerialComm, name).has_value());
    EXPECT_EQ(0u, ComPortsEnabled(dev.pdo));
    EXPECT_EQ(dev.node->fdo(), nullptr);
  }
}

TEST_F(PnpTest, PlugStartAndRemovalKeepNothingBehind) {
  // A modem plugged, started, pulled out and removed again and again, as a
  // flaky cable does all day: the system's memory stays flat.
  const std::function<std::shared_ptr<usb::DeviceModel>()> models[] = {
      [] { return usb::ScriptedDevice::cdc_acm(usb::cdc::Variant::acm); },
      [] { return std::make_shared<usb::ModemModel>(usb::ModemConfig{}); },
  };
  for (const auto& make : models) {
    auto cycle = [&] {
      PDEVICE_OBJECT pdo = usb::plug(make());
      auto node = usb::node(pdo);
      ASSERT_NE(node, nullptr);
      node->set_port_name(u"COM5");
      ASSERT_EQ(node->add_device(driver_), STATUS_SUCCESS);
      ASSERT_EQ(node->start(), STATUS_SUCCESS);
      usb::unplug(pdo);
      ASSERT_EQ(node->surprise_remove(), STATUS_SUCCESS);
      ASSERT_EQ(node->remove(), STATUS_SUCCESS);
    };
    // First the bounded histories fill up (the freed packets and the last
    // 8192 freed pool blocks the verifier remembers), once.
    const int warmUp = &make == &models[0] ? 1000 : 50;
    for (int i = 0; i < warmUp; i++) ASSERT_NO_FATAL_FAILURE(cycle());
    const size_t before = HeapInUse();
    const int cycles = 200;
    for (int i = 0; i < cycles; i++) ASSERT_NO_FATAL_FAILURE(cycle());
    const long long grown = (long long)HeapInUse() - (long long)before;
    printf("[ plug loop ] %d cycles, heap %+lld bytes (%+lld a cycle)\n", cycles, grown, grown / cycles);
    EXPECT_LT(grown / cycles, 128) << "the system keeps memory for every plug, start and removal";
  }
}

// A start that fails for its name deletes the device and publishes nothing.
TEST_F(PnpTest, PortNamesThatCannotMakeASoundDosNameAreRefused) {
  struct Case {
    std::string what;
    ULONG type;
    std::vector<uint8_t> data;
    std::u16string expected;  // empty: the start must fail
  } cases[] = {
      {"none", REG_NONE, {}, u""},
      {"no terminator", REG_SZ, RegSz(u"COM7", false), u"COM7"},
      {"data after the terminator", REG_SZ, RegSz(std::u16string_view(u"COM8\0XYZ", 8)), u"COM8"},
      {"87 characters, the longest that fits", REG_SZ, RegSz(std::u16string(87, u'P')),
       std::u16string(87, u'P')},
      {"88 characters", REG_SZ, RegSz(std::u16string(88, u'P')), u""},
      {"88 characters, unterminated", REG_SZ, RegSz(std::u16string(88, u'P'), false), u""},
      {"empty", REG_SZ, RegSz(u""), u""},
      {"not a string", REG_DWORD, {5, 0, 0, 0}, u""},
  };
  ULONG instance = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto& dev = PlugScripted(usb::cdc::Variant::acm_nointr, u"");
    instance++;
    if (c.type != REG_NONE) dev.node->set_hardware_value(u"PortName", c.type, c.data);
    NTSTATUS status = Start(dev);
    if (c.expected.empty()) {
      EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(dev.node->fdo(), nullptr);
      EXPECT_FALSE(emu::registry::get_value(kSerialComm, DeviceNameFor(instance)).has_value());
      EXPECT_TRUE(ComPorts(dev.pdo).empty());
      for (auto& link : emu::symbolic_links()) {
        EXPECT_NE(emu::symbolic_link_target(link), DeviceNameFor(instance)) << "left a link";
      }
      continue;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(emu::symbolic_link_target(u"\\DosDevices\\" + c.expected), DeviceNameFor(instance));
    auto value = emu::registry::get_value(kSerialComm, DeviceNameFor(instance));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->data, RegSz(c.expected));
    emu::Handle port = emu::open(u"\\DosDevices\\" + c.expected);
    EXPECT_EQ(port.status(), STATUS_SUCCESS);
    port.close();
    Remove(dev);
    EXPECT_FALSE(emu::symbolic_link_target(u"\\DosDevices\\" + c.expected).has_value());
  }
}

TEST_F(PnpTest, PortNameRecordOutsideTheQueryResultIsRefused) {
  alignas(8) uint8_t buffer[256] = {};
  auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
  info->Type = REG_SZ;
  info->NameLength = 16;
  info->DataOffset = 40;
  const char16_t name[] = u"COM3";
  std::memcpy(buffer + 40, name, sizeof(name));
  info->DataLength = sizeof(name);
  WCHAR out[PORT_NAME_MAX_CHARS + 1];
  ULONG chars = 99;
  auto parse = [&](ULONG size = sizeof(buffer), ULONG room = PORT_NAME_MAX_CHARS + 1) {
    return PortNameFromValue(info, size, out, room, &chars);
  };

  ASSERT_EQ(parse(), STATUS_SUCCESS);
  EXPECT_EQ(chars, 4u);
  EXPECT_EQ(std::u16string((const char16_t*)out), u"COM3");

  info->DataLength = 250;  // runs past the 256 bytes returned
  EXPECT_EQ(parse(), STATUS_UNSUCCESSFUL);
  info->DataLength = sizeof(name);
  EXPECT_EQ(parse(44), STATUS_UNSUCCESSFUL);
  info->DataOffset = 0x7FFFFFF0;  // would wrap a naive offset + length check
  EXPECT_EQ(parse(), STATUS_UNSUCCESSFUL);
  info->DataOffset = 8;  // inside the record's own header
  EXPECT_EQ(parse(), STATUS_UNSUCCESSFUL);
  info->DataOffset = 40;
  EXPECT_EQ(parse(sizeof(buffer), 4), STATUS_UNSUCCESSFUL) << "no room";
}

TEST_F(PnpTest, ASecondDeviceWithTheSameNameFailsAndLeavesTheFirstIntact) {
  auto& first = PlugScripted(usb::cdc::Variant::acm, u"COM5");
  ASSERT_EQ(Start(first), STATUS_SUCCESS);
  auto& second = PlugScripted(usb::cdc::Variant::acm, u"COM5");
  EXPECT_EQ(Start(second), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(second.node->fdo(), nullptr);

  // The link that made it fail is the first device's and stays.
  EXPECT_EQ(emu::symbolic_link_target(u"\\DosDevices\\COM5"), DeviceNameFor(1));
  EXPECT_TRUE(emu::registry::get_value(kSerialComm, DeviceNameFor(1)).has_value());
  EXPECT_FALSE(emu::registry::get_value(kSerialComm, DeviceNameFor(2)).has_value());
  EXPECT_EQ(1u, ComPortsEnabled(first.pdo));
  EXPECT_TRUE(ComPorts(second.pdo).empty());

  emu::Handle port = emu::open(u"COM5");
  ASSERT_EQ(port.status(), STATUS_SUCCESS);
  EXPECT_EQ(port.write("AT\r").status, STATUS_SUCCESS);
  port.close();
}

// A bus of our own for requests the USB bus would not show us.
class PnpOwnBusTest : public LifecycleFixture {
 protected:
  void TearDown() override {
    if (node_ && node_->fdo() != nullptr) {
      EXPECT_EQ(node_->remove(), STATUS_SUCCESS);
    }
    node_.reset();
    LifecycleFixture::TearDown();
  }
  std::shared_ptr<emu::DeviceNode> node_;
};

TEST_F(PnpOwnBusTest, RequestsNotHandledHereReachTheBusUnchanged) {
  auto seen = std::make_shared<std::vector<UCHAR>>();
  emu::PdoConfig config;
  config.pnp = [seen](PDEVICE_OBJECT pdo, PIRP irp) -> NTSTATUS {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    seen->push_back(sp->MinorFunction);
    if (sp->MinorFunction == IRP_MN_QUERY_PNP_DEVICE_STATE) {
      irp->IoStatus.Information = 0x20;  // PNP_DEVICE_NOT_DISABLEABLE
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    }
    if (sp->MinorFunction == IRP_MN_QUERY_STOP_DEVICE) {
      irp->IoStatus.Status = STATUS_DEVICE_BUSY;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_DEVICE_BUSY;
    }
    return emu::pdo_default_pnp(pdo, irp);
  };
  node_ = emu::create_pdo(config);
  node_->set_port_name(u"COM5");
  ASSERT_EQ(node_->add_device(driver_), STATUS_SUCCESS);

  ULONG_PTR information = 0;
  EXPECT_EQ(node_->send_pnp(IRP_MN_QUERY_PNP_DEVICE_STATE, {}, &information), STATUS_SUCCESS);
  EXPECT_EQ(information, (ULONG_PTR)0x20);
  EXPECT_EQ(node_->query_stop(), STATUS_DEVICE_BUSY);
  EXPECT_EQ(*seen, (std::vector<UCHAR>{IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_STOP_DEVICE}));
}

TEST_F(PnpOwnBusTest, ConfigurationFailureFailsTheStartAndRemovalCleansUp) {
  // This bus answers no USB request, so the configuration cannot succeed.
  node_ = emu::create_pdo({});
  node_->set_port_name(u"COM5");
  ASSERT_EQ(node_->add_device(driver_), STATUS_SUCCESS);
  ASSERT_NE(node_->fdo(), nullptr);
  NTSTATUS status = node_->start(/*remove_on_failure=*/false);
  EXPECT_FALSE(NT_SUCCESS(status));
  EXPECT_NE(status, STATUS_UNSUCCESSFUL) << "the configuration's own status";
  ASSERT_NE(node_->fdo(), nullptr) << "the device stays until removal";
  EXPECT_FALSE(emu::symbolic_link_target(u"\\DosDevices\\COM5").has_value());
  EXPECT_EQ(node_->remove(), STATUS_SUCCESS);
  EXPECT_EQ(node_->fdo(), nullptr);
}

}  // namespace
}  // namespace vrmdm_test::lifecycle
