// Bus timing: the packet schedule of a timed device (full or high speed) and
// the polling of its interrupt endpoints.  Pure arithmetic on emulator time;
// the bus keeps one Schedule per device under its lock.
#pragma once

#include <emu/usb/bus.h>

#include <chrono>
#include <cstdint>
#include <optional>

namespace emu::usb::detail {

struct Schedule {
  Speed speed = Speed::unlimited;
  bool zero_length_packets = true;
  uint64_t next_slot = 0;  // the first bulk packet slot not yet given out
};

inline bool timed(const Schedule& s) { return s.speed != Speed::unlimited; }

// When a bulk transfer may start: nothing when a slot is free now, else the
// time the first free slot begins.
std::optional<std::chrono::nanoseconds> bulk_start(const Schedule& s, std::chrono::nanoseconds now);
// Gives `packets` slots to a transfer that started at `now`.
void charge(Schedule& s, std::chrono::nanoseconds now, uint64_t packets);
// Packets that carry `bytes` (a zero-length transfer is one packet).
uint64_t packet_count(uint64_t bytes, uint16_t max_packet);
// The next poll of an interrupt endpoint at or after `now`.
std::chrono::nanoseconds next_poll(Speed speed, uint8_t interval, std::chrono::nanoseconds now);

}  // namespace emu::usb::detail
