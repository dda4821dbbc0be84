// The small helpers every suite shares: a bounded wait for a condition that
// another thread makes true, and the conversions between records, text and
// the bytes a request or the wire carries.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <span>
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

}  // namespace vrmdm_test
