// Hand-built descriptor sets, well-formed or not.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

namespace usbtest {

class ConfigBuilder {
 public:
  explicit ConfigBuilder(uint8_t num_interfaces, uint8_t value = 1) {
    bytes_ = {9, 0x02, 0, 0, num_interfaces, value, 0, 0x80, 50};
  }
  ConfigBuilder& iface(uint8_t number, uint8_t endpoints, uint8_t cls = 0x02, uint8_t alternate = 0,
                       uint8_t subclass = 0x02, uint8_t protocol = 0x01) {
    return raw({9, 0x04, number, alternate, endpoints, cls, subclass, protocol, 0});
  }
  ConfigBuilder& endpoint(uint8_t address, uint8_t attributes, uint16_t max_packet = 64,
                          uint8_t interval = 0) {
    return raw({7, 0x05, address, attributes, static_cast<uint8_t>(max_packet),
                static_cast<uint8_t>(max_packet >> 8), interval});
  }
  ConfigBuilder& functional(uint8_t subtype) { return raw({5, 0x24, subtype, 0x10, 0x01}); }
  ConfigBuilder& raw(std::initializer_list<uint8_t> b) {
    bytes_.insert(bytes_.end(), b);
    return *this;
  }
  // The set, wTotalLength set to its size or to `total`.
  std::vector<uint8_t> build(std::optional<uint16_t> total = std::nullopt) const {
    std::vector<uint8_t> out = bytes_;
    const uint16_t t = total.value_or(static_cast<uint16_t>(out.size()));
    out[2] = static_cast<uint8_t>(t);
    out[3] = static_cast<uint8_t>(t >> 8);
    return out;
  }

 private:
  std::vector<uint8_t> bytes_;
};

inline std::vector<uint8_t> device_descriptor(uint16_t vid = 0x1234, uint16_t pid = 0x5678) {
  return {18,
          0x01,
          0x00,
          0x02,
          0x02,
          0,
          0,
          64,
          static_cast<uint8_t>(vid),
          static_cast<uint8_t>(vid >> 8),
          static_cast<uint8_t>(pid),
          static_cast<uint8_t>(pid >> 8),
          0x00,
          0x01,
          1,
          2,
          3,
          1};
}

}  // namespace usbtest
