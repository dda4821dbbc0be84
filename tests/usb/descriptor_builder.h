// Hand-built descriptor sets, well-formed or not: the emulator's descriptor
// writer with the defaults the tests share.  raw() is for the malformed parts.
// And the walk over a set's interfaces.
#pragma once

#include <emu/usb/descriptors.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

namespace usbtest {

// The records name the fields they set; the writer fills in lengths and types.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

class ConfigBuilder {
 public:
  explicit ConfigBuilder(uint8_t num_interfaces, uint8_t value = 1)
      : set_({.bNumInterfaces = num_interfaces,
              .bConfigurationValue = value,
              .bmAttributes = 0x80,
              .MaxPower = 50}) {}
  ConfigBuilder& iface(uint8_t number, uint8_t endpoints, uint8_t cls = 0x02, uint8_t alternate = 0,
                       uint8_t subclass = 0x02, uint8_t protocol = 0x01) {
    set_.add(USB_INTERFACE_DESCRIPTOR{.bInterfaceNumber = number,
                                      .bAlternateSetting = alternate,
                                      .bNumEndpoints = endpoints,
                                      .bInterfaceClass = cls,
                                      .bInterfaceSubClass = subclass,
                                      .bInterfaceProtocol = protocol});
    return *this;
  }
  // A data-class interface.
  ConfigBuilder& data_iface(uint8_t number, uint8_t endpoints, uint8_t alternate = 0) {
    return iface(number, endpoints, 0x0A, alternate, 0, 0);
  }
  ConfigBuilder& endpoint(uint8_t address, uint8_t attributes, uint16_t max_packet = 64,
                          uint8_t interval = 0) {
    set_.add(USB_ENDPOINT_DESCRIPTOR{.bEndpointAddress = address,
                                     .bmAttributes = attributes,
                                     .wMaxPacketSize = max_packet,
                                     .bInterval = interval});
    return *this;
  }
  // The functional descriptors of an ACM function (communications interface
  // `control`, data interface `data`).
  ConfigBuilder& acm_functional(uint8_t control = 0, uint8_t data = 1) {
    set_.add(emu::usb::cdc::acm_functional(control, data));
    return *this;
  }
  ConfigBuilder& raw(std::initializer_list<uint8_t> b) {
    set_.raw(std::span<const uint8_t>(b.begin(), b.size()));
    return *this;
  }
  // The set, wTotalLength set to its size or to `total`.
  std::vector<uint8_t> build(std::optional<uint16_t> total = std::nullopt) const { return set_.bytes(total); }

 private:
  emu::usb::DescriptorWriter set_;
};

#pragma GCC diagnostic pop

// The interface descriptors the library finds walking a set as a driver
// does: from the start, then one interface descriptor further.
inline std::vector<PUSB_INTERFACE_DESCRIPTOR> interfaces_of(PUSB_CONFIGURATION_DESCRIPTOR cd,
                                                            unsigned max = 8) {
  std::vector<PUSB_INTERFACE_DESCRIPTOR> found;
  for (PVOID pos = cd; found.size() < max;) {
    PUSB_INTERFACE_DESCRIPTOR id = USBD_ParseConfigurationDescriptorEx(cd, pos, -1, -1, -1, -1, -1);
    if (id == nullptr) break;
    found.push_back(id);
    pos = reinterpret_cast<uint8_t*>(id) + sizeof(USB_INTERFACE_DESCRIPTOR);
  }
  return found;
}

}  // namespace usbtest
