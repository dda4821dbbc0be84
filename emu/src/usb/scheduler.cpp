// Bus timing.  Bulk packets go in slots: a frame (1 ms at full speed, a
// 125 us microframe at high speed) holds as many as the bus can carry of
// maximum-size packets, 19 and 13, and every packet, short or zero-length,
// takes a whole slot.  Slot k begins at k * frame / slots_per_frame.  On a
// host that reports at the end of the frame a transfer takes the first slot
// that begins at or after its start; the kinder bus lets it have the slot
// in progress.
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

// The first slot a transfer starting at `now` may use.
uint64_t first_slot(const detail::Schedule& s, const Timing& t, nanoseconds now) {
  const uint64_t slot = slot_at(t, now);
  if (s.completion != CompletionTiming::end_of_frame || slot_begins(t, slot) >= now) return slot;
  return slot + 1;
}

// The end of the frame that holds slot `slot`.
nanoseconds frame_end_of_slot(const Timing& t, uint64_t slot) {
  return nanoseconds(static_cast<int64_t>((slot / t.slots + 1) * uint64_t(t.frame_ns)));
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

std::string_view completion_timing_name(CompletionTiming timing) {
  return timing == CompletionTiming::on_answer ? "on-answer" : "end-of-frame";
}

std::optional<CompletionTiming> parse_completion_timing(std::string_view name) {
  if (name == "end-of-frame") return CompletionTiming::end_of_frame;
  if (name == "on-answer") return CompletionTiming::on_answer;
  return std::nullopt;
}

uint64_t one_in_flight_ceiling(Speed speed, uint16_t max_packet, uint64_t transfer_bytes) {
  detail::Schedule s;
  s.speed = speed;
  s.completion = CompletionTiming::end_of_frame;
  if (!detail::timed(s) || transfer_bytes == 0) return 0;
  // Each transfer is submitted when the last one is reported, which is on
  // a frame boundary: the cycles repeat exactly.
  constexpr uint64_t kTransfers = 64;
  const uint64_t packets = detail::packet_count(transfer_bytes, max_packet);
  nanoseconds now{0};
  for (uint64_t i = 0; i < kTransfers; ++i) {
    if (auto start = detail::bulk_start(s, now)) now = *start;
    now = detail::charge(s, now, packets);
  }
  return static_cast<uint64_t>(u128(transfer_bytes) * kTransfers * 1'000'000'000 / uint64_t(now.count()));
}

namespace detail {

std::optional<nanoseconds> bulk_start(const Schedule& s, nanoseconds now) {
  const Timing t = timing(s.speed);
  if (t.frame_ns == 0 || first_slot(s, t, now) >= s.next_slot) return std::nullopt;
  return slot_begins(t, s.next_slot);
}

nanoseconds charge(Schedule& s, nanoseconds now, uint64_t packets) {
  const Timing t = timing(s.speed);
  s.reported_at.reset();
  if (t.frame_ns == 0) return nanoseconds(0);
  // Slots left unused while nothing was queued are gone.
  s.next_slot = std::max(s.next_slot, first_slot(s, t, now)) + packets;
  if (s.completion != CompletionTiming::end_of_frame) return nanoseconds(0);
  return frame_end_of_slot(t, s.next_slot - 1);
}

nanoseconds report_time(const Schedule& s, nanoseconds now) {
  const Timing t = timing(s.speed);
  if (t.frame_ns == 0 || s.completion != CompletionTiming::end_of_frame) return nanoseconds(0);
  return nanoseconds((std::max<int64_t>(now.count(), 0) / t.frame_ns + 1) * t.frame_ns);
}

void reported(Schedule& s, nanoseconds due, nanoseconds now) {
  const nanoseconds frame = frame_time(s.speed);
  s.report_lateness = std::clamp(now - due, nanoseconds(0), frame);
  s.reported_at = now;
}

nanoseconds submission_time(const Schedule& s, nanoseconds now) {
  if (!s.reported_at || now < *s.reported_at || now - *s.reported_at > frame_time(s.speed)) return now;
  return now - s.report_lateness;
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
