// Descriptors as data: a device model writes its descriptors as const
// tables of the published records (the DDK's USB_*_DESCRIPTOR and the
// communications class's functional descriptors) and turns them into wire
// bytes through the one writer below, which fills in what follows from the
// record itself: bLength (bFunctionLength), bDescriptorType, a functional
// descriptor's subtype, and a set's wTotalLength.  Counts a set declares
// (bNumInterfaces, bNumEndpoints) stay the table's own, so a table can
// state a wrong one on purpose.
#pragma once

#include <nt/usb.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

namespace emu::usb {

using Bytes = std::vector<uint8_t>;

namespace cdc {

// Class-specific interface descriptor type, and the functional descriptor
// subtypes of an abstract control model function.
constexpr UCHAR CS_INTERFACE = 0x24;
constexpr UCHAR HEADER_FUNCTIONAL = 0x00;
constexpr UCHAR CALL_MANAGEMENT_FUNCTIONAL = 0x01;
constexpr UCHAR ACM_FUNCTIONAL = 0x02;
constexpr UCHAR UNION_FUNCTIONAL = 0x06;

// The functional descriptors as the communications class lays them out.
#pragma pack(push, 1)
struct HeaderDescriptor {
  UCHAR bFunctionLength;
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  USHORT bcdCDC;
};
struct CallManagementDescriptor {
  UCHAR bFunctionLength;
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bmCapabilities;
  UCHAR bDataInterface;
};
struct AcmDescriptor {
  UCHAR bFunctionLength;
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bmCapabilities;
};
// With one subordinate interface, as a single-function modem has.
struct UnionDescriptor {
  UCHAR bFunctionLength;
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bControlInterface;
  UCHAR bSubordinateInterface0;
};
#pragma pack(pop)
static_assert(sizeof(HeaderDescriptor) == 5 && sizeof(CallManagementDescriptor) == 5 &&
              sizeof(AcmDescriptor) == 4 && sizeof(UnionDescriptor) == 5);

}  // namespace cdc

// One descriptor of a configuration set, after the configuration descriptor.
using Descriptor = std::variant<USB_INTERFACE_DESCRIPTOR, USB_ENDPOINT_DESCRIPTOR, cdc::HeaderDescriptor,
                                cdc::CallManagementDescriptor, cdc::AcmDescriptor, cdc::UnionDescriptor>;

namespace cdc {
// What follows the communications interface descriptor of an abstract
// control model function (communications interface `control`, data
// interface `data`): header (CDC 1.10), call management (none by the
// device), ACM (line coding, line state, serial state) and union.
std::array<Descriptor, 4> acm_functional(uint8_t control, uint8_t data);
}  // namespace cdc

// The writer of a configuration set: the configuration descriptor, then
// descriptors in the order added.  raw() appends bytes as they stand, for
// sets that are malformed on purpose; well-formed descriptors go through add().
class DescriptorWriter {
 public:
  explicit DescriptorWriter(const USB_CONFIGURATION_DESCRIPTOR& config);
  DescriptorWriter& add(const Descriptor& descriptor);
  DescriptorWriter& add(std::span<const Descriptor> descriptors);
  DescriptorWriter& add(std::initializer_list<Descriptor> descriptors) {
    return add(std::span<const Descriptor>(descriptors.begin(), descriptors.size()));
  }
  DescriptorWriter& raw(std::span<const uint8_t> bytes);
  // The set, wTotalLength its size or, to announce a wrong one, `total`.
  Bytes bytes(std::optional<uint16_t> total = std::nullopt) const;

 private:
  Bytes bytes_;
};

// The device descriptor's 18 bytes.
Bytes serialize(const USB_DEVICE_DESCRIPTOR& device);
// A whole configuration set.
Bytes serialize(const USB_CONFIGURATION_DESCRIPTOR& config, std::span<const Descriptor> body);
// A string descriptor: UTF-16LE text.  String 0, the language list, is the
// string of the language ids (u"\u0409": US English).
Bytes serialize_string(std::u16string_view text);

}  // namespace emu::usb
