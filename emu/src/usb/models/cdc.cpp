// Communications-class descriptor sets and records shared by the models.
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>
#include <emu/usb/descriptors.h>

#include <algorithm>

#include "usb/models/acm_requests.h"

namespace emu::usb::cdc {

namespace {

// The tables name the fields they set; the writer fills in lengths and types.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

// Interface 0: communications class, abstract control model, AT commands;
// its endpoint count is the variant's.
constexpr USB_INTERFACE_DESCRIPTOR kCommunicationsInterface{
    .bInterfaceNumber = 0, .bInterfaceClass = 0x02, .bInterfaceSubClass = 0x02, .bInterfaceProtocol = 0x01};
// Interface 1: data class, bulk IN and OUT.
constexpr USB_INTERFACE_DESCRIPTOR kDataInterface{
    .bInterfaceNumber = 1, .bNumEndpoints = 2, .bInterfaceClass = 0x0A};

struct SpeedEndpoints {
  USB_ENDPOINT_DESCRIPTOR notify, bulk_in, bulk_out;
};
constexpr SpeedEndpoints endpoints_at(USHORT bulk_packet, UCHAR notify_interval) {
  return {.notify = {.bEndpointAddress = NOTIFY_ENDPOINT,
                     .bmAttributes = USB_ENDPOINT_TYPE_INTERRUPT,
                     .wMaxPacketSize = 16,
                     .bInterval = notify_interval},
          .bulk_in = {.bEndpointAddress = BULK_IN_ENDPOINT,
                      .bmAttributes = USB_ENDPOINT_TYPE_BULK,
                      .wMaxPacketSize = bulk_packet},
          .bulk_out = {.bEndpointAddress = BULK_OUT_ENDPOINT,
                       .bmAttributes = USB_ENDPOINT_TYPE_BULK,
                       .wMaxPacketSize = bulk_packet}};
}
// Notifications polled every 10 frames.
constexpr SpeedEndpoints kFullSpeed = endpoints_at(64, 10);
// High-speed bulk endpoints must have 512-byte packets; notifications every
// 2^(8-1) microframes, 16 ms.
constexpr SpeedEndpoints kHighSpeed = endpoints_at(512, 8);

// Bus powered, no remote wake-up, 100 mA.
constexpr USB_CONFIGURATION_DESCRIPTOR kConfiguration{
    .bNumInterfaces = 2, .bConfigurationValue = 1, .bmAttributes = 0x80, .MaxPower = 50};

constexpr USB_DEVICE_DESCRIPTOR kDevice{.bcdUSB = 0x0200,
                                        .bDeviceClass = 0x02,  // communications device class
                                        .bMaxPacketSize0 = 64,
                                        .idVendor = VENDOR_ID,
                                        .idProduct = PRODUCT_ID,
                                        .bcdDevice = 0x0100,
                                        .iManufacturer = 1,
                                        .iProduct = 2,
                                        .iSerialNumber = 3,
                                        .bNumConfigurations = 1};

}  // namespace

std::array<Descriptor, 4> acm_functional(uint8_t control, uint8_t data) {
  return {HeaderDescriptor{.bcdCDC = 0x0110},
          CallManagementDescriptor{.bmCapabilities = 0x00, .bDataInterface = data},
          AcmDescriptor{.bmCapabilities = 0x02},
          UnionDescriptor{.bControlInterface = control, .bSubordinateInterface0 = data}};
}

namespace {

void add_communications(DescriptorWriter& set, const SpeedEndpoints& endpoints, bool with_notify) {
  USB_INTERFACE_DESCRIPTOR iface = kCommunicationsInterface;
  iface.bNumEndpoints = with_notify ? 1 : 0;
  set.add(iface).add(acm_functional(0, 1));
  if (with_notify) set.add(endpoints.notify);
}

void add_data(DescriptorWriter& set, const SpeedEndpoints& endpoints) {
  set.add({kDataInterface, endpoints.bulk_in, endpoints.bulk_out});
}

}  // namespace

std::array<uint8_t, 10> serial_state_notification(uint16_t state, uint16_t interface_number) {
  return {0xA1,
          SERIAL_STATE,
          0,
          0,
          static_cast<uint8_t>(interface_number & 0xFF),
          static_cast<uint8_t>(interface_number >> 8),
          2,
          0,
          static_cast<uint8_t>(state & 0xFF),
          static_cast<uint8_t>(state >> 8)};
}

std::array<uint8_t, 7> LineCoding::bytes() const {
  return {static_cast<uint8_t>(dte_rate),
          static_cast<uint8_t>(dte_rate >> 8),
          static_cast<uint8_t>(dte_rate >> 16),
          static_cast<uint8_t>(dte_rate >> 24),
          char_format,
          parity,
          data_bits};
}

LineCoding LineCoding::from(std::span<const uint8_t, 7> b) {
  LineCoding lc;
  lc.dte_rate = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  lc.char_format = b[4];
  lc.parity = b[5];
  lc.data_bits = b[6];
  return lc;
}

std::optional<AcmAnswer> answer_acm_request(const SetupPacket& setup, std::span<uint8_t> data,
                                            uint8_t interface_number, std::optional<LineCoding>& coding) {
  constexpr uint8_t to_interface = 1;
  if (setup.type() != 1 || setup.recipient() != to_interface || setup.wIndex != interface_number)
    return std::nullopt;
  switch (setup.bRequest) {
    case SET_LINE_CODING:
      // The class defines wLength 7; anything else is a request error.
      if (setup.device_to_host() || data.size() != 7) return AcmAnswer{Reply::stall(), std::nullopt};
      coding = LineCoding::from(data.first<7>());
      return AcmAnswer{Reply::data(7), std::nullopt};
    case GET_LINE_CODING: {
      if (!setup.device_to_host()) return AcmAnswer{Reply::stall(), std::nullopt};
      const auto bytes = coding.value_or(LineCoding{}).bytes();
      const std::size_t n = std::min(data.size(), bytes.size());
      std::copy_n(bytes.begin(), n, data.begin());
      return AcmAnswer{Reply::data(n), std::nullopt};
    }
    case SET_CONTROL_LINE_STATE:
      if (setup.device_to_host()) return AcmAnswer{Reply::stall(), std::nullopt};
      return AcmAnswer{Reply::data(0), setup.wValue};
    case SEND_BREAK:
      if (setup.device_to_host()) return AcmAnswer{Reply::stall(), std::nullopt};
      return AcmAnswer{Reply::data(0), std::nullopt};
    default:
      return std::nullopt;
  }
}

std::optional<Variant> parse_variant(std::string_view name) {
  if (name == "acm") return Variant::acm;
  if (name == "acm-nointr") return Variant::acm_nointr;
  if (name == "acm-datafirst") return Variant::acm_datafirst;
  return std::nullopt;
}

Bytes device_descriptor(uint16_t vendor, uint16_t product) {
  USB_DEVICE_DESCRIPTOR d = kDevice;
  d.idVendor = vendor;
  d.idProduct = product;
  return serialize(d);
}

Bytes configuration_descriptor(Variant variant, Speed speed) {
  const SpeedEndpoints& endpoints = speed == Speed::high ? kHighSpeed : kFullSpeed;
  DescriptorWriter set(kConfiguration);
  switch (variant) {
    case Variant::acm:
      add_communications(set, endpoints, true);
      add_data(set, endpoints);
      break;
    case Variant::acm_nointr:
      add_communications(set, endpoints, false);
      add_data(set, endpoints);
      break;
    case Variant::acm_datafirst:
      add_data(set, endpoints);
      add_communications(set, endpoints, true);
      break;
  }
  return set.bytes();
}

}  // namespace emu::usb::cdc

