// A client's session on the port, written down as a scenario that
// `vrmdm script` replays: each request followed by an `expect` line holding
// its result, modem-side events as comments.
//
// How the replay stays deterministic.  What a read gets depends on timing
// (when it was issued, when its time-out ran out); the recording fixes it:
//  - a read is written with the number of bytes it got ("read 9"), and the
//    client's SET_TIMEOUTS is written with the read time-outs cleared, so in
//    the replay each read waits for exactly the bytes it got back then and
//    the byte stream is cut up the same way, however fast the replay runs;
//  - reads that got nothing (time-outs of an idle port, a read cancelled at
//    the end) carry no result and are left out;
//  - a request that sends (write, device control) stands where it was
//    issued, a read where it completed, so a read never waits in the replay
//    for the answer to a write written after it;
//  - a pause of kMinPause or more between two requests that send is kept
//    whole as a `sleep` before the second (reads in between only add to
//    it), so the modem's timing rules (the "+++" escape's guard time) see at
//    least the silence they saw back then; pauses are cut to kMaxPause.
#pragma once

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>

#include "port_backend.h"
#include "scenario.h"

namespace vrmdm {

class RecordingBackend final : public PortBackend {
 public:
  static constexpr std::chrono::milliseconds kMinPause{100};
  static constexpr std::chrono::milliseconds kMaxPause{6000};

  // Writes to `out` (flushed line by line, so a run cut short keeps what was
  // done); `origin` goes into the header comment.
  RecordingBackend(PortBackend& inner, std::ostream& out, const std::string& origin);
  ~RecordingBackend() override;
  RecordingBackend(const RecordingBackend&) = delete;
  RecordingBackend& operator=(const RecordingBackend&) = delete;

  // A comment, in its place among the requests (a modem-side event).
  // Thread-safe; never calls the backend, so it may run inside a bus watcher.
  void note(const std::string& comment);

  uint32_t plug(const PlugOptions& options) override;
  uint32_t open() override;
  uint32_t close() override;
  PendingPtr read(uint32_t length) override;
  PendingPtr write(std::span<const uint8_t> data) override;
  PendingPtr ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t output_length) override;
  void modem_send(std::span<const uint8_t> data) override;
  void modem_lines(std::optional<bool> dcd, std::optional<bool> dsr) override;
  void modem_unplug() override;
  std::optional<std::string> modem_line_coding() const override { return inner_.modem_line_coding(); }
  uint32_t surprise_remove() override;
  uint32_t remove() override;
  uint32_t power_device(int d_state) override;
  uint32_t power_system(int s_state) override;
  void freeze_clock() override;
  void run_clock() override;
  void sleep(std::chrono::milliseconds span) override;
  // Closes a handle still open (written as the client's close), then shuts
  // the backend down and writes what is left.
  void shutdown() override;
  std::vector<std::string> findings() const override { return inner_.findings(); }

 private:
  class Request;
  using Clock = std::chrono::steady_clock;
  struct Entry {
    uint64_t id = 0;
    std::string text;  // a command, or a comment line starting with '#'
    Op op = Op::open;
    bool sends = false;                // a pause before it is kept
    std::optional<IoOutcome> outcome;  // known result; none yet: the entry holds the output back
    bool has_result = true;            // false: a command with no result line (modem, clock)
    Clock::time_point at;
    PendingPtr request;  // a write or control still running
  };

  uint64_t begin(std::string text, Op op, bool sends);
  void finish(uint64_t id, const IoOutcome& outcome);
  void add_done(std::string text, Op op, const IoOutcome& outcome, bool sends);
  void add_command(std::string text);
  void cancelled(uint64_t id);  // a comment naming the request the client cancels
  void read_done(uint32_t length, const IoOutcome& outcome, Clock::time_point at);
  void flush_locked();  // writes the entries whose results are known, in order
  // Gives the entry `id` the request still running for it; returns the
  // client's handle on it.
  PendingPtr track(uint64_t id, PendingPtr request);
  // A request answered by a status alone (plug, open, device, power...).
  template <class Call>
  uint32_t synchronous(std::string text, Op op, Call call) {
    const uint64_t id = begin(std::move(text), op, true);
    const uint32_t status = call();
    finish(id, {status, 0, {}});
    return status;
  }

  PortBackend& inner_;
  std::ostream& out_;
  std::mutex mutex_;  // guards everything below; never held while calling inner_
  std::deque<Entry> entries_;
  uint64_t next_id_ = 1;
  std::optional<Clock::time_point> last_send_at_;
  int handles_ = 0;
};

// The ECMAScript pattern that matches `text` exactly, anchored.
std::string exact_pattern(std::string_view text);

}  // namespace vrmdm
