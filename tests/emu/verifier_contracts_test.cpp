// The IRQL and lock annotations of driver routines, checked on entry: every
// annotated routine entered in every IRQL and lock state, against the
// finding the annotation calls for.

#include <emu/kernel.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>

#include "contract_routines.h"

namespace {

struct State {
  const char* name;
  KIRQL irql;  // when no lock is held
  bool cancel_lock;
  bool spin_lock;
};

// P A D: no lock at PASSIVE, APC and DISPATCH level; C: the cancel spin
// lock; L: another spin lock; B: both; H: no lock at CLOCK_LEVEL.
const State kStates[] = {
    {"P", PASSIVE_LEVEL, false, false},  {"A", APC_LEVEL, false, false},
    {"D", DISPATCH_LEVEL, false, false}, {"C", PASSIVE_LEVEL, true, false},
    {"L", PASSIVE_LEVEL, false, true},   {"B", PASSIVE_LEVEL, true, true},
    {"H", CLOCK_LEVEL, false, false},
};

struct Routine {
  const char* name;
  std::function<void(PKSPIN_LOCK)> call;
  // One column per state: '.' no finding, 'I' contract-irql,
  // 'M' contract-lock-not-held, 'H' contract-lock-held.
  const char* expected;
};

std::optional<emu::verifier::Rule> rule_of(char code) {
  using emu::verifier::Rule;
  switch (code) {
    case 'I':
      return Rule::contract_irql;
    case 'M':
      return Rule::contract_lock_not_held;
    case 'H':
      return Rule::contract_lock_held;
    default:
      return std::nullopt;
  }
}

void enter(const State& s, PKSPIN_LOCK lock, const std::function<void()>& fn) {
  if (!s.cancel_lock && !s.spin_lock) {
    emu::run_at_irql(s.irql, fn);
    return;
  }
  KIRQL cancel_irql = PASSIVE_LEVEL, lock_irql = PASSIVE_LEVEL;
  if (s.cancel_lock) IoAcquireCancelSpinLock(&cancel_irql);
  if (s.spin_lock) KeAcquireSpinLock(lock, &lock_irql);
  fn();
  if (s.spin_lock) KeReleaseSpinLock(lock, lock_irql);
  if (s.cancel_lock) IoReleaseCancelSpinLock(cancel_irql);
}

TEST(VerifierContracts, EveryAnnotationInEveryIrqlAndLockState) {
  using namespace contracts;
  const Routine routines[] = {
      //                                                                      P A D C L B H
      {"AtPassive", [](PKSPIN_LOCK) { AtPassive(); }, /*                  */ ".IIIIII"},
      {"UpToApc", [](PKSPIN_LOCK) { UpToApc(); }, /*                      */ "..IIIII"},
      {"UpToDispatch", [](PKSPIN_LOCK) { UpToDispatch(); }, /*            */ "......I"},
      {"AtDispatchDpc", [](PKSPIN_LOCK) { AtDispatchDpc(nullptr, nullptr, nullptr, nullptr); }, "II....I"},
      {"FromApc", [](PKSPIN_LOCK) { FromApc(); }, /*                      */ "I......"},
      {"NeedsCancelLock", [](PKSPIN_LOCK) { NeedsCancelLock(); }, /*      */ "MMM.M.M"},
      {"NeedsCancelLockFree", [](PKSPIN_LOCK) { NeedsCancelLockFree(); }, "...H.HI"},
      {"NeedsLock", [](PKSPIN_LOCK l) { NeedsLock(l); }, /*               */ "MMMM..M"},
      {"NeedsLockFree", [](PKSPIN_LOCK l) { NeedsLockFree(l); }, /*       */ "....HHI"},
      {"NeedsNoLocks", [](PKSPIN_LOCK) { NeedsNoLocks(); }, /*            */ "...HHHI"},
  };
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  int cases = 0, findings = 0;
  for (const Routine& r : routines) {
    for (std::size_t i = 0; i < std::size(kStates); ++i) {
      const State& s = kStates[i];
      SCOPED_TRACE(std::string(r.name) + " in state " + s.name);
      enter(s, &lock, [&] { r.call(&lock); });
      auto found = emu::verifier::take_findings();
      ++cases;
      const auto rule = rule_of(r.expected[i]);
      if (!rule) {
        for (const auto& f : found) ADD_FAILURE() << emu::verifier::describe(f);
        continue;
      }
      ++findings;
      ASSERT_EQ(found.size(), 1u);
      EXPECT_EQ(found[0].rule, *rule) << emu::verifier::describe(found[0]);
      // The finding names the routine and where it was called from.
      EXPECT_NE(found[0].routine.find(r.name), std::string::npos) << found[0].routine;
      EXPECT_NE(found[0].detail.find("called from "), std::string::npos) << found[0].detail;
    }
  }
  std::printf("[ contracts] %d routine entries, %d findings expected and seen\n", cases, findings);
}

}  // namespace
