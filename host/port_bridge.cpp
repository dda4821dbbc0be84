#include "port_bridge.h"

#include <emu/kernel.h>

#include <array>

#include "nt_names.h"

namespace vrmdm {

namespace {

void put_u32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

PortBridge::PortBridge(PortBackend& backend, Sink sink, Failure failure)
    : backend_(backend),
      sink_(std::move(sink)),
      failure_(std::move(failure)),
      last_receive_(std::chrono::steady_clock::now()) {}

PortBridge::~PortBridge() { stop(); }

void PortBridge::start() {
  // Interval 0, multiplier 0, a short total constant: an idle read comes back
  // regularly so the reader notices a stop without relying on cancellation.
  std::array<uint8_t, 20> timeouts{};
  put_u32(&timeouts[8], kIdleReadMs);
  put_u32(&timeouts[16], kWriteTimeoutMs);
  control(kIoctlSetTimeouts, timeouts);
  stopping_ = false;
  thread_ = std::thread([this] {
    emu::name_this_thread("vrmdm-reader");
    reader();
  });
}

void PortBridge::stop() {
  stopping_ = true;
  {
    std::lock_guard lock(mutex_);
    if (current_) current_->cancel();
  }
  if (thread_.joinable()) thread_.join();
}

IoOutcome PortBridge::send(std::span<const uint8_t> data) {
  PendingPtr p = backend_.write(data);
  if (!p->wait(kRequestLimit)) {
    p->cancel();
    if (!p->wait(kRequestLimit)) return {kStatusPending, 0, {}};
  }
  return p->outcome();
}

IoOutcome PortBridge::control(uint32_t code, std::span<const uint8_t> input, uint32_t output_length) {
  PendingPtr p = backend_.ioctl(code, input, output_length);
  if (!p->wait(kRequestLimit)) return {kStatusPending, 0, {}};
  return p->outcome();
}

std::chrono::steady_clock::time_point PortBridge::last_receive() const {
  std::lock_guard lock(mutex_);
  return last_receive_;
}

void PortBridge::reader() {
  int failures = 0;
  while (!stopping_) {
    PendingPtr p;
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
      p = backend_.read(kReadChunk);
      current_ = p;
    }
    // stop() cancels under the lock, so a read issued just before the stop
    // flag was seen is still cancelled here.
    bool done = false;
    for (int rounds = 0; !done; ++rounds) {
      done = p->wait(std::chrono::milliseconds(100));
      if (!done && stopping_) p->cancel();
      if (!done && rounds > 600) break;  // a read the port never ends: give up on the port
    }
    {
      std::lock_guard lock(mutex_);
      current_.reset();
    }
    if (!done) {
      failed_ = true;
      if (failure_) failure_(kStatusPending);
      break;
    }
    const IoOutcome o = p->outcome();
    if (!o.output.empty()) {
      received_ += o.output.size();
      {
        std::lock_guard lock(mutex_);
        last_receive_ = std::chrono::steady_clock::now();
      }
      sink_(o.output);
    }
    if (o.status == kStatusSuccess || o.status == kStatusCancelled) {
      failures = 0;
      continue;
    }
    // A refused read (port closed under us, device removed): a few retries
    // cover a transient refusal, then the port is given up.
    if (++failures >= 3) {
      failed_ = true;
      if (failure_) failure_(o.status);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace vrmdm
