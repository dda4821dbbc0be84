// Configuration against the simulated modem's descriptor variants and
// against malformed descriptor sets, and the pipe lookup.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "driver_fixture.h"
#include "usb/descriptor_builder.h"
#include "usb/config.h"
#include "usb/pipes.h"

namespace {

using emu::usb::Bytes;
using emu::usb::cdc::Variant;
using usbtest::ConfigBuilder;
using vrmdm_test::DriverFixture;
using vrmdm_test::PluggedDevice;
namespace cdc = emu::usb::cdc;

constexpr UCHAR kIn = PIPE_DIRECTION_IN;
constexpr UCHAR kOut = PIPE_DIRECTION_OUT;

// A communications interface with its notification endpoint and a data
// interface with bulk IN and OUT, before anything the case adds.
ConfigBuilder ModemSet() {
  return ConfigBuilder(2)
      .iface(0, 1)
      .endpoint(0x81, 3, 16)
      .data_iface(1, 2)
      .endpoint(0x82, 2)
      .endpoint(0x02, 2);
}

// A device whose configuration set changes between the two reads of it.
class ShiftingDevice : public emu::usb::ScriptedDevice {
 public:
  ShiftingDevice(Bytes first, Bytes later)
      : ScriptedDevice(cdc::device_descriptor(), later), first_(std::move(first)) {}
  std::span<const uint8_t> configuration_descriptor() const override {
    if (reads_++ == 0) return first_;
    return ScriptedDevice::configuration_descriptor();
  }

 private:
  Bytes first_;
  mutable int reads_ = 0;
};

class UsbConfigTest : public DriverFixture {
 protected:
  PluggedDevice& Added(std::shared_ptr<emu::usb::DeviceModel> model) {
    PluggedDevice& device = Plug(std::move(model));
    EXPECT_EQ(device.add_status, STATUS_SUCCESS);
    return device;
  }
  PluggedDevice& AddedWith(Bytes configuration) {
    return Added(
        std::make_shared<emu::usb::ScriptedDevice>(cdc::device_descriptor(), std::move(configuration)));
  }
  static ULONG_PTR Handle(const PIPE_ENTRY* entry) {
    return entry ? ULONG_PTR(entry->PipeInfo.PipeHandle) : 0;
  }
  static UCHAR Address(const PIPE_ENTRY* entry) { return entry ? entry->PipeInfo.EndpointAddress : 0; }
  static size_t SelectRequests(const PluggedDevice& d) {
    return vrmdm_test::UrbCount(d.pdo, URB_FUNCTION_SELECT_CONFIGURATION);
  }
};

// ---- The modem's three descriptor variants ---------------------------------------------------

// Configured twice: the second replaces what the first kept.
TEST_F(UsbConfigTest, ModemWithNotificationEndpoint) {
  auto& d = Added(emu::usb::make_modem("acm"));
  ASSERT_EQ(Configure(d), STATUS_SUCCESS);
  ASSERT_EQ(Configure(d), STATUS_SUCCESS);
  PDEVICE_EXTENSION ext = d.ext();

  EXPECT_TRUE(ext->UsingInterruptPipe);
  // Communications interface first: interrupt in row 0, bulk pipes in row 1.
  EXPECT_EQ(ext->PipeTable[0][0].PipeInfo.EndpointAddress, cdc::NOTIFY_ENDPOINT);
  EXPECT_EQ(ext->PipeTable[0][0].PipeInfo.PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(ext->PipeTable[0][1].PipeInfo.PipeType, 0);
  EXPECT_EQ(ext->PipeTable[1][0].PipeInfo.EndpointAddress, cdc::BULK_IN_ENDPOINT);
  EXPECT_EQ(ext->PipeTable[1][0].PipeIndex, 0);
  EXPECT_EQ(ext->PipeTable[1][1].PipeInfo.EndpointAddress, cdc::BULK_OUT_ENDPOINT);
  EXPECT_EQ(ext->PipeTable[1][1].PipeIndex, 1);
  EXPECT_EQ(ext->PipeTable[2][0].PipeInfo.PipeType, 0);

  EXPECT_EQ(ZLKUSB_FindPipe(ext, UsbdPipeTypeInterrupt, kIn), &ext->PipeTable[0][0]);
  EXPECT_EQ(ZLKUSB_FindPipe(ext, UsbdPipeTypeInterrupt, kOut), &ext->PipeTable[0][0]);  // direction ignored
  EXPECT_EQ(ZLKUSB_FindPipe(ext, UsbdPipeTypeBulk, kIn), &ext->PipeTable[1][0]);
  EXPECT_EQ(ZLKUSB_FindPipe(ext, UsbdPipeTypeBulk, kOut), &ext->PipeTable[1][1]);
  EXPECT_NE(Handle(ZLKUSB_FindPipe(ext, UsbdPipeTypeBulk, kIn)), 0u);

  // What the bus was asked for.
  EXPECT_EQ(emu::usb::selected_max_transfer_size(d.pdo, cdc::NOTIFY_ENDPOINT), 64u);
  EXPECT_EQ(emu::usb::selected_max_transfer_size(d.pdo, cdc::BULK_IN_ENDPOINT), 65536u);
  EXPECT_EQ(emu::usb::selected_max_transfer_size(d.pdo, cdc::BULK_OUT_ENDPOINT), 65536u);

  auto info = emu::usb::info(d.pdo);
  EXPECT_EQ(info.configuration, 1);
  EXPECT_NE(info.device_handle, nullptr);
  EXPECT_EQ(ext->UsbdDeviceHandle, info.device_handle);

  // The kept copies are what the device holds.
  ASSERT_NE(ext->DeviceDescriptor, nullptr);
  auto dd = d.model->device_descriptor();
  EXPECT_EQ(0, memcmp(ext->DeviceDescriptor, dd.data(), 18));
  ASSERT_NE(ext->ConfigurationDescriptor, nullptr);
  auto cd = d.model->configuration_descriptor();
  ASSERT_EQ(ext->ConfigurationDescriptor->wTotalLength, cd.size());
  EXPECT_EQ(0, memcmp(ext->ConfigurationDescriptor, cd.data(), cd.size()));
  // Working URBs, the interface list and the descriptor buffers are gone.
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), 5u + 2u);
}