namespace emu::usb {

// Each 256-byte block carries its offset's low byte plus a key hashed from
// the block number, so a dropped, doubled or reordered stretch shows up at
// its first byte.
namespace {
uint8_t block_key(uint64_t block) {
  uint64_t x = block + 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint8_t>(x ^ (x >> 31));
}
}  // namespace

uint8_t pattern_byte(uint64_t offset) { return static_cast<uint8_t>(offset + block_key(offset >> 8)); }

void fill_pattern(uint64_t offset, std::span<uint8_t> out) {
  std::size_t i = 0;
  while (i < out.size()) {
    const uint64_t block = (offset + i) >> 8;
    const uint8_t key = block_key(block);
    const std::size_t run = std::min<std::size_t>(out.size() - i, 256 - ((offset + i) & 0xFF));
    for (std::size_t k = 0; k < run; ++k) out[i + k] = static_cast<uint8_t>(offset + i + k + key);
    i += run;
  }
}

std::optional<std::size_t> check_pattern(uint64_t offset, std::span<const uint8_t> data) {
  std::size_t i = 0;
  while (i < data.size()) {
    const uint8_t key = block_key((offset + i) >> 8);
    const std::size_t run = std::min<std::size_t>(data.size() - i, 256 - ((offset + i) & 0xFF));
    for (std::size_t k = 0; k < run; ++k) {
      if (data[i + k] != static_cast<uint8_t>(offset + i + k + key)) return i + k;
    }
    i += run;
  }
  return std::nullopt;
}

}  // namespace emu::usb
