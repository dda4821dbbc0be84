// TCP for USB/IP: connecting, listening and a message stream whose every
// wait is bounded (but the wait for a peer's next message, which ends when
// the stream is shut down).
#pragma once

#include <emu/usb/usbip.h>

#include <chrono>
#include <mutex>
#include <string>

namespace emu::usb::usbip::net {

using std::chrono::milliseconds;

// A connected socket, or -1 with the reason.
int connect_to(const Endpoint& to, milliseconds timeout, std::string& error);
// A listening socket, or -1 with the reason; `port` is the port bound.
int listen_on(const Endpoint& at, uint16_t& port, std::string& error);
// An accepted connection; -1 once the listening socket is shut down.
int accept_from(int listener);

// The errors of Stream::next that callers tell apart.
inline constexpr const char* kClosed = "connection closed";
inline constexpr const char* kIdleTimedOut = "timed out waiting for the peer";

class Stream {
 public:
  explicit Stream(int fd) : fd_(fd) {}
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Reads until `decode` (span -> Decoded<T>) has a whole message or an
  // error.  The first byte may take `idle` (nothing: until shutdown), the
  // rest of the message at most `timeout`.  The message's bytes stay in the
  // stream until consume().  A closed connection, a time-out or a read
  // error is an error with the reason.
  template <class T, class Decode>
  Decoded<T> next(const Decode& decode, milliseconds timeout,
                  std::optional<milliseconds> idle = std::nullopt) {
    bool begun = !buffer_.empty();
    for (;;) {
      Decoded<T> d = decode(std::span<const uint8_t>(buffer_));
      if (d.result != Decoded<T>::Result::incomplete) return d;
      std::string error;
      const std::optional<milliseconds> wait = begun ? std::optional(timeout) : idle;
      const std::size_t want = d.size > buffer_.size() ? d.size - buffer_.size() : 4096;
      if (!fill(want, wait, error)) {
        Decoded<T> e;
        e.result = Decoded<T>::Result::error;
        e.error = !begun                   ? error
                  : error == kClosed       ? "connection cut mid-message"
                  : error == kIdleTimedOut ? "timed out mid-message"
                                           : error;
        return e;
      }
      begun = true;
    }
  }
  void consume(std::size_t n);
  // Sends all of `bytes` within `timeout`; false (and the stream shut
  // down) otherwise.  Safe from several threads.
  bool send(std::span<const uint8_t> bytes, milliseconds timeout);
  // Ends the connection both ways: a waiting next() returns.
  void shutdown();

 private:
  bool fill(std::size_t want, std::optional<milliseconds> wait, std::string& error);

  int fd_;
  Bytes buffer_;
  std::mutex send_mutex_;
};

}  // namespace emu::usb::usbip::net
