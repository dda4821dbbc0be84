// Communications-class descriptor sets and records shared by the models.
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>

namespace emu::usb::cdc {

namespace {

void append(Bytes& out, std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }

void append_comm_interface(Bytes& out, bool with_notify, Speed speed) {
  // Interface 0: communications class, abstract control model, AT commands.
  append(out, {9, 0x04, 0, 0, static_cast<uint8_t>(with_notify ? 1 : 0), 0x02, 0x02, 0x01, 0});
  append(out, {5, 0x24, 0x00, 0x10, 0x01});  // header, CDC 1.10
  append(out, {5, 0x24, 0x01, 0x00, 0x01});  // call management: data interface 1
  append(out, {4, 0x24, 0x02, 0x02});        // ACM: line coding, line state, serial state
  append(out, {5, 0x24, 0x06, 0x00, 0x01});  // union: master 0, slave 1
  // 10 frames at full speed; 2^(8-1) microframes, 16 ms, at high speed.
  const uint8_t interval = speed == Speed::high ? 8 : 10;
  if (with_notify) append(out, {7, 0x05, NOTIFY_ENDPOINT, 0x03, 16, 0, interval});
}

void append_data_interface(Bytes& out, Speed speed) {
  // High-speed bulk endpoints must have 512-byte packets.
  const uint8_t lo = speed == Speed::high ? 0x00 : 64;
  const uint8_t hi = speed == Speed::high ? 0x02 : 0;
  append(out, {9, 0x04, 1, 0, 2, 0x0A, 0x00, 0x00, 0});
  append(out, {7, 0x05, BULK_IN_ENDPOINT, 0x02, lo, hi, 0});
  append(out, {7, 0x05, BULK_OUT_ENDPOINT, 0x02, lo, hi, 0});
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

std::optional<Variant> parse_variant(std::string_view name) {
  if (name == "acm") return Variant::acm;
  if (name == "acm-nointr") return Variant::acm_nointr;
  if (name == "acm-datafirst") return Variant::acm_datafirst;
  return std::nullopt;
}

Bytes device_descriptor(uint16_t vendor, uint16_t product) {
  return {18,
          0x01,
          0x00,
          0x02,  // USB 2.0
          0x02,  // communications device class
          0x00,
          0x00,
          64,
          static_cast<uint8_t>(vendor),
          static_cast<uint8_t>(vendor >> 8),
          static_cast<uint8_t>(product),
          static_cast<uint8_t>(product >> 8),
          0x00,
          0x01,  // bcdDevice 1.00
          1,
          2,
          3,
          1};
}

Bytes configuration_descriptor(Variant variant, Speed speed) {
  Bytes out;
  // Bus powered, no remote wake-up, 100 mA.
  append(out, {9, 0x02, 0, 0, 2, 1, 0, 0x80, 50});
  switch (variant) {
    case Variant::acm:
      append_comm_interface(out, true, speed);
      append_data_interface(out, speed);
      break;
    case Variant::acm_nointr:
      append_comm_interface(out, false, speed);
      append_data_interface(out, speed);
      break;
    case Variant::acm_datafirst:
      append_data_interface(out, speed);
      append_comm_interface(out, true, speed);
      break;
  }
  out[2] = static_cast<uint8_t>(out.size());
  out[3] = static_cast<uint8_t>(out.size() >> 8);
  return out;
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