// Without a notification endpoint, or with the data interface first: the
// pipes are found where that set puts them.
TEST_F(UsbConfigTest, ModemWithoutNotificationEndpointOrWithDataInterfaceFirst) {
  for (const char* variant : {"acm-nointr", "acm-datafirst"}) {
    SCOPED_TRACE(variant);
    const bool interrupt = std::string_view(variant) == "acm-datafirst";
    auto& d = Added(emu::usb::make_modem(variant));
    ASSERT_EQ(Configure(d), STATUS_SUCCESS);
    PDEVICE_EXTENSION ext = d.ext();
    EXPECT_EQ(ext->UsingInterruptPipe, interrupt);
    EXPECT_EQ(ZLKUSB_FindPipe(ext, UsbdPipeTypeBulk, kIn), &ext->PipeTable[interrupt ? 0 : 1][0]);
    EXPECT_EQ(ZLKUSB_FindPipe(ext, UsbdPipeTypeBulk, kOut), &ext->PipeTable[interrupt ? 0 : 1][1]);
    EXPECT_EQ(ZLKUSB_FindPipe(ext, UsbdPipeTypeInterrupt, kIn), interrupt ? &ext->PipeTable[1][0] : nullptr);
    EXPECT_EQ(emu::usb::selected_max_transfer_size(d.pdo, cdc::BULK_IN_ENDPOINT), 65536u);
    EXPECT_EQ(emu::usb::selected_max_transfer_size(d.pdo, cdc::BULK_OUT_ENDPOINT), 65536u);
    EXPECT_EQ(emu::usb::selected_max_transfer_size(d.pdo, cdc::NOTIFY_ENDPOINT),
              interrupt ? std::optional<ULONG>(64) : std::nullopt);
    Remove(d);
  }
}

