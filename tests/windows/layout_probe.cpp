// The records and constants that cross the driver-kernel boundary, as the
// driver sees them through platform/platform.h.  Compiled, never run, by the
// host compiler against the emulator and by the mingw-w64 cross compilers
// against their DDK headers: every entry of layout_probe.list becomes a
// constant record in the object's .probe section, which scripts/layout_probe.py
// extracts and compares.  A difference means the shipped image and the tested
// driver disagree.
#include "platform/platform.h"

#include <stddef.h>

namespace {

struct ProbeEntry {
  char name[120];
  unsigned long long value;
};
static_assert(sizeof(ProbeEntry) == 128, "the extractor reads 128-byte records");

// The bit number of a bit-field member, found by setting one bit of the
// record's bytes at a time (offsetof cannot name a bit-field).
template <class T>
struct Bytes {
  unsigned char b[sizeof(T)];
};
template <class T, class Get>
constexpr long long first_bit(Get get) {
  for (unsigned i = 0; i < sizeof(T) * 8; ++i) {
    Bytes<T> bytes{};
    bytes.b[i / 8] = (unsigned char)(1u << (i % 8));
    if (get(__builtin_bit_cast(T, bytes))) return (long long)i;
  }
  return -1;
}

#define PROBE_CAT2(a, b) a##b
#define PROBE_CAT(a, b) PROBE_CAT2(a, b)
#define PROBE(text, v)                                                                             \
  __attribute__((section(".probe"), used)) constexpr ProbeEntry PROBE_CAT(probe_, __COUNTER__) = { \
      text, (unsigned long long)(v)}

#define SIZE(T) PROBE("size " #T, sizeof(T))
#define OFF(T, m) PROBE("offset " #T "." #m, offsetof(T, m))
#define BIT(T, m) PROBE("bit " #T "." #m, (first_bit<T>([](const T& t) { return t.m != 0; })))
// Values are widened with their own sign, so a signed/unsigned mismatch of a
// constant's type shows as well as a different number.
#define VAL(c) PROBE("value " #c, (long long)(c))

// One probe per entry of layout_probe.list, written by scripts/layout_probe.py.
#include "layout_probe_entries.inc"

}  // namespace
