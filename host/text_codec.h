// Byte strings as the scenario language and its result lines write them:
// double-quoted text with \r \n \\ \" \xNN escapes, and plain lower-case hex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vrmdm {

using Bytes = std::vector<uint8_t>;

// A malformed literal or number; `column` is 0-based within the text handed in.
class SyntaxError : public std::runtime_error {
 public:
  SyntaxError(std::size_t column, const std::string& message)
      : std::runtime_error(message), column_(column) {}
  std::size_t column() const { return column_; }

 private:
  std::size_t column_;
};

// Parses the quoted literal that starts at text[pos] (which must be '"') and
// leaves pos just past the closing quote.
Bytes parse_quoted(std::string_view text, std::size_t& pos);

// The body of a quoted literal for `bytes` (no surrounding quotes): printable
// ASCII as is, CR and LF as \r and \n, the quote and backslash escaped, every
// other byte as \xNN.  parse_quoted of the quoted result gives `bytes` back.
std::string escape_bytes(std::span<const uint8_t> bytes);

// Lower-case hex, two digits a byte, no separators.
std::string to_hex(std::span<const uint8_t> bytes);
// Hex digits (either case), an even number of them; "" is no bytes.
Bytes parse_hex(std::string_view hex);

// A non-negative decimal or 0x-prefixed hex number that fits in 32 bits.
uint32_t parse_u32(std::string_view text);

}  // namespace vrmdm