// ---- Descriptor sets as a device may give them ---------------------------------------------

// One descriptor set as a device may give it, and what configuring with it
// must come to.
struct SetRow {
  const char* name;
  Bytes set;
  NTSTATUS status;  // STATUS_UNSUCCESSFUL: any failure
  bool interrupt;
  UCHAR bulk_in;        // the bulk-IN pipe found (0: none)
  int kept_shorter_by;  // the kept copy's length against the set's (< 0: no selection; -1: none kept)
  std::vector<std::pair<UCHAR, std::optional<ULONG>>> sizes;  // maximum transfer sizes selected
  Bytes first = {};  // what the first read of the set gives, when not the set
};

TEST_F(UsbConfigTest, DescriptorSetsAreReadOnlyAsFarAsTheyAreSound) {
  auto data = [](ConfigBuilder b) { return b.data_iface(1, 2).endpoint(0x82, 2).endpoint(0x02, 2); };
  Bytes overlong = cdc::configuration_descriptor(Variant::acm);
  overlong[2] = 200;  // announces more than it has
  overlong[3] = 0;
  const Bytes zeroEnds = ModemSet().raw({0, 0x24, 1, 2, 3}).build();
  const Bytes zeroBeforeData =
      data(ConfigBuilder(2).iface(0, 1).raw({0, 0x24}).endpoint(0x81, 3, 16)).build();
  const Bytes pastTheEnd = ModemSet().raw({40, 0x24, 1}).build();
  const Bytes endpointFirst = data(ConfigBuilder(2).endpoint(0x83, 3, 16).iface(0, 0)).build();
  // The last interface's information ends the request: a write for a third
  // pipe would land past it.
  const Bytes extraEndpoint = data(ConfigBuilder(2).iface(0, 0)).endpoint(0x83, 3, 16).build();
  const Bytes shortTotal = data(ConfigBuilder(2).iface(0, 0)).build(5);
  // The set's two reads disagree on its total length: the first announces 30
  // bytes (without the data interface), or more than the second one has.
  const Bytes full = cdc::configuration_descriptor(Variant::acm);
  Bytes first30 = full, trailing = full, firstLonger = full;
  first30[2] = 30;
  first30[3] = 0;
  trailing.resize(full.size() + 40, 0xEE);  // bytes the set does not own
  firstLonger[2] = uint8_t(trailing.size());
  const SetRow rows[] = {
      {"SetShorterThanItsTotalLength", overlong, STATUS_SUCCESS, true, cdc::BULK_IN_ENDPOINT, 0, {}},
      {"ZeroLengthDescriptorEndsTheSet", zeroEnds, STATUS_SUCCESS, true, 0x82, 5, {}},
      {"ZeroLengthDescriptorBeforeTheDataInterface", zeroBeforeData, STATUS_UNSUCCESSFUL, false, 0, 0, {}},
      {"DescriptorRunningPastTheEnd", pastTheEnd, STATUS_SUCCESS, true, 0x82, 3, {}},
      {"EndpointBeforeAnyInterface", endpointFirst, STATUS_SUCCESS, false, 0x82, 0, {{0x82, 65536}}},
      {"MoreEndpointsThanDeclared", extraEndpoint, STATUS_SUCCESS, false, 0x82, 0, {{0x83, std::nullopt}}},
      {"NoInterface", ConfigBuilder(0).build(), STATUS_DEVICE_DATA_ERROR, false, 0, -2, {}},
      {"TotalLengthBelowTheConfigurationDescriptor", shortTotal, STATUS_DEVICE_DATA_ERROR, false, 0, -1, {}},
      {"TruncatedConfigurationDescriptor", Bytes{9, 0x02, 9, 0}, STATUS_DEVICE_DATA_ERROR, false, 0, -1, {}},
      {"SecondReadWithALargerTotalLength", full, STATUS_UNSUCCESSFUL, false, 0, 0, {}, first30},
      {"SecondReadWithASmallerTotalLength", trailing, STATUS_SUCCESS, true, 0x82, 40, {}, firstLonger},
  };
  for (const SetRow& row : rows) {
    SCOPED_TRACE(row.name);
    auto& d =
        row.first.empty() ? AddedWith(row.set) : Added(std::make_shared<ShiftingDevice>(row.first, row.set));
    NTSTATUS status = Configure(d);
    if (row.status == STATUS_UNSUCCESSFUL) {
      EXPECT_FALSE(NT_SUCCESS(status));
    } else {
      EXPECT_EQ(status, row.status);
    }
    PDEVICE_EXTENSION ext = d.ext();
    EXPECT_EQ(ext->UsingInterruptPipe, row.interrupt);
    EXPECT_EQ(Address(ZLKUSB_FindPipe(ext, UsbdPipeTypeBulk, kIn)), row.bulk_in);
    EXPECT_EQ(Address(ZLKUSB_FindPipe(ext, UsbdPipeTypeInterrupt, kIn)),
              row.interrupt ? cdc::NOTIFY_ENDPOINT : 0);
    if (row.kept_shorter_by < 0) {
      EXPECT_NE(ext->DeviceDescriptor, nullptr);  // read before, kept
      EXPECT_TRUE(row.kept_shorter_by != -1 || ext->ConfigurationDescriptor == nullptr);
      EXPECT_EQ(SelectRequests(d), 0u);
    } else if (NT_SUCCESS(status)) {
      EXPECT_EQ(ext->ConfigurationDescriptor->wTotalLength, row.set.size() - row.kept_shorter_by);
    }
    for (auto [endpoint, size] : row.sizes) {
      EXPECT_EQ(emu::usb::selected_max_transfer_size(d.pdo, endpoint), size) << int(endpoint);
    }
    Remove(d);
  }
}

