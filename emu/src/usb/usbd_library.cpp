// The USBD client library: descriptor parsing and the select-configuration
// URB builder.  Every walk is bounded by the configuration's wTotalLength and
// stops at a descriptor whose bLength could not advance the walk, so a
// malformed set from a device can neither run a walk off its end nor spin it.
#include <nt/ntddk.h>

#include <cstddef>
#include <cstdint>

namespace {

constexpr ULONG usbd_pool_tag = 'U' | ('S' << 8) | ('B' << 16) | ('D' << 24);

// Returns the descriptor of `type` (or any type for -1) at or after `start`,
// within [buffer, buffer + total).  A descriptor is returned only when it
// lies whole inside the range.
const USB_COMMON_DESCRIPTOR* find_descriptor(const UCHAR* buffer, ULONG total, const UCHAR* start,
                                             LONG type) {
  if (buffer == nullptr || start == nullptr || start < buffer) return nullptr;
  const UCHAR* end = buffer + total;
  const UCHAR* p = start;
  while (p < end && static_cast<size_t>(end - p) >= sizeof(USB_COMMON_DESCRIPTOR)) {
    auto* common = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(p);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR)) return nullptr;  // cannot advance
    if (common->bLength > static_cast<size_t>(end - p)) return nullptr;   // runs past the set
    if (type == -1 || common->bDescriptorType == static_cast<UCHAR>(type)) return common;
    p += common->bLength;
  }
  return nullptr;
}

bool matches(LONG wanted, UCHAR actual) { return wanted == -1 || static_cast<UCHAR>(wanted) == actual; }

}  // namespace

EXTERN_C PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                            PVOID StartPosition, LONG DescriptorType) {
  return const_cast<PUSB_COMMON_DESCRIPTOR>(
      find_descriptor(static_cast<const UCHAR*>(DescriptorBuffer), TotalLength,
                      static_cast<const UCHAR*>(StartPosition), DescriptorType));
}

EXTERN_C PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr) return nullptr;
  auto* base = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  const UCHAR* pos = static_cast<const UCHAR*>(StartPosition);
  while (const USB_COMMON_DESCRIPTOR* found =
             find_descriptor(base, total, pos, USB_INTERFACE_DESCRIPTOR_TYPE)) {
    auto* p = reinterpret_cast<const UCHAR*>(found);
    // A truncated interface descriptor cannot be read as one: step over it.
    if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto* iface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(found);
      if (matches(InterfaceNumber, iface->bInterfaceNumber) &&
          matches(AlternateSetting, iface->bAlternateSetting) &&
          matches(InterfaceClass, iface->bInterfaceClass) &&
          matches(InterfaceSubClass, iface->bInterfaceSubClass) &&
          matches(InterfaceProtocol, iface->bInterfaceProtocol)) {
        return const_cast<PUSB_INTERFACE_DESCRIPTOR>(iface);
      }
    }
    pos = p + found->bLength;
  }
  return nullptr;
}

EXTERN_C PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                             InterfaceNumber, AlternateSetting, -1, -1, -1);
}

EXTERN_C PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                      PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;

  size_t interfaces = 0;
  size_t pipes = 0;
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    ++interfaces;
    pipes += entry->InterfaceDescriptor->bNumEndpoints;
  }
  if (interfaces == 0) return nullptr;

  const size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces, pipes);
  if (size > 0xFFFF) return nullptr;  // the header's Length is 16 bits

  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, usbd_pool_tag));
  if (urb == nullptr) return nullptr;
  RtlZeroMemory(urb, size);

  UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), ConfigurationDescriptor);

  auto* cursor = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    const PUSB_INTERFACE_DESCRIPTOR desc = entry->InterfaceDescriptor;
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(desc->bNumEndpoints));
    info->InterfaceNumber = desc->bInterfaceNumber;
    info->AlternateSetting = desc->bAlternateSetting;
    info->NumberOfPipes = desc->bNumEndpoints;
    for (ULONG i = 0; i < info->NumberOfPipes; ++i) {
      info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      info->Pipes[i].PipeFlags = 0;
    }
    entry->Interface = info;
    cursor += info->Length;
  }
  return urb;
}

EXTERN_C VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation) {
  if (VersionInformation == nullptr) return;
  VersionInformation->USBDI_Version = 0x00000500;
  VersionInformation->Supported_USB_Version = 0x0200;
}
