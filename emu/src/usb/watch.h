// The bus's side of emu::usb::watch(): what the bus keeps of a URB so that its
// completion can be reported, and the two reporting calls.
#pragma once

#include <emu/usb/bus.h>

#include <cstdint>
#include <optional>

namespace emu::usb::detail {

// A URB as watchers are told of it.  urb == nullptr: not reported (nobody
// watched when it was submitted, or it moves nothing on the bus).
struct WatchedUrb {
  const void* urb = nullptr;
  uint64_t device = 0;
  uint8_t endpoint = 0;
  uint8_t transfer_type = 0;
  uint8_t interval = 0;
  bool in = false;
  bool short_ok = true;
  const uint8_t* buffer = nullptr;
};

// Whether anyone watches (a relaxed read: a watcher added meanwhile sees the
// next URB).
bool watched();
// Reports a submission; OUT data is the first `length` bytes of the buffer.
void report_submit(const WatchedUrb& urb, const std::optional<SetupPacket>& setup, uint32_t length);
// Reports a completion; IN data is the first `length` bytes of the buffer.
void report_complete(const WatchedUrb& urb, USBD_STATUS usbd, NTSTATUS status, uint32_t length);

}  // namespace emu::usb::detail
