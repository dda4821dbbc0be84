// The serial line settings a Linux client chooses with termios, in the form
// the port's SET_BAUD_RATE and SET_LINE_CONTROL requests carry them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vrmdm {

struct LineSettings {
  uint32_t baud = 9600;
  uint8_t stop_bits = 0;    // 0: 1 stop bit, 1: 1.5, 2: 2
  uint8_t parity = 0;       // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t word_length = 8;  // data bits

  bool operator==(const LineSettings&) const = default;
  // The request payloads: a little-endian ULONG, and StopBits, Parity, WordLength.
  std::array<uint8_t, 4> baud_payload() const;
  std::array<uint8_t, 3> line_control_payload() const;
  std::string describe() const;  // "115200 8N1"
};

// Settings from a termios c_cflag and the output speed in bits per second.
LineSettings line_settings_from(uint32_t cflag, uint32_t speed);

// The output speed in bits per second of the terminal `fd` (for a pty
// master, of its slave), custom rates included; nothing when it cannot be read.
std::optional<uint32_t> terminal_speed(int fd);
// Reads c_cflag and the speed of `fd` together.
std::optional<LineSettings> terminal_line_settings(int fd);

// The purge mask for a flush seen in packet mode: the client's input
// (data from the modem) and output (data towards it).
uint32_t purge_mask_for_flush(bool input, bool output);

}  // namespace vrmdm
