// The USBD library routines against hand-built descriptor sets.
#include <gtest/gtest.h>

#include <emu/kernel.h>
#include <nt/ntddk.h>

#include <vector>

#include "descriptor_builder.h"

namespace {

using usbtest::ConfigBuilder;

PUSB_CONFIGURATION_DESCRIPTOR as_config(std::vector<uint8_t>& bytes) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

// Offsets of the interface descriptors the library returns.
std::vector<std::ptrdiff_t> walk(std::vector<uint8_t>& set) {
  std::vector<std::ptrdiff_t> found;
  for (auto* id : usbtest::interfaces_of(as_config(set)))
    found.push_back(reinterpret_cast<uint8_t*>(id) - set.data());
  return found;
}

TEST(UsbdParse, FindsEachInterfaceFromTheStartPositionAndHonoursFilters) {
  auto set = ConfigBuilder(2)
                 .iface(0, 1, 0x02)
                 .acm_functional()
                 .endpoint(0x81, 3, 16, 10)
                 .data_iface(1, 2)
                 .endpoint(0x82, 2)
                 .endpoint(0x02, 2)
                 .data_iface(1, 2, 1)  // alternate setting 1 of interface 1
                 .build();
  EXPECT_EQ(walk(set), (std::vector<std::ptrdiff_t>{9, 9 + 9 + 19 + 7, 9 + 9 + 19 + 7 + 9 + 14}));

  PUSB_CONFIGURATION_DESCRIPTOR cd = as_config(set);
  PUSB_INTERFACE_DESCRIPTOR data = USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 0x0A, -1, -1);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->bInterfaceNumber, 1);
  EXPECT_EQ(data->bAlternateSetting, 0);
  PUSB_INTERFACE_DESCRIPTOR alt = USBD_ParseConfigurationDescriptorEx(cd, cd, 1, 1, -1, -1, -1);
  ASSERT_NE(alt, nullptr);
  EXPECT_EQ(alt->bAlternateSetting, 1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, 2, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, cd, -1, -1, 0xFF, -1, -1), nullptr);
  // The classic form searches from the start.
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(cd, 1, 0), data);
  // A start position outside the set finds nothing.
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, set.data() + set.size(), -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cd, set.data() - 1, -1, -1, -1, -1, -1), nullptr);
}

TEST(UsbdParse, MalformedSetsEndTheWalkInsteadOfRunningOffOrSpinning) {
  // bLength 0 between the interfaces: nothing after it is reachable.
  auto zero = ConfigBuilder(2).iface(0, 0).raw({0, 0x24, 1, 2}).iface(1, 0).build();
  EXPECT_EQ(walk(zero), (std::vector<std::ptrdiff_t>{9}));

  // bLength 1 cannot advance either.
  auto one = ConfigBuilder(2).iface(0, 0).raw({1, 0x24}).iface(1, 0).build();
  EXPECT_EQ(walk(one), (std::vector<std::ptrdiff_t>{9}));

  // An interface descriptor beyond wTotalLength is not part of the set: the
  // buffer ends exactly at wTotalLength, so a read past it trips ASan too.
  auto full = ConfigBuilder(2).iface(0, 0).iface(1, 0).build();
  std::vector<uint8_t> cut(full.begin(), full.begin() + 18);
  cut[2] = 18;
  cut[3] = 0;
  EXPECT_EQ(walk(cut), (std::vector<std::ptrdiff_t>{9}));

  // A descriptor that claims more bytes than the set has left.
  auto straddle = ConfigBuilder(2).iface(0, 0).raw({9, 0x04, 1, 0, 0}).build();
  EXPECT_EQ(walk(straddle), (std::vector<std::ptrdiff_t>{9}));

  // A truncated interface descriptor is stepped over, not taken.
  auto truncated = ConfigBuilder(2).raw({5, 0x04, 7, 0, 0}).iface(1, 0).build();
  EXPECT_EQ(walk(truncated), (std::vector<std::ptrdiff_t>{14}));

  // wTotalLength smaller than the configuration descriptor itself.
  auto tiny = ConfigBuilder(1).iface(0, 0).build(4);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(as_config(tiny), tiny.data(), -1, -1, -1, -1, -1), nullptr);
}

// Three interfaces, one without endpoints: the URB holds one record each, laid
// end to end, every pipe at the default size; no interface or no memory, no URB.
TEST(UsbdCreateConfigurationRequest, SizesTheUrbForEveryInterfaceAndPipeOrFailsCleanly) {
  auto set = ConfigBuilder(3)
                 .iface(0, 1)
                 .endpoint(0x81, 3, 16, 10)
                 .data_iface(1, 0)
                 .data_iface(2, 2)
                 .endpoint(0x82, 2)
                 .endpoint(0x02, 2)
                 .build();
  PUSB_CONFIGURATION_DESCRIPTOR cd = as_config(set);
  USBD_INTERFACE_LIST_ENTRY list[4] = {};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, list), nullptr) << "no interface";
  const auto offsets = walk(set);
  ASSERT_EQ(offsets.size(), 3u);
  for (int i = 0; i < 3; ++i)
    list[i].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.data() + offsets[i]);
  emu::faults::fail_nth_allocation(1);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(cd, list), nullptr);
  EXPECT_EQ(list[0].Interface, nullptr);
  emu::faults::clear();

  for (auto& e : list) e.Interface = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(0x1);  // overwritten
  list[3] = {};
  PURB urb = USBD_CreateConfigurationRequestEx(cd, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_TRUE(emu::pool::is_allocated(urb)) << "the caller frees the URB from pool";
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 3));
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cd);
  auto* at = reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface);
  const UCHAR endpoints[3] = {1, 0, 2};
  for (int i = 0; i < 3; ++i) {
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(info), at) << "interface " << i;
    EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(endpoints[i]));
    EXPECT_EQ(info->InterfaceNumber, i);
    EXPECT_EQ(info->AlternateSetting, 0);
    ASSERT_EQ(info->NumberOfPipes, endpoints[i]);
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
      EXPECT_EQ(info->Pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
      EXPECT_EQ(info->Pipes[p].PipeHandle, nullptr);
    }
    at += info->Length;
  }
  EXPECT_EQ(at, reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length)
      << "the records fill the URB exactly";
  ExFreePool(urb);
  EXPECT_EQ(emu::pool::outstanding_total(), 0u);
}

}  // namespace
