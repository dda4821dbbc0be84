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

class FakeRequest final : public PendingRequest {
 public:
  bool wait(std::chrono::milliseconds limit) override;
  bool completed() const override;
  IoOutcome outcome() const override;
  bool cancel() override;
  // Completes the request; false if it had already completed (a second
  // completion is a fault the tests look for).
  bool complete(IoOutcome outcome);
  int completions() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  int completions_ = 0;
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
  // Statuses of the lifecycle calls.
  uint32_t plug_status = 0, open_status = 0, close_status = 0;
  std::vector<std::string> fake_findings;
  // Writes pend until complete_writes() when true.
  bool hold_writes = false;

  // Data the next read gets; completes a pending read at once.
  void to_host(std::string_view bytes);
  // Completes pending reads with a failure status (and makes later reads fail).
  void fail_reads(uint32_t status);

  std::vector<IoctlCall> ioctls() const;
  Bytes written() const;
  std::vector<std::string> calls() const;  // lifecycle calls, in order
  int reads_issued() const;
  int max_reads_outstanding() const;
  int reads_outstanding() const;
  std::vector<std::shared_ptr<FakeRequest>> pending_writes() const;

  uint32_t plug(const PlugOptions& options) override;
  uint32_t open() override;
  uint32_t close() override;
  PendingPtr read(uint32_t length) override;
  PendingPtr write(std::span<const uint8_t> data) override;
  PendingPtr ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t output_length) override;
  void modem_send(std::span<const uint8_t> data) override;
  void modem_lines(std::optional<bool> dcd, std::optional<bool> dsr) override;
  void modem_unplug() override;
  std::optional<std::string> modem_line_coding() const override;
  uint32_t surprise_remove() override;
  uint32_t remove() override;
  uint32_t power_device(int d_state) override;
  uint32_t power_system(int s_state) override;
  void freeze_clock() override;
  void run_clock() override;
  void sleep(std::chrono::milliseconds span) override;
  void shutdown() override;
  std::vector<std::string> findings() const override;

 private:
  void serve_reads_locked();
  void note(std::string call);

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
