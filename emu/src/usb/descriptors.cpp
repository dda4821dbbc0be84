// The one writer of descriptor bytes: records go out in their packed wire
// layout, with the fields that follow from the record filled in.
#include <emu/usb/descriptors.h>

#include <bit>
#include <cstddef>
#include <cstring>

namespace emu::usb {

// The records' multi-byte fields are little-endian on the wire, as in memory here.
static_assert(std::endian::native == std::endian::little);

namespace {

void stamp(USB_INTERFACE_DESCRIPTOR& d) {
  d.bLength = sizeof d;
  d.bDescriptorType = USB_INTERFACE_DESCRIPTOR_TYPE;
}
void stamp(USB_ENDPOINT_DESCRIPTOR& d) {
  d.bLength = sizeof d;
  d.bDescriptorType = USB_ENDPOINT_DESCRIPTOR_TYPE;
}
template <class Functional>
void stamp_functional(Functional& d, UCHAR subtype) {
  d.bFunctionLength = sizeof d;
  d.bDescriptorType = cdc::CS_INTERFACE;
  d.bDescriptorSubtype = subtype;
}
void stamp(cdc::HeaderDescriptor& d) { stamp_functional(d, cdc::HEADER_FUNCTIONAL); }
void stamp(cdc::CallManagementDescriptor& d) { stamp_functional(d, cdc::CALL_MANAGEMENT_FUNCTIONAL); }
void stamp(cdc::AcmDescriptor& d) { stamp_functional(d, cdc::ACM_FUNCTIONAL); }
void stamp(cdc::UnionDescriptor& d) { stamp_functional(d, cdc::UNION_FUNCTIONAL); }

template <class Record>
void append(Bytes& out, const Record& record) {
  const std::size_t at = out.size();
  out.resize(at + sizeof record);
  std::memcpy(out.data() + at, &record, sizeof record);
}

}  // namespace

DescriptorWriter::DescriptorWriter(const USB_CONFIGURATION_DESCRIPTOR& config) {
  USB_CONFIGURATION_DESCRIPTOR c = config;
  c.bLength = sizeof c;
  c.bDescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
  append(bytes_, c);
}

DescriptorWriter& DescriptorWriter::add(const Descriptor& descriptor) {
  std::visit(
      [this](auto record) {
        stamp(record);
        append(bytes_, record);
      },
      descriptor);
  return *this;
}

DescriptorWriter& DescriptorWriter::add(std::span<const Descriptor> descriptors) {
  for (const Descriptor& d : descriptors) add(d);
  return *this;
}

DescriptorWriter& DescriptorWriter::raw(std::span<const uint8_t> bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes DescriptorWriter::bytes(std::optional<uint16_t> total) const {
  Bytes out = bytes_;
  const uint16_t length = total.value_or(static_cast<uint16_t>(out.size()));
  std::memcpy(out.data() + offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength), &length, sizeof length);
  return out;
}

Bytes serialize(const USB_DEVICE_DESCRIPTOR& device) {
  USB_DEVICE_DESCRIPTOR d = device;
  d.bLength = sizeof d;
  d.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
  Bytes out;
  append(out, d);
  return out;
}

Bytes serialize(const USB_CONFIGURATION_DESCRIPTOR& config, std::span<const Descriptor> body) {
  return DescriptorWriter(config).add(body).bytes();
}

Bytes serialize_string(std::u16string_view text) {
  Bytes out{static_cast<uint8_t>(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

}  // namespace emu::usb
