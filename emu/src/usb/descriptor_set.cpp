#include "usb/descriptor_set.h"

#include <algorithm>

namespace emu::usb::detail {

namespace {
constexpr uint8_t type_configuration = 0x02;
constexpr uint8_t type_interface = 0x04;
constexpr uint8_t type_endpoint = 0x05;
constexpr size_t config_size = 9;
constexpr size_t interface_size = 9;
constexpr size_t endpoint_size = 7;
}  // namespace

std::optional<ConfigDesc> parse_configuration(std::span<const uint8_t> raw) {
  if (raw.size() < config_size || raw[0] < config_size || raw[1] != type_configuration) return std::nullopt;
  ConfigDesc config;
  config.total_length = static_cast<uint16_t>(raw[2] | (raw[3] << 8));
  config.declared_interfaces = raw[4];
  config.value = raw[5];
  config.attributes = raw[7];

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
    if (type == type_interface && length >= interface_size) {
      InterfaceDesc iface;
      iface.number = raw[pos + 2];
      iface.alternate = raw[pos + 3];
      iface.declared_endpoints = raw[pos + 4];
      iface.cls = raw[pos + 5];
      iface.subclass = raw[pos + 6];
      iface.protocol = raw[pos + 7];
      config.interfaces.push_back(iface);
      current = &config.interfaces.back();
    } else if (type == type_endpoint && length >= endpoint_size) {
      if (current == nullptr) {
        config.problems.push_back("endpoint descriptor before the first interface");
      } else {
        EndpointDesc ep;
        ep.address = raw[pos + 2];
        ep.attributes = raw[pos + 3];
        ep.max_packet = static_cast<uint16_t>(raw[pos + 4] | (raw[pos + 5] << 8));
        ep.interval = raw[pos + 6];
        current->endpoints.push_back(ep);
      }
    } else if (type == type_interface || type == type_endpoint) {
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
