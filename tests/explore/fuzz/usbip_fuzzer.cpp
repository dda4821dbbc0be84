// libFuzzer target: the fuzzer's bytes as a USB/IP server's side of a
// connection, read by the client's parsers: the operation replies at the
// start, then the URB replies one after another, against a table of
// requests in flight that the first bytes choose.  A reply must stay
// within the bytes given and within what its request asked for; anything
// else aborts, so libFuzzer keeps the input.
#include <emu/usb/usbip.h>

#include <cstdlib>
#include <map>

namespace usbip = emu::usb::usbip;

namespace {

template <class T>
void check(const usbip::Decoded<T>& d, std::span<const uint8_t> bytes) {
  if (d.ok() && (d.size > bytes.size() || d.size < d.payload.size())) std::abort();
  if (d.ok() && !d.payload.empty() &&
      (d.payload.data() < bytes.data() || d.payload.data() + d.payload.size() > bytes.data() + bytes.size()))
    std::abort();
  if (d.result == usbip::Decoded<T>::Result::error && d.error.empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  check(usbip::decode_import_reply(bytes), bytes);
  check(usbip::decode_devlist_reply(bytes), bytes);
  check(usbip::decode_command(bytes, 0x10002), bytes);
  if (size < 4) return 0;
  // Requests in flight: sequence numbers 1..4, IN lengths from the first bytes.
  std::map<uint32_t, uint32_t> in_flight;
  for (uint32_t s = 1; s <= 4; ++s) in_flight[s] = data[s - 1] * 64u;
  const usbip::Outstanding outstanding = [&](uint32_t seqnum) -> std::optional<uint32_t> {
    auto it = in_flight.find(seqnum);
    if (it == in_flight.end()) return std::nullopt;
    return it->second;
  };
  bytes = bytes.subspan(4);
  for (;;) {
    const auto d = usbip::decode_reply(bytes, outstanding);
    check(d, bytes);
    if (!d.ok()) break;
    const uint32_t asked = in_flight.at(d.message.seqnum);
    if (d.payload.size() > asked) std::abort();
    in_flight.erase(d.message.seqnum);  // a second reply is an error
    bytes = bytes.subspan(d.size);
  }
  return 0;
}
