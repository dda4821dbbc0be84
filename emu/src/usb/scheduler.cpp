// Bus timing.  Bulk packets go in slots: a frame (1 ms at full speed, a
// 125 us microframe at high speed) holds as many as the bus can carry of
// maximum-size packets, 19 and 13, and every packet, short or zero-length,
// takes a whole slot.  Slot k begins at k * frame / slots_per_frame.
#include "usb/scheduler.h"

#include <algorithm>

namespace emu::usb {

namespace {

using std::chrono::nanoseconds;

struct Timing {
  int64_t frame_ns;
  uint64_t slots;  // bulk packets a frame
};

Timing timing(Speed speed) {
  switch (speed) {
    case Speed::full:
      return {1'000'000, 19};
    case Speed::high:
      return {125'000, 13};
    case Speed::unlimited:
      break;
  }
  return {0, 0};
}

using u128 = unsigned __int128;

// The slot in progress at `now` (slots begin at 0 ns).
uint64_t slot_at(const Timing& t, nanoseconds now) {
  if (now.count() <= 0) return 0;
  return static_cast<uint64_t>(u128(now.count()) * t.slots / uint64_t(t.frame_ns));
}

nanoseconds slot_begins(const Timing& t, uint64_t slot) {
  return nanoseconds(static_cast<int64_t>((u128(slot) * uint64_t(t.frame_ns) + t.slots - 1) / t.slots));
}

}  // namespace

std::string_view speed_name(Speed speed) {
  switch (speed) {
    case Speed::full:
      return "full";
    case Speed::high:
      return "high";
    case Speed::unlimited:
      break;
  }
  return "unlimited";
}

std::optional<Speed> parse_speed(std::string_view name) {
  if (name == "full") return Speed::full;
  if (name == "high") return Speed::high;
  if (name == "unlimited") return Speed::unlimited;
  return std::nullopt;
}

uint64_t bulk_ceiling(Speed speed, uint16_t max_packet) {
  const Timing t = timing(speed);
  if (t.frame_ns == 0) return 0;
  return t.slots * max_packet * uint64_t(1'000'000'000 / t.frame_ns);
}

nanoseconds frame_time(Speed speed) { return nanoseconds(timing(speed).frame_ns); }

namespace detail {

std::optional<nanoseconds> bulk_start(const Schedule& s, nanoseconds now) {
  const Timing t = timing(s.speed);
  if (t.frame_ns == 0 || slot_at(t, now) >= s.next_slot) return std::nullopt;
  return slot_begins(t, s.next_slot);
}

void charge(Schedule& s, nanoseconds now, uint64_t packets) {
  const Timing t = timing(s.speed);
  if (t.frame_ns == 0) return;
  // Slots left unused while nothing was queued are gone.
  s.next_slot = std::max(s.next_slot, slot_at(t, now)) + packets;
}

uint64_t packet_count(uint64_t bytes, uint16_t max_packet) {
  if (max_packet == 0) max_packet = 64;
  return bytes == 0 ? 1 : (bytes + max_packet - 1) / max_packet;
}

nanoseconds next_poll(Speed speed, uint8_t interval, nanoseconds now) {
  int64_t period = 0;
  if (speed == Speed::full) {
    period = int64_t(std::max<uint8_t>(interval, 1)) * 1'000'000;
  } else if (speed == Speed::high) {
    const int exponent = std::clamp<int>(interval, 1, 16) - 1;
    period = (int64_t(1) << exponent) * 125'000;
  } else {
    return now;
  }
  const int64_t n = now.count();
  return nanoseconds(n <= 0 ? 0 : (n + period - 1) / period * period);
}

}  // namespace detail
}  // namespace emu::usb