TEST_F(UsbConfigTest, OnlyThreeInterfacesAndTwoPipesEachAreTabled) {
  Bytes set = ConfigBuilder(4)
                  .iface(0, 0)
                  .data_iface(1, 3)
                  .endpoint(0x82, 2)
                  .endpoint(0x02, 2)
                  .endpoint(0x83, 2)
                  .data_iface(2, 1)
                  .endpoint(0x04, 2)
                  .data_iface(3, 1)
                  .endpoint(0x85, 3, 16)
                  .build();
  auto& d = AddedWith(set);
  ASSERT_EQ(Configure(d), STATUS_SUCCESS);
  PDEVICE_EXTENSION ext = d.ext();
  EXPECT_EQ(ext->PipeTable[1][0].PipeInfo.EndpointAddress, 0x82);
  EXPECT_EQ(ext->PipeTable[1][1].PipeInfo.EndpointAddress, 0x02);
  EXPECT_EQ(ext->PipeTable[2][0].PipeInfo.EndpointAddress, 0x04);
  // Pipes beyond the table still get their sizes on the wire...
  EXPECT_EQ(emu::usb::selected_max_transfer_size(d.pdo, 0x83), 65536u);
  EXPECT_EQ(emu::usb::selected_max_transfer_size(d.pdo, 0x85), 64u);
  // ...but an interrupt pipe the table does not hold cannot be polled.
  EXPECT_EQ(ZLKUSB_FindPipe(ext, UsbdPipeTypeInterrupt, kIn), nullptr);
  EXPECT_FALSE(ext->UsingInterruptPipe);
}

