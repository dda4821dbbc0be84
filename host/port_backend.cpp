#include "port_backend.h"

namespace vrmdm {

namespace {

class CompletedRequest final : public PendingRequest {
 public:
  explicit CompletedRequest(IoOutcome outcome) : outcome_(std::move(outcome)) {}
  bool wait(std::chrono::milliseconds) override { return true; }
  bool completed() const override { return true; }
  IoOutcome outcome() const override { return outcome_; }
  bool cancel() override { return false; }

 private:
  const IoOutcome outcome_;
};

}  // namespace

PendingPtr completed_request(uint32_t status, uint64_t information, Bytes output) {
  return std::make_shared<CompletedRequest>(IoOutcome{status, information, std::move(output)});
}

}  // namespace vrmdm
