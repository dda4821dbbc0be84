#include "recorder.h"

#include <atomic>
#include <ctime>

#include "nt_names.h"
#include "scenario_runner.h"

namespace vrmdm {

namespace {

constexpr std::size_t kReadTimeoutBytes = 12;  // ReadIntervalTimeout, ...Multiplier, ...Constant

std::string quoted(std::span<const uint8_t> data) { return "\"" + escape_bytes(data) + "\""; }

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return text;
}

}  // namespace

std::string exact_pattern(std::string_view text) {
  std::string pattern = "^";
  for (char c : text) {
    if (std::string_view("\\^$.*+?()[]{}|/").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  return pattern + "$";
}

// A request as the client holds it: the recorder learns of its completion
// when the client does (a wait that returns true, a look at its outcome).
class RecordingBackend::Request final : public PendingRequest {
 public:
  // `entry`: the place a write or control holds; none for a read, which is
  // placed when it completes.
  Request(RecordingBackend& owner, PendingPtr inner, std::optional<uint64_t> entry, uint32_t read_length)
      : owner_(owner), inner_(std::move(inner)), entry_(entry), read_length_(read_length) {}

  bool wait(std::chrono::milliseconds limit) override { return seen(inner_->wait(limit)); }
  bool completed() const override { return seen(inner_->completed()); }
  IoOutcome outcome() const override {
    seen(inner_->completed());
    return inner_->outcome();
  }
  bool cancel() override {
    // A read that the cancel ends shows by what it got; a write or control
    // keeps its place, and the cancel is noted where it happened.
    if (entry_ && !reported_.load()) owner_.cancelled(*entry_);
    return inner_->cancel();
  }

 private:
  bool seen(bool done) const {
    if (done && !reported_.exchange(true)) {
      const IoOutcome o = inner_->outcome();
      if (entry_) {
        owner_.finish(*entry_, o);
      } else {
        owner_.read_done(read_length_, o, Clock::now());
      }
    }
    return done;
  }

  RecordingBackend& owner_;
  const PendingPtr inner_;
  const std::optional<uint64_t> entry_;
  const uint32_t read_length_;
  mutable std::atomic<bool> reported_{false};
};

RecordingBackend::RecordingBackend(PortBackend& inner, std::ostream& out, const std::string& origin)
    : inner_(inner), out_(out) {
  out_ << "# Recorded by " << origin << " on " << utc_now() << "; `vrmdm script FILE` replays it.\n"
       << "# Each request is followed by the result it had.  A read is written with the\n"
       << "# number of bytes it got and replays with no read time-out (SET_TIMEOUTS below),\n"
       << "# so it gets the same bytes however the timing falls; reads that got nothing\n"
       << "# are left out, and pauses before requests are kept as sleeps.\n";
  out_.flush();
}

RecordingBackend::~RecordingBackend() {
  std::lock_guard lock(mutex_);
  flush_locked();
}

uint64_t RecordingBackend::begin(std::string text, Op op, bool sends) {
  std::lock_guard lock(mutex_);
  Entry e;
  e.id = next_id_++;
  e.text = std::move(text);
  e.op = op;
  e.sends = sends;
  e.at = Clock::now();
  entries_.push_back(std::move(e));
  return entries_.back().id;
}

void RecordingBackend::finish(uint64_t id, const IoOutcome& outcome) {
  std::lock_guard lock(mutex_);
  for (Entry& e : entries_) {
    if (e.id != id) continue;
    e.outcome = outcome;
    e.request.reset();
    break;
  }
  flush_locked();
}

void RecordingBackend::add_done(std::string text, Op op, const IoOutcome& outcome, bool sends) {
  const uint64_t id = begin(std::move(text), op, sends);
  finish(id, outcome);
}

void RecordingBackend::add_command(std::string text) {
  std::lock_guard lock(mutex_);
  Entry e;
  e.id = next_id_++;
  e.text = std::move(text);
  e.sends = !e.text.starts_with("#");
  e.has_result = false;
  e.at = Clock::now();
  entries_.push_back(std::move(e));
  flush_locked();
}

void RecordingBackend::note(const std::string& comment) { add_command("# " + comment); }

void RecordingBackend::cancelled(uint64_t id) {
  std::string text;
  {
    std::lock_guard lock(mutex_);
    for (const Entry& e : entries_)
      if (e.id == id) text = e.text;
  }
  if (!text.empty()) note("the client cancels: " + text);
}

void RecordingBackend::read_done(uint32_t length, const IoOutcome& outcome, Clock::time_point at) {
  if (outcome.output.empty()) {
    // An idle port's time-out or a read cancelled at the end: nothing to replay.
    if (outcome.status == kStatusSuccess || outcome.status == kStatusTimeout ||
        outcome.status == kStatusCancelled)
      return;
    add_done("read " + std::to_string(length), Op::read, outcome, false);
    return;
  }
  // However it ended back then, a read that waits for exactly these bytes
  // ends with them and success.
  const auto n = static_cast<uint32_t>(outcome.output.size());
  std::lock_guard lock(mutex_);
  Entry e;
  e.id = next_id_++;
  e.text = "read " + std::to_string(n);
  e.op = Op::read;
  e.outcome = IoOutcome{kStatusSuccess, n, outcome.output};
  e.at = at;
  entries_.push_back(std::move(e));
  flush_locked();
}

void RecordingBackend::flush_locked() {
  while (!entries_.empty()) {
    Entry& e = entries_.front();
    if (e.has_result && !e.outcome) break;  // what follows waits for its result
    if (e.text.starts_with("#")) {
      out_ << e.text << '\n';
    } else {
      // The pause since the last request that sent, in full: the reads in
      // between wait in the replay too, so the modem sees at least the
      // silence it saw back then.
      if (e.sends && last_send_at_ && e.at - *last_send_at_ >= kMinPause) {
        const auto pause =
            std::min(std::chrono::duration_cast<std::chrono::milliseconds>(e.at - *last_send_at_), kMaxPause);
        out_ << "sleep " << pause.count() << '\n';
      }
      out_ << e.text << '\n';
      if (e.has_result) out_ << "expect " << exact_pattern(format_result(e.text, e.op, *e.outcome)) << '\n';
      if (e.sends) last_send_at_ = e.at;
    }
    entries_.pop_front();
  }
  out_.flush();
}

PendingPtr RecordingBackend::track(uint64_t id, PendingPtr request) {
  {
    std::lock_guard lock(mutex_);
    for (Entry& e : entries_) {
      if (e.id == id) e.request = request;
    }
  }
  return std::make_shared<Request>(*this, std::move(request), id, 0);
}

uint32_t RecordingBackend::plug(const PlugOptions& options) {
  return synchronous("plug port=" + options.port + " modem=" + options.modem, Op::plug,
                     [&] { return inner_.plug(options); });
}

uint32_t RecordingBackend::open() {
  return synchronous("open", Op::open, [&] {
    const uint32_t status = inner_.open();
    std::lock_guard lock(mutex_);
    if (status == kStatusSuccess) ++handles_;
    return status;
  });
}

uint32_t RecordingBackend::close() {
  return synchronous("close", Op::close, [&] {
    const uint32_t status = inner_.close();
    std::lock_guard lock(mutex_);
    if (handles_ > 0) --handles_;
    return status;
  });
}

PendingPtr RecordingBackend::read(uint32_t length) {
  return std::make_shared<Request>(*this, inner_.read(length), std::nullopt, length);
}

PendingPtr RecordingBackend::write(std::span<const uint8_t> data) {
  const uint64_t id = begin("write " + quoted(data), Op::write, true);
  return track(id, inner_.write(data));
}

PendingPtr RecordingBackend::ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t output_length) {
  Bytes written(input.begin(), input.end());
  if (code == kIoctlSetTimeouts && written.size() >= kReadTimeoutBytes) {
    // Reads replay waiting for the bytes they got (see recorder.h).
    add_command("# the client's time-outs: in=" + to_hex(input) + "; reads replay without them");
    std::fill_n(written.begin(), kReadTimeoutBytes, 0);
  }
  std::string text = "ioctl " + ioctl_name(code);
  if (!written.empty()) text += " in=" + to_hex(written);
  if (output_length != ioctl_default_output(code)) text += " out=" + std::to_string(output_length);
  const uint64_t id = begin(std::move(text), Op::ioctl, true);
  return track(id, inner_.ioctl(code, input, output_length));
}

void RecordingBackend::modem_send(std::span<const uint8_t> data) {
  add_command("modem send " + quoted(data));
  inner_.modem_send(data);
}

void RecordingBackend::modem_lines(std::optional<bool> dcd, std::optional<bool> dsr) {
  std::string text = "modem lines";
  if (dcd) text += std::string(" dcd=") + (*dcd ? "1" : "0");
  if (dsr) text += std::string(" dsr=") + (*dsr ? "1" : "0");
  add_command(std::move(text));
  inner_.modem_lines(dcd, dsr);
}

void RecordingBackend::modem_unplug() {
  add_command("modem unplug");
  inner_.modem_unplug();
}

uint32_t RecordingBackend::surprise_remove() {
  return synchronous("device surprise-remove", Op::surprise_remove, [&] { return inner_.surprise_remove(); });
}

uint32_t RecordingBackend::remove() {
  return synchronous("device remove", Op::remove, [&] { return inner_.remove(); });
}

uint32_t RecordingBackend::power_device(int d_state) {
  return synchronous("power device D" + std::to_string(d_state), Op::power_device,
                     [&] { return inner_.power_device(d_state); });
}

uint32_t RecordingBackend::power_system(int s_state) {
  return synchronous("power system S" + std::to_string(s_state), Op::power_system,
                     [&] { return inner_.power_system(s_state); });
}

void RecordingBackend::freeze_clock() {
  add_command("clock freeze");
  inner_.freeze_clock();
}

void RecordingBackend::run_clock() {
  add_command("clock run");
  inner_.run_clock();
}

void RecordingBackend::sleep(std::chrono::milliseconds span) {
  // The pause shows as the gap before the next request.
  inner_.sleep(span);
}

void RecordingBackend::shutdown() {
  int open;
  {
    std::lock_guard lock(mutex_);
    open = handles_;
  }
  while (open-- > 0) close();
  inner_.shutdown();
  std::lock_guard lock(mutex_);
  // Whatever the client never waited for ended with the teardown.
  for (Entry& e : entries_) {
    if (e.outcome || !e.request) continue;
    e.outcome = e.request->completed() ? e.request->outcome() : IoOutcome{kStatusPending, 0, {}};
    e.request.reset();
  }
  flush_locked();
}

}  // namespace vrmdm
