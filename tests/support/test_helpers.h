// The small helpers every suite shares: a bounded wait for a condition that
// another thread makes true, and the conversions between records, text and
// the bytes a request or the wire carries.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

namespace vrmdm_test {

// Polls `done` in real time until it holds; false only when it still does
// not after `limit`.  The limit guards against a hang, not a slow machine:
// keep it generous, and make the clock or an event, not this, decide what a
// test checks.
template <class Pred>
bool WaitUntil(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return done();
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  return true;
}

// A record's bytes, as a request's buffer carries it.
template <class T>
requires(std::is_trivially_copyable_v<T> && !std::is_array_v<T> &&
         !std::is_pointer_v<T>) std::vector<uint8_t> AsBytes(const T& record) {
  std::vector<uint8_t> bytes(sizeof(T));
  std::memcpy(bytes.data(), &record, sizeof(T));
  return bytes;
}

// Text as the bytes on the wire.
inline std::vector<uint8_t> AsBytes(std::string_view text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

// Bytes from the wire (or a request's output) as text, to compare and print.
inline std::string AsText(std::span<const uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

// The record at the start of `bytes`; a shorter buffer fails the test (the
// missing bytes read as zero).
template <class T>
T FromBytes(std::span<const uint8_t> bytes) {
  T record{};
  EXPECT_GE(bytes.size(), sizeof(T)) << "too short for the record";
  std::memcpy(&record, bytes.data(), std::min(bytes.size(), sizeof(T)));
  return record;
}

// Text as its lines, without their ends.
inline std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

// A table a test reads (data, not code): one row per line with its number.
// A row's words are bare text or "quoted strings" with the escapes \r \n
// \b \" \\ and \xHH; `#` outside a string starts a comment.  A missing file
// or a malformed row fails the test.
struct TableRow {
  int line;
  std::vector<std::string> words;
};
inline std::vector<TableRow> ReadTable(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in.is_open()) << path;
  std::vector<TableRow> rows;
  int number = 0;
  for (std::string text; std::getline(in, text);) {
    TableRow row{++number, {}};
    for (std::size_t i = 0; i < text.size() && text[i] != '#';) {
      if (text[i] == ' ') {
        ++i;
      } else if (text[i] != '"') {
        const std::size_t end = std::min(text.find(' ', i), text.size());
        row.words.push_back(text.substr(i, end - i));
        i = end;
      } else {
        std::string word;
        for (++i; i < text.size() && text[i] != '"'; ++i) {
          if (text[i] != '\\' || ++i == text.size()) {
            word += text[i];
          } else if (text[i] == 'x' && i + 2 < text.size()) {
            word += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
          } else {
            const std::string_view from = "rnb", to = "\r\n\b";
            const auto k = from.find(text[i]);
            word += k == std::string_view::npos ? text[i] : to[k];
          }
        }
        EXPECT_LT(i, text.size()) << path << ":" << number << ": unterminated string";
        row.words.push_back(word);
        ++i;
      }
    }
    if (!row.words.empty()) rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace vrmdm_test
