#include "fake_backend.h"

#include <algorithm>

namespace vrmdm::testing {

uint32_t FakeBackend::note(std::string call, uint32_t status) {
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
  return status;
}

void FakeBackend::serve_reads_locked() {
  // Drop reads that ended some other way (cancelled).
  std::erase_if(reads_, [](const PendingRead& r) { return r.request->completed(); });
  while (!reads_.empty() && (!inbound_.empty() || read_failure_)) {
    PendingRead r = reads_.front();
    reads_.erase(reads_.begin());
    if (read_failure_) {
      r.request->complete({*read_failure_, 0, {}});
      continue;
    }
    const std::size_t n = std::min<std::size_t>(r.length, inbound_.size());
    Bytes out(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(n));
    inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(n));
    r.request->complete({0, n, std::move(out)});
  }
}

void FakeBackend::to_host(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  inbound_.insert(inbound_.end(), bytes.begin(), bytes.end());
  serve_reads_locked();
}

void FakeBackend::fail_reads(uint32_t status) {
  std::lock_guard lock(mutex_);
  read_failure_ = status;
  serve_reads_locked();
}

int FakeBackend::reads_outstanding() const {
  std::lock_guard lock(mutex_);
  return outstanding_locked();
}

int FakeBackend::outstanding_locked() const {
  return static_cast<int>(std::count_if(reads_.begin(), reads_.end(),
                                        [](const PendingRead& r) { return !r.request->completed(); }));
}

std::vector<std::shared_ptr<FakeRequest>> FakeBackend::pending_writes() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<FakeRequest>> out;
  for (const auto& w : writes_)
    if (!w->completed()) out.push_back(w);
  return out;
}

PendingPtr FakeBackend::read(uint32_t length) {
  auto r = std::make_shared<FakeRequest>();
  std::lock_guard lock(mutex_);
  ++reads_issued_;
  reads_.push_back({r, length});
  max_outstanding_ = std::max(max_outstanding_, outstanding_locked());
  serve_reads_locked();
  return r;
}

PendingPtr FakeBackend::write(std::span<const uint8_t> data) {
  auto r = std::make_shared<FakeRequest>();
  std::lock_guard lock(mutex_);
  written_.insert(written_.end(), data.begin(), data.end());
  if (hold_writes) {
    writes_.push_back(r);
  } else {
    r->complete({0, data.size(), {}});
  }
  return r;
}

PendingPtr FakeBackend::ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t output_length) {
  IoctlCall call{code, Bytes(input.begin(), input.end()), output_length};
  {
    std::lock_guard lock(mutex_);
    ioctls_.push_back(call);
  }
  auto r = std::make_shared<FakeRequest>();
  if (ioctl_answer) {
    const IoOutcome o = ioctl_answer(call);
    if (o.status == 0x103) {  // stays pending until cancelled or shut down
      std::lock_guard lock(mutex_);
      others_.push_back(r);
      return r;
    }
    r->complete(o);
  } else {
    r->complete({0, 0, {}});
  }
  return r;
}

void FakeBackend::modem_lines(std::optional<bool> dcd, std::optional<bool> dsr) {
  note(std::string("modem lines") + (dcd ? (*dcd ? " dcd=1" : " dcd=0") : "") +
       (dsr ? (*dsr ? " dsr=1" : " dsr=0") : ""));
}

void FakeBackend::shutdown() {
  note("shutdown");
  // As cleanup does: whatever is still pending ends cancelled.
  std::vector<std::shared_ptr<FakeRequest>> pending;
  {
    std::lock_guard lock(mutex_);
    for (auto& r : reads_) pending.push_back(r.request);
    for (auto& w : writes_) pending.push_back(w);
    for (auto& o : others_) pending.push_back(o);
    reads_.clear();
  }
  for (auto& r : pending) r->cancel();
}

}  // namespace vrmdm::testing
