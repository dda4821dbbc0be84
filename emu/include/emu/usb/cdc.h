// Communications-class (CDC ACM) helpers for device models and tests: the
// class requests and notification codes, the line coding record, and the
// descriptor sets of the ACM variants the emulator's models present.
#pragma once

#include <emu/usb/bus.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace emu::usb {

namespace cdc {
constexpr uint8_t SEND_ENCAPSULATED_COMMAND = 0x00;
constexpr uint8_t GET_ENCAPSULATED_RESPONSE = 0x01;
constexpr uint8_t SET_LINE_CODING = 0x20;
constexpr uint8_t GET_LINE_CODING = 0x21;
constexpr uint8_t SET_CONTROL_LINE_STATE = 0x22;
constexpr uint8_t SEND_BREAK = 0x23;
constexpr uint8_t SERIAL_STATE = 0x20;         // notification code
constexpr uint16_t SERIAL_STATE_DCD = 0x0001;  // bRxCarrier
constexpr uint16_t SERIAL_STATE_DSR = 0x0002;  // bTxCarrier
constexpr uint16_t CONTROL_LINE_DTR = 0x0001;
constexpr uint16_t CONTROL_LINE_RTS = 0x0002;

// The 10-byte SERIAL_STATE notification: header (0xA1, 0x20, wValue 0,
// wIndex interface, wLength 2) and the 16-bit state bitmap.
std::array<uint8_t, 10> serial_state_notification(uint16_t state, uint16_t interface_number = 0);

struct LineCoding {
  uint32_t dte_rate = 9600;
  uint8_t char_format = 0;  // 0: 1 stop bit, 1: 1.5, 2: 2
  uint8_t parity = 0;       // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t data_bits = 8;
  std::array<uint8_t, 7> bytes() const;
  static LineCoding from(std::span<const uint8_t, 7> bytes);
  bool operator==(const LineCoding&) const = default;
};

enum class Variant { acm, acm_nointr, acm_datafirst };
std::optional<Variant> parse_variant(std::string_view name);  // "acm", "acm-nointr", "acm-datafirst"

// Endpoint addresses of the CDC descriptor sets below.
constexpr uint8_t NOTIFY_ENDPOINT = 0x81;   // interrupt IN, 16-byte packets
constexpr uint8_t BULK_IN_ENDPOINT = 0x82;  // 64-byte packets
constexpr uint8_t BULK_OUT_ENDPOINT = 0x02;
constexpr uint16_t VENDOR_ID = 0x1234;
constexpr uint16_t PRODUCT_ID = 0x5678;

// A communications interface 0 (with the notification endpoint unless
// acm_nointr) and a data interface 1 with bulk IN and OUT; acm_datafirst puts
// the data interface's descriptors first.
Bytes device_descriptor(uint16_t vendor = VENDOR_ID, uint16_t product = PRODUCT_ID);
// At high speed the bulk endpoints have 512-byte packets and the
// notification endpoint is polled every 16 ms (bInterval 8), at full speed
// (and unlimited) 64 bytes and 10 ms.
Bytes configuration_descriptor(Variant variant, Speed speed = Speed::full);
}  // namespace cdc

}  // namespace emu::usb
