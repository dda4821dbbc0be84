// Moves bytes between an open port and the host side: one read is kept
// outstanding on the port and what it brings is handed to a sink; writes go
// out one at a time.  Shared by the terminal and the pty front ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "port_backend.h"

namespace vrmdm {

class PortBridge {
 public:
  using Sink = std::function<void(std::span<const uint8_t>)>;
  // Called (from the reader thread) when the port refuses reads for good,
  // e.g. after the modem was unplugged.
  using Failure = std::function<void(uint32_t status)>;

  PortBridge(PortBackend& backend, Sink sink, Failure failure = {});
  ~PortBridge();
  PortBridge(const PortBridge&) = delete;
  PortBridge& operator=(const PortBridge&) = delete;

  // Sets the time-outs the bridge relies on (reads return within a quarter
  // second when idle; a stuck write is given up after five) and starts reading.
  void start();
  // Stops reading: cancels the read in flight and waits for the reader.
  void stop();

  // A synchronous write; the outcome of the request.
  IoOutcome send(std::span<const uint8_t> data);
  // A synchronous device control.
  IoOutcome control(uint32_t code, std::span<const uint8_t> input, uint32_t output_length = 0);

  uint64_t bytes_received() const { return received_.load(); }
  std::chrono::steady_clock::time_point last_receive() const;
  bool failed() const { return failed_.load(); }

  // How long a single request may take before the bridge gives up on it.
  static constexpr std::chrono::milliseconds kRequestLimit{10000};
  static constexpr uint32_t kReadChunk = 4096;
  static constexpr uint32_t kIdleReadMs = 250;
  static constexpr uint32_t kWriteTimeoutMs = 5000;

 private:
  void reader();

  PortBackend& backend_;
  Sink sink_;
  Failure failure_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> failed_{false};
  std::atomic<uint64_t> received_{0};
  mutable std::mutex mutex_;  // guards current_ and last_receive_
  PendingPtr current_;
  std::chrono::steady_clock::time_point last_receive_;
};

}  // namespace vrmdm
