// Fails every test that leaves a verifier finding behind.
//
// Registered at static initialisation, so each suite that links the test
// support gets it without a main() of its own.  After each test it resets the
// emulated kernel (unless the suite opted out with emu::set_auto_reset(false));
// the reset reports leaks, threads still running and timers still set as
// findings, which then fail the test like any other.

#include <emu/kernel.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>

namespace {

class VerifierListener : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo&) override {
    // A finding reported between two tests (a straggling thread of the
    // previous one) is not lost: it fails the test now starting.
    auto late = emu::verifier::take_findings();
    for (const auto& f : late) {
      ADD_FAILURE() << "verifier finding reported before this test started: " << emu::verifier::describe(f);
    }
  }

  void OnTestEnd(const ::testing::TestInfo&) override {
    if (emu::auto_reset()) emu::kernel_reset();
    auto findings = emu::verifier::take_findings();
    for (const auto& f : findings) {
      ADD_FAILURE() << "verifier: " << emu::verifier::describe(f);
    }
  }
};

// Appended after the default printer, so it sees OnTestEnd before the
// printer reports the verdict and its failures count.
//
// The suites run on a 1 ms clock tick (as after a raised timer resolution),
// so their millisecond time-outs end on the millisecond; the cases that are
// about Windows' own 15.625 ms tick set it themselves, and each reset brings
// 1 ms back.  A frozen clock's advance waits for the threads it wakes to block
// again as long as it takes: on a loaded machine (or under a sanitizer) a
// thread may wait long for a processor, and giving up early would let it arm
// its next wait a step late, so a case would check the scheduler, not the
// driver.  The bound only ends a thread that never blocks again.
[[maybe_unused]] const bool registered = [] {
  emu::clock::set_default_tick(std::chrono::milliseconds(1));
  emu::clock::settle_grace(std::chrono::seconds(60));
  ::testing::UnitTest::GetInstance()->listeners().Append(new VerifierListener);
  return true;
}();

}  // namespace
