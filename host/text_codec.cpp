#include "text_codec.h"

namespace vrmdm {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

Bytes parse_quoted(std::string_view text, std::size_t& pos) {
  if (pos >= text.size() || text[pos] != '"') throw SyntaxError(pos, "expected a double-quoted string");
  const std::size_t start = pos;
  Bytes out;
  std::size_t i = pos + 1;
  while (true) {
    if (i >= text.size()) throw SyntaxError(start, "unterminated string");
    const char c = text[i];
    if (c == '"') break;
    if (c != '\\') {
      out.push_back(static_cast<uint8_t>(c));
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) throw SyntaxError(i, "unterminated string");
    const char e = text[i + 1];
    switch (e) {
      case 'r':
        out.push_back('\r');
        i += 2;
        break;
      case 'n':
        out.push_back('\n');
        i += 2;
        break;
      case '\\':
        out.push_back('\\');
        i += 2;
        break;
      case '"':
        out.push_back('"');
        i += 2;
        break;
      case 'x': {
        const int hi = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        const int lo = i + 3 < text.size() ? hex_value(text[i + 3]) : -1;
        if (hi < 0 || lo < 0) throw SyntaxError(i, "\\x needs two hex digits");
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
        i += 4;
        break;
      }
      default:
        throw SyntaxError(i, std::string("unknown escape \\") + e);
    }
  }
  pos = i + 1;
  return out;
}

std::string escape_bytes(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (uint8_t b : bytes) {
    switch (b) {
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      default:
        if (b >= 0x20 && b < 0x7F) {
          out += static_cast<char>(b);
        } else {
          out += "\\x";
          out += kHexDigits[b >> 4];
          out += kHexDigits[b & 15];
        }
    }
  }
  return out;
}

std::string to_hex(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 15];
  }
  return out;
}

Bytes parse_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) throw SyntaxError(0, "hex needs an even number of digits");
  Bytes out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = hex_value(hex[i]);
    const int lo = hex_value(hex[i + 1]);
    if (hi < 0) throw SyntaxError(i, "not a hex digit");
    if (lo < 0) throw SyntaxError(i + 1, "not a hex digit");
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return out;
}

uint32_t parse_u32(std::string_view text) {
  if (text.empty()) throw SyntaxError(0, "expected a number");
  uint64_t value = 0;
  std::size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  for (; i < text.size(); ++i) {
    const int d = hex_value(text[i]);
    if (d < 0 || static_cast<unsigned>(d) >= base) throw SyntaxError(i, "not a number: " + std::string(text));
    value = value * base + static_cast<unsigned>(d);
    if (value > 0xFFFFFFFFull) throw SyntaxError(0, "number too large: " + std::string(text));
  }
  return static_cast<uint32_t>(value);
}

}  // namespace vrmdm
