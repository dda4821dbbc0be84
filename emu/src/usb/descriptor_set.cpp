#include "usb/descriptor_set.h"

#include <nt/usb.h>

#include <algorithm>
#include <cstring>

namespace emu::usb::detail {

namespace {
// The record at `pos`, which the caller has checked lies within the bytes.
template <class Record>
Record read(std::span<const uint8_t> raw, size_t pos) {
  Record r;
  std::memcpy(&r, raw.data() + pos, sizeof r);
  return r;
}
}  // namespace

std::optional<ConfigDesc> parse_configuration(std::span<const uint8_t> raw) {
  if (raw.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return std::nullopt;
  const auto cd = read<USB_CONFIGURATION_DESCRIPTOR>(raw, 0);
  if (cd.bLength < sizeof cd || cd.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) return std::nullopt;
  ConfigDesc config;
  config.total_length = cd.wTotalLength;
  config.declared_interfaces = cd.bNumInterfaces;
  config.value = cd.bConfigurationValue;
  config.attributes = cd.bmAttributes;

  size_t end = std::min<size_t>(config.total_length, raw.size());
  if (config.total_length > raw.size()) config.problems.push_back("wTotalLength beyond the descriptor bytes");
  size_t pos = raw[0];
  InterfaceDesc* current = nullptr;
  while (pos + 2 <= end) {
    const uint8_t length = raw[pos];
    const uint8_t type = raw[pos + 1];
    if (length < 2) {
      config.problems.push_back("descriptor with bLength " + std::to_string(length) + " at offset " +
                                std::to_string(pos));
      break;
    }
    if (pos + length > end) {
      config.problems.push_back("descriptor at offset " + std::to_string(pos) + " runs past the set");
      break;
    }
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      const auto id = read<USB_INTERFACE_DESCRIPTOR>(raw, pos);
      config.interfaces.push_back({.number = id.bInterfaceNumber,
                                   .alternate = id.bAlternateSetting,
                                   .cls = id.bInterfaceClass,
                                   .subclass = id.bInterfaceSubClass,
                                   .protocol = id.bInterfaceProtocol,
                                   .declared_endpoints = id.bNumEndpoints,
                                   .endpoints = {}});
      current = &config.interfaces.back();
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
      if (current == nullptr) {
        config.problems.push_back("endpoint descriptor before the first interface");
      } else {
        const auto ed = read<USB_ENDPOINT_DESCRIPTOR>(raw, pos);
        current->endpoints.push_back({.address = ed.bEndpointAddress,
                                      .attributes = ed.bmAttributes,
                                      .max_packet = ed.wMaxPacketSize,
                                      .interval = ed.bInterval});
      }
    } else if (type == USB_INTERFACE_DESCRIPTOR_TYPE || type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      config.problems.push_back("truncated descriptor at offset " + std::to_string(pos));
    }
    pos += length;
  }
  if (config.interfaces.size() < config.declared_interfaces) {
    config.problems.push_back("fewer interfaces than bNumInterfaces");
  }
  return config;
}

const InterfaceDesc* find_interface(const ConfigDesc& config, uint8_t number, uint8_t alternate) {
  for (const InterfaceDesc& iface : config.interfaces) {
    if (iface.number == number && iface.alternate == alternate) return &iface;
  }
  return nullptr;
}

}  // namespace emu::usb::detail
