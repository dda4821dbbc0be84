// The bus's own reading of a device's configuration descriptor set.  The
// bytes come from a device model and may be malformed on purpose; the
// reader never leaves the bytes it was given and reports what it skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace emu::usb::detail {

struct EndpointDesc {
  uint8_t address = 0;
  uint8_t attributes = 0;
  uint16_t max_packet = 0;
  uint8_t interval = 0;
};

struct InterfaceDesc {
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t cls = 0;
  uint8_t subclass = 0;
  uint8_t protocol = 0;
  uint8_t declared_endpoints = 0;       // bNumEndpoints
  std::vector<EndpointDesc> endpoints;  // endpoint descriptors found after it, up to the next interface
};

struct ConfigDesc {
  uint8_t value = 0;                // bConfigurationValue
  uint8_t declared_interfaces = 0;  // bNumInterfaces
  uint8_t attributes = 0;
  uint16_t total_length = 0;  // wTotalLength as announced
  std::vector<InterfaceDesc> interfaces;
  std::vector<std::string> problems;  // what was malformed, for diagnostics
};

// Reads a configuration set: the 9-byte configuration descriptor first, then
// the descriptors within min(wTotalLength, raw.size()).  Returns nothing when
// not even the configuration descriptor is readable.
std::optional<ConfigDesc> parse_configuration(std::span<const uint8_t> raw);

const InterfaceDesc* find_interface(const ConfigDesc& config, uint8_t number, uint8_t alternate);

}  // namespace emu::usb::detail
