// A port backend in memory: requests complete when the test says so, and
// everything the front ends send is recorded.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "port_backend.h"

namespace vrmdm::testing {

// A copy of `member`, taken under `mutex`.
template <class T>
T copy_locked(std::mutex& mutex, const T& member) {
  std::lock_guard lock(mutex);
  return member;
}

class FakeRequest final : public PendingRequest {
 public:
  bool wait(std::chrono::milliseconds limit) override {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return done_; });
  }
  bool completed() const override { return copy_locked(mutex_, done_); }
  IoOutcome outcome() const override { return copy_locked(mutex_, outcome_); }
  bool cancel() override { return complete({0xC0000120, 0, {}}); }  // STATUS_CANCELLED
  // Completes the request; false if it had already completed (a second
  // completion is a fault the tests look for).
  bool complete(IoOutcome outcome) {
    std::lock_guard lock(mutex_);
    if (done_) return false;
    done_ = true;
    outcome_ = std::move(outcome);
    cv_.notify_all();
    return true;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  IoOutcome outcome_;
};

struct IoctlCall {
  uint32_t code;
  Bytes input;
  uint32_t output_length;
};

class FakeBackend final : public PortBackend {
 public:
  // What ioctl answers: by default success with `output_length` zero bytes.
  std::function<IoOutcome(const IoctlCall&)> ioctl_answer;
  uint32_t open_status = 0;
  std::vector<std::string> fake_findings;
  // Writes pend until the test completes them (pending_writes()) when true.
  bool hold_writes = false;

  // Data the next read gets; completes a pending read at once.
  void to_host(std::string_view bytes);
  // Completes pending reads with a failure status (and makes later reads fail).
  void fail_reads(uint32_t status);

  std::vector<IoctlCall> ioctls() const { return copy_locked(mutex_, ioctls_); }
  Bytes written() const { return copy_locked(mutex_, written_); }
  std::vector<std::string> calls() const { return copy_locked(mutex_, calls_); }  // lifecycle calls, in order
  int reads_issued() const { return copy_locked(mutex_, reads_issued_); }
  int max_reads_outstanding() const { return copy_locked(mutex_, max_outstanding_); }
  int reads_outstanding() const;
  std::vector<std::shared_ptr<FakeRequest>> pending_writes() const;

  // The lifecycle, the modem, power and the clock only note the call.
  uint32_t plug(const PlugOptions& o) override { return note("plug " + o.port + " " + o.modem); }
  uint32_t open() override { return note("open", open_status); }
  uint32_t close() override { return note("close"); }
  PendingPtr read(uint32_t length) override;
  PendingPtr write(std::span<const uint8_t> data) override;
  PendingPtr ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t output_length) override;
  void modem_send(std::span<const uint8_t> data) override {
    note("modem send " + std::string(data.begin(), data.end()));
  }
  void modem_lines(std::optional<bool> dcd, std::optional<bool> dsr) override;
  void modem_unplug() override { note("modem unplug"); }
  std::optional<std::string> modem_line_coding() const override { return std::nullopt; }
  uint32_t surprise_remove() override { return note("surprise-remove"); }
  uint32_t remove() override { return note("remove"); }
  uint32_t power_device(int d) override { return note("power device D" + std::to_string(d)); }
  uint32_t power_system(int s) override { return note("power system S" + std::to_string(s)); }
  void freeze_clock() override { note("clock freeze"); }
  void run_clock() override { note("clock run"); }
  void sleep(std::chrono::milliseconds span) override { note("sleep " + std::to_string(span.count())); }
  void shutdown() override;
  std::vector<std::string> findings() const override { return fake_findings; }

 private:
  void serve_reads_locked();
  int outstanding_locked() const;
  uint32_t note(std::string call, uint32_t status = 0);

  mutable std::mutex mutex_;
  std::deque<uint8_t> inbound_;
  std::optional<uint32_t> read_failure_;
  struct PendingRead {
    std::shared_ptr<FakeRequest> request;
    uint32_t length;
  };
  std::vector<PendingRead> reads_;
  std::vector<std::shared_ptr<FakeRequest>> writes_;
  std::vector<std::shared_ptr<FakeRequest>> others_;
  std::vector<IoctlCall> ioctls_;
  Bytes written_;
  std::vector<std::string> calls_;
  int reads_issued_ = 0;
  int max_outstanding_ = 0;
};

}  // namespace vrmdm::testing
