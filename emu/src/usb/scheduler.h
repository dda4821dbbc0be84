// Bus timing: the packet schedule of a timed device (full or high speed),
// the polling of its interrupt endpoints and when its transfers are reported
// done.  Pure arithmetic on emulator time; the bus keeps one Schedule per
// device under its lock.
#pragma once

#include <emu/usb/bus.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace emu::usb::detail {

struct Schedule {
  Speed speed = Speed::unlimited;
  bool zero_length_packets = true;
  CompletionTiming completion = CompletionTiming::end_of_frame;
  uint64_t next_slot = 0;  // the first bulk packet slot not yet given out
  // The bus thread's own lateness at its last report of a completion (at
  // most a frame), and when it made it: the submission that answers that
  // completion is counted from as much earlier, so that the client is
  // charged its own turnaround, not the time this process took to wake the
  // bus thread.  Used once.
  std::chrono::nanoseconds report_lateness{0};
  std::optional<std::chrono::nanoseconds> reported_at;
};

inline bool timed(const Schedule& s) { return s.speed != Speed::unlimited; }
inline bool reports_at_frame_end(const Schedule& s) {
  return timed(s) && s.completion == CompletionTiming::end_of_frame;
}

// When a bulk transfer may start: nothing when a slot is free now, else the
// time the first free slot begins.
std::optional<std::chrono::nanoseconds> bulk_start(const Schedule& s, std::chrono::nanoseconds now);
// Gives `packets` slots to a transfer that started at `now`; returns when
// it may be reported done (at once, zero, unless end_of_frame).
std::chrono::nanoseconds charge(Schedule& s, std::chrono::nanoseconds now, uint64_t packets);
// When a transfer outside the bulk slots (an interrupt poll) that moved at
// `now` may be reported done.
std::chrono::nanoseconds report_time(const Schedule& s, std::chrono::nanoseconds now);
// Notes that completions due at `due` were reported at `now`.
void reported(Schedule& s, std::chrono::nanoseconds due, std::chrono::nanoseconds now);
// The time a submission made at `now` counts from (see report_lateness);
// the next charge() takes the credit.
std::chrono::nanoseconds submission_time(const Schedule& s, std::chrono::nanoseconds now);
// Packets that carry `bytes` (a zero-length transfer is one packet).
uint64_t packet_count(uint64_t bytes, uint16_t max_packet);
// The next poll of an interrupt endpoint at or after `now`.
std::chrono::nanoseconds next_poll(Speed speed, uint8_t interval, std::chrono::nanoseconds now);

}  // namespace emu::usb::detail
