// IRQL and spin locks: exclusion across threads and the misuses the verifier
// names.

#include <emu/kernel.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "../../emu/src/kernel_internal.h"

using emu::verifier::Rule;

namespace {

std::vector<Rule> checks() {
  std::vector<Rule> out;
  for (auto& f : emu::verifier::take_findings()) out.push_back(f.rule);
  return out;
}

TEST(KeSpinLock, ExcludesAcrossThreadsAndRunsTheHolderAtDispatchLevel) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  // Deliberately not atomic: only the lock keeps the increments whole.
  volatile long counter = 0;
  std::atomic<int> inside{0};
  std::atomic<bool> overlap{false}, wrong_irql{false};
  constexpr int kIterations = 50000;
  auto worker = [&] {
    for (int i = 0; i < kIterations; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      if (old != PASSIVE_LEVEL || KeGetCurrentIrql() != DISPATCH_LEVEL) wrong_irql = true;
      if (inside.fetch_add(1) != 0) overlap = true;
      long v = counter;
      if ((i & 1023) == 0) std::this_thread::yield();  // get preempted while holding it
      counter = v + 1;
      inside.fetch_sub(1);
      KeReleaseSpinLock(&lock, old);
      if (KeGetCurrentIrql() != PASSIVE_LEVEL) wrong_irql = true;
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(counter, 2L * kIterations);
  EXPECT_FALSE(overlap.load());
  EXPECT_FALSE(wrong_irql.load());
  EXPECT_TRUE(KeTestSpinLock(&lock));
}

TEST(KeSpinLock, InStackQueuedLocksAndTryAcquire) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&lock, &handle);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_FALSE(KeTestSpinLock(&lock));
  emu::run_on_system_thread(DISPATCH_LEVEL, [&] { EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock)); });
  KeReleaseInStackQueuedSpinLock(&handle);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  emu::run_on_system_thread(DISPATCH_LEVEL, [&] {
    EXPECT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
    KeReleaseSpinLockFromDpcLevel(&lock);
  });
  EXPECT_TRUE(checks().empty());
}

TEST(KeSpinLock, InterlockedListsKeepOrder) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LIST_ENTRY head, a, b;
  InitializeListHead(&head);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KeSpinLockVerifier, ReleaseByAnotherThread) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  emu::run_on_system_thread(DISPATCH_LEVEL, [&] { KeReleaseSpinLockFromDpcLevel(&lock); });
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::spinlock_released_by_other_thread});
  EXPECT_FALSE(KeTestSpinLock(&lock));  // still ours
  KeReleaseSpinLock(&lock, old);
  EXPECT_TRUE(checks().empty());
}

TEST(KeSpinLockVerifier, ReleaseOfALockNobodyHolds) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  emu::run_at_irql(DISPATCH_LEVEL, [&] { KeReleaseSpinLockFromDpcLevel(&lock); });
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::spinlock_not_held});
}

TEST(KeSpinLockVerifier, ReleaseAtTheWrongIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KIRQL dispatch = KfRaiseIrql(CLOCK_LEVEL);
  EXPECT_EQ(dispatch, DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::spinlock_release_irql});
  EXPECT_TRUE(KeTestSpinLock(&lock));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KeSpinLockVerifier, ReleaseFromDpcLevelBelowDispatch) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  emu::run_at_irql(DISPATCH_LEVEL, [&] { KeAcquireSpinLockAtDpcLevel(&lock); });
  KeReleaseSpinLockFromDpcLevel(&lock);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::spinlock_release_irql});
}

TEST(KeSpinLockVerifier, AcquiringALockTheThreadAlreadyHoldsIsReportedOnce) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL outer, inner;
  KeAcquireSpinLock(&lock, &outer);
  KeAcquireSpinLock(&lock, &inner);  // would deadlock on a real machine
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::spinlock_recursive_acquire});
  KeReleaseSpinLock(&lock, inner);
  EXPECT_FALSE(KeTestSpinLock(&lock));
  KeReleaseSpinLock(&lock, outer);
  EXPECT_TRUE(KeTestSpinLock(&lock));
  EXPECT_TRUE(checks().empty());
}

TEST(KeSpinLockVerifier, AcquireAboveDispatchLevel) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old = KfRaiseIrql(HIGH_LEVEL);
  KIRQL at_acquire;
  KeAcquireSpinLock(&lock, &at_acquire);
  EXPECT_EQ(at_acquire, HIGH_LEVEL);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::spinlock_acquire_irql});
  KeReleaseSpinLockFromDpcLevel(&lock);
  KfLowerIrql(old);
  EXPECT_TRUE(checks().empty());
}

TEST(KeIrqlVerifier, LoweringToAHigherLevelAndRaisingToALowerOne) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeLowerIrql(CLOCK_LEVEL);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::irql_not_lowered});
  KfRaiseIrql(APC_LEVEL);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::irql_not_raised});
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(checks().empty());
}

TEST(KeIrqlVerifier, LoweringBelowDispatchWhileHoldingALock) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeLowerIrql(PASSIVE_LEVEL);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::irql_lowered_holding_spinlock});
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLock(&lock, old);
  EXPECT_TRUE(checks().empty());
}

TEST(KeIrqlVerifier, RoutineReturningAtAnotherIrql) {
  auto sloppy = [] {
    KIRQL ignored;
    KeRaiseIrql(DISPATCH_LEVEL, &ignored);
  };
  {
    emu::ke::IrqlCheck check("SloppyDispatch", nullptr);
    sloppy();
  }
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rule, Rule::irql_changed);
  EXPECT_EQ(findings[0].routine, "SloppyDispatch");
  KeLowerIrql(PASSIVE_LEVEL);
  emu::run_at_irql(APC_LEVEL, sloppy);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::irql_changed});
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

VOID NTAPI dpc_keeps_lock(PKDPC, PVOID context, PVOID, PVOID) {
  KeAcquireSpinLockAtDpcLevel(static_cast<PKSPIN_LOCK>(context));
}

TEST(KeIrqlVerifier, DpcReturningHoldingASpinLock) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KDPC dpc;
  KeInitializeDpc(&dpc, dpc_keeps_lock, &lock);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  emu::ke::flush_dpcs();
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::spinlock_held_on_return});
}

void pageable_routine() { PAGED_CODE(); }

TEST(KeIrqlVerifier, PageableCodeAboveApcLevel) {
  pageable_routine();
  emu::run_at_irql(APC_LEVEL, pageable_routine);
  EXPECT_TRUE(checks().empty());
  emu::run_at_irql(DISPATCH_LEVEL, pageable_routine);
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rule, Rule::paged_code_at_raised_irql);
  EXPECT_EQ(findings[0].routine, "pageable_routine");
}

}  // namespace
