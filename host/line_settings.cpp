#include "line_settings.h"

#include <termios.h>

namespace vrmdm {

namespace {
constexpr uint32_t kPurgeTxAbort = 0x1;
constexpr uint32_t kPurgeRxAbort = 0x2;
constexpr uint32_t kPurgeTxClear = 0x4;
constexpr uint32_t kPurgeRxClear = 0x8;
}  // namespace

std::array<uint8_t, 4> LineSettings::baud_payload() const {
  return {static_cast<uint8_t>(baud), static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud >> 16),
          static_cast<uint8_t>(baud >> 24)};
}

std::array<uint8_t, 3> LineSettings::line_control_payload() const { return {stop_bits, parity, word_length}; }

std::string LineSettings::describe() const {
  static constexpr char kParity[] = {'N', 'O', 'E', 'M', 'S'};
  const char* stops = stop_bits == 0 ? "1" : stop_bits == 1 ? "1.5" : "2";
  return std::to_string(baud) + " " + std::to_string(word_length) + (parity < 5 ? kParity[parity] : '?') +
         stops;
}

LineSettings line_settings_from(uint32_t cflag, uint32_t speed) {
  LineSettings s;
  s.baud = speed;
  switch (cflag & CSIZE) {
    case CS5:
      s.word_length = 5;
      break;
    case CS6:
      s.word_length = 6;
      break;
    case CS7:
      s.word_length = 7;
      break;
    default:
      s.word_length = 8;
  }
  // Two stop bits with five data bits are one and a half on a UART.
  if (cflag & CSTOPB) s.stop_bits = s.word_length == 5 ? 1 : 2;
  if (cflag & PARENB) {
    if (cflag & CMSPAR) {
      s.parity = (cflag & PARODD) ? 3 : 4;
    } else {
      s.parity = (cflag & PARODD) ? 1 : 2;
    }
  }
  return s;
}

std::optional<LineSettings> terminal_line_settings(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return std::nullopt;
  auto speed = terminal_speed(fd);
  if (!speed) return std::nullopt;
  return line_settings_from(static_cast<uint32_t>(t.c_cflag), *speed);
}

uint32_t purge_mask_for_flush(bool input, bool output) {
  uint32_t mask = 0;
  if (input) mask |= kPurgeRxAbort | kPurgeRxClear;
  if (output) mask |= kPurgeTxAbort | kPurgeTxClear;
  return mask;
}

}  // namespace vrmdm