TEST_F(UsbConfigTest, FailedSelectionIsReportedAndLeavesNoPipes) {
  auto scripted = emu::usb::ScriptedDevice::cdc_acm(Variant::acm);
  scripted->set_control_handler([](const emu::usb::SetupPacket& setup, std::span<uint8_t>) {
    return setup.bRequest == USB_REQUEST_SET_CONFIGURATION ? emu::usb::Reply::stall()
                                                           : emu::usb::Reply::data(0);
  });
  auto& d = Added(scripted);
  EXPECT_FALSE(NT_SUCCESS(Configure(d)));
  EXPECT_EQ(SelectRequests(d), 1u);
  EXPECT_EQ(ZLKUSB_FindPipe(d.ext(), UsbdPipeTypeBulk, kIn), nullptr);
  EXPECT_EQ(ZLKUSB_FindPipe(d.ext(), UsbdPipeTypeBulk, kOut), nullptr);
  EXPECT_FALSE(d.ext()->UsingInterruptPipe);
}

TEST_F(UsbConfigTest, FailedDeviceDescriptorReadStoresNothing) {
  auto& d = Added(emu::usb::make_modem("acm"));
  emu::usb::inject_fault(d.pdo, 0, emu::usb::Fault::error(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_TIMEOUT));
  EXPECT_EQ(Configure(d), STATUS_IO_TIMEOUT);
  EXPECT_EQ(d.ext()->DeviceDescriptor, nullptr);
  EXPECT_EQ(d.ext()->ConfigurationDescriptor, nullptr);
  EXPECT_EQ(SelectRequests(d), 0u);
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), 5u);
}

// ---- The lookup itself -----------------------------------------------------------------------

class FindPipeTest : public ::testing::Test {
 protected:
  void SetUp() override { ext_ = std::make_unique<DEVICE_EXTENSION>(); }
  void SetPipe(int row, int column, USBD_PIPE_TYPE type, UCHAR address) {
    PIPE_ENTRY& e = ext_->PipeTable[row][column];
    e.PipeInfo.PipeType = type;
    e.PipeInfo.EndpointAddress = address;
    e.PipeIndex = UCHAR(column);
  }
  std::unique_ptr<DEVICE_EXTENSION> ext_;
};

// The first match by row, then entry, wins; disabled entries, other types
// and directions with no meaning here match nothing.
TEST_F(FindPipeTest, FirstEnabledMatchByRowThenEntryWins) {
  EXPECT_EQ(ZLKUSB_FindPipe(ext_.get(), UsbdPipeTypeBulk, kIn), nullptr);
  SetPipe(2, 0, UsbdPipeTypeBulk, 0x84);
  SetPipe(1, 1, UsbdPipeTypeBulk, 0x83);
  SetPipe(1, 0, UsbdPipeTypeBulk, 0x03);
  EXPECT_EQ(ZLKUSB_FindPipe(ext_.get(), UsbdPipeTypeBulk, kIn), &ext_->PipeTable[1][1]);
  EXPECT_EQ(ZLKUSB_FindPipe(ext_.get(), UsbdPipeTypeBulk, kOut), &ext_->PipeTable[1][0]);
  SetPipe(0, 0, UsbdPipeTypeInterrupt, 0x81);
  SetPipe(0, 1, UsbdPipeTypeBulk, 0x82);
  SetPipe(2, 1, UsbdPipeTypeIsochronous, 0x85);
  ext_->PipeTable[0][0].Disabled = 1;
  EXPECT_EQ(ZLKUSB_FindPipe(ext_.get(), UsbdPipeTypeInterrupt, kIn), nullptr);
  EXPECT_EQ(ZLKUSB_FindPipe(ext_.get(), UsbdPipeTypeBulk, kIn), &ext_->PipeTable[0][1]);
  ext_->PipeTable[0][0].Disabled = 0;
  EXPECT_EQ(ZLKUSB_FindPipe(ext_.get(), UsbdPipeTypeInterrupt, kOut), &ext_->PipeTable[0][0]);
  EXPECT_EQ(ZLKUSB_FindPipe(ext_.get(), UsbdPipeTypeIsochronous, kIn), nullptr);
  EXPECT_EQ(ZLKUSB_FindPipe(ext_.get(), UsbdPipeTypeControl, kIn), nullptr);
  EXPECT_EQ(ZLKUSB_FindPipe(ext_.get(), UsbdPipeTypeBulk, 2), nullptr);
}

}  // namespace
