// Timers and DPCs: expiry racing cancellation, queue semantics, objects
// freed while still queued.

#include <emu/kernel.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

using emu::verifier::Rule;

namespace {

using namespace std::chrono_literals;

LARGE_INTEGER relative_100ns(int64_t units) {
  LARGE_INTEGER t;
  t.QuadPart = -units;
  return t;
}

bool has(const std::vector<emu::verifier::Finding>& findings, Rule check) {
  for (const auto& f : findings) {
    if (f.rule == check) return true;
  }
  return false;
}

struct Probe {
  std::atomic<int> runs{0};
  std::atomic<int> round{-1};
  std::vector<std::atomic<int>>* per_round = nullptr;
  std::atomic<KIRQL> irql{0xFF};
  std::atomic<bool> on_caller_thread{false};
  std::thread::id caller = std::this_thread::get_id();
  std::atomic<uintptr_t> arg1{0}, arg2{0};
  KEVENT done;
};

VOID NTAPI probe_dpc(PKDPC, PVOID context, PVOID a1, PVOID a2) {
  auto* p = static_cast<Probe*>(context);
  p->irql = KeGetCurrentIrql();
  p->on_caller_thread = std::this_thread::get_id() == p->caller;
  p->arg1 = reinterpret_cast<uintptr_t>(a1);
  p->arg2 = reinterpret_cast<uintptr_t>(a2);
  if (p->per_round) (*p->per_round)[p->round.load()]++;
  p->runs++;
  KeSetEvent(&p->done, 0, FALSE);
}

TEST(KeTimers, DpcRunsOnceAtDispatchLevelOnAnotherThreadWithTheSystemTime) {
  emu::clock::freeze();
  Probe probe;
  KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, probe_dpc, &probe);
  KeSetTimer(&timer, relative_100ns(5 * 10000), &dpc);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  emu::clock::advance(5ms);
  EXPECT_EQ(probe.runs.load(), 1);
  EXPECT_EQ(probe.irql.load(), DISPATCH_LEVEL);
  EXPECT_FALSE(probe.on_caller_thread.load());
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(probe.arg1.load(), static_cast<uintptr_t>(now.LowPart));
  EXPECT_EQ(probe.arg2.load(), static_cast<uintptr_t>(static_cast<ULONG>(now.HighPart)));
  EXPECT_TRUE(KeReadStateTimer(&timer));
  emu::clock::advance(1s);
  EXPECT_EQ(probe.runs.load(), 1);
  emu::clock::unfreeze();
}

TEST(KeTimers, SetAndCancelReportWhetherTheTimerWasSet) {
  emu::clock::freeze();
  KTIMER timer;
  KeInitializeTimer(&timer);
  EXPECT_FALSE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeSetTimer(&timer, relative_100ns(10000), nullptr));
  EXPECT_TRUE(KeSetTimer(&timer, relative_100ns(20000), nullptr));  // re-set: replaces the first
  emu::clock::advance(1ms);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  emu::clock::advance(5ms);
  EXPECT_FALSE(KeReadStateTimer(&timer));  // cancelled before it fired
  KeSetTimer(&timer, relative_100ns(10000), nullptr);
  emu::clock::advance(1ms);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));  // expired: no longer set
  KeSetTimer(&timer, relative_100ns(10000), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&timer));  // setting clears the signal
  KeCancelTimer(&timer);
  emu::clock::unfreeze();
}

TEST(KeTimers, DueTimeAlreadyPassedExpiresAtOnce) {
  emu::clock::freeze();
  Probe probe;
  KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, probe_dpc, &probe);
  LARGE_INTEGER absolute_zero;
  absolute_zero.QuadPart = 0;
  EXPECT_FALSE(KeSetTimer(&timer, absolute_zero, &dpc));
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_EQ(KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(probe.runs.load(), 1);
  emu::clock::unfreeze();
}

TEST(KeTimers, SynchronizationTimerReleasesOneWaiterAndResets) {
  emu::clock::freeze();
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
      ++released;
    });
  }
  ASSERT_TRUE(emu::ke::wait_for_waiters(&timer, 2));
  KeSetTimer(&timer, relative_100ns(10000), nullptr);
  emu::clock::advance(1ms);
  EXPECT_EQ(emu::ke::waiter_count(&timer), 1u);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  KeSetTimer(&timer, relative_100ns(10000), nullptr);
  emu::clock::advance(1ms);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 2);
  emu::clock::unfreeze();
}

// Real clock: a timer due within a few hundred microseconds races a
// KeCancelTimer.  Whatever the interleaving, a cancel that reports the timer
// as set means its DPC never runs, and one that does not means it runs
// exactly once.
TEST(KeTimers, CancelRacingExpiryGivesExactlyOnceOrNever) {
  constexpr int kRounds = 2000;
  std::vector<std::atomic<int>> per_round(kRounds);
  Probe probe;
  probe.per_round = &per_round;
  KeInitializeEvent(&probe.done, NotificationEvent, FALSE);
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, probe_dpc, &probe);
  std::mt19937 rng(12345);
  std::vector<bool> cancelled(kRounds);
  int n_cancelled = 0;
  for (int r = 0; r < kRounds; ++r) {
    KeClearEvent(&probe.done);
    probe.round = r;
    KeSetTimer(&timer, relative_100ns(rng() % 2000), &dpc);
    auto spin_until = std::chrono::steady_clock::now() + std::chrono::microseconds(rng() % 200);
    while (std::chrono::steady_clock::now() < spin_until) {
    }
    cancelled[r] = KeCancelTimer(&timer);
    if (cancelled[r]) {
      ++n_cancelled;
    } else {
      LARGE_INTEGER limit = relative_100ns(5 * 10000000LL);
      ASSERT_EQ(KeWaitForSingleObject(&probe.done, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS)
          << "round " << r << ": the timer was not set any more but its DPC never ran";
    }
  }
  emu::ke::flush_dpcs();
  for (int r = 0; r < kRounds; ++r) {
    ASSERT_EQ(per_round[r].load(), cancelled[r] ? 0 : 1) << "round " << r;
  }
  EXPECT_EQ(probe.runs.load(), kRounds - n_cancelled);
  std::cout << "cancel won " << n_cancelled << " of " << kRounds << " races\n";
}

// A DPC that holds the DPC thread until released, so the queue behind it can
// be examined.
struct Blocker {
  std::atomic<bool> running{false};
  std::atomic<bool> release{false};
};

VOID NTAPI blocking_dpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* b = static_cast<Blocker*>(context);
  b->running = true;
  while (!b->release) std::this_thread::yield();
}

TEST(KeDpcs, InsertTwiceQueuesOnceAndRemoveTakesItBack) {
  Blocker blocker;
  KDPC block_dpc, a, b;
  Probe pa, pb;
  KeInitializeEvent(&pa.done, NotificationEvent, FALSE);
  KeInitializeEvent(&pb.done, NotificationEvent, FALSE);
  KeInitializeDpc(&block_dpc, blocking_dpc, &blocker);
  KeInitializeDpc(&a, probe_dpc, &pa);
  KeInitializeDpc(&b, probe_dpc, &pb);
  ASSERT_TRUE(KeInsertQueueDpc(&block_dpc, nullptr, nullptr));
  while (!blocker.running) std::this_thread::yield();

  EXPECT_TRUE(KeInsertQueueDpc(&a, reinterpret_cast<PVOID>(1), nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&a, reinterpret_cast<PVOID>(2), nullptr));  // already queued: first args stay
  EXPECT_TRUE(KeInsertQueueDpc(&b, nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&b));
  EXPECT_FALSE(KeRemoveQueueDpc(&b));
  blocker.release = true;
  emu::ke::flush_dpcs();
  EXPECT_EQ(pa.runs.load(), 1);
  EXPECT_EQ(pa.arg1.load(), 1u);
  EXPECT_EQ(pb.runs.load(), 0);
  EXPECT_FALSE(KeRemoveQueueDpc(&a));  // ran: not queued any more
}

TEST(KeDpcs, HighImportanceGoesToTheFrontOfTheQueue) {
  Blocker blocker;
  KDPC block_dpc, low, high;
  KeInitializeDpc(&block_dpc, blocking_dpc, &blocker);
  struct Order {
    std::mutex lock;
    std::vector<int> seen;
  } order;
  std::pair<Order*, int> lo{&order, 1}, hi{&order, 2};
  auto record = [](PKDPC, PVOID context, PVOID, PVOID) NTAPI {
    auto* e = static_cast<std::pair<Order*, int>*>(context);
    std::lock_guard<std::mutex> g(e->first->lock);
    e->first->seen.push_back(e->second);
  };
  KeInitializeDpc(&low, record, &lo);
  KeInitializeDpc(&high, record, &hi);
  KeSetImportanceDpc(&high, HighImportance);
  KeInsertQueueDpc(&block_dpc, nullptr, nullptr);
  while (!blocker.running) std::this_thread::yield();
  KeInsertQueueDpc(&low, nullptr, nullptr);
  KeInsertQueueDpc(&high, nullptr, nullptr);
  blocker.release = true;
  emu::ke::flush_dpcs();
  EXPECT_EQ(order.seen, (std::vector<int>{2, 1}));
}

VOID NTAPI requeue_dpc(PKDPC dpc, PVOID context, PVOID, PVOID) {
  auto* runs = static_cast<std::atomic<int>*>(context);
  // Queuing a DPC from its own routine is allowed: it is no longer queued.
  if (++*runs < 3) {
    EXPECT_TRUE(KeInsertQueueDpc(dpc, nullptr, nullptr));
  }
}

TEST(KeDpcs, ARunningDpcMayQueueItselfAgain) {
  std::atomic<int> runs{0};
  KDPC dpc;
  KeInitializeDpc(&dpc, requeue_dpc, &runs);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_EQ(runs.load(), 3);
}

struct PoolTimer {
  KTIMER timer;
  KDPC dpc;
};

VOID NTAPI never_runs(PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "a DPC in freed memory ran"; }

TEST(KeTimers, FreeingATimerThatIsStillSetIsAFinding) {
  emu::clock::freeze();
  auto* p =
      static_cast<PoolTimer*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PoolTimer), emu::pool::tag("Tmr ")));
  ASSERT_NE(p, nullptr);
  KeInitializeTimer(&p->timer);
  KeInitializeDpc(&p->dpc, never_runs, nullptr);
  KeSetTimer(&p->timer, relative_100ns(10 * 10000), &p->dpc);
  ExFreePool(p);
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rule, Rule::timer_freed_while_queued);
  EXPECT_EQ(findings[0].routine, "ExFreePool");
  emu::clock::advance(20ms);  // the freed timer was taken out of the queue
  emu::clock::unfreeze();
}

TEST(KeDpcs, FreeingAQueuedDpcIsAFinding) {
  Blocker blocker;
  KDPC block_dpc;
  KeInitializeDpc(&block_dpc, blocking_dpc, &blocker);
  KeInsertQueueDpc(&block_dpc, nullptr, nullptr);
  while (!blocker.running) std::this_thread::yield();
  auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), emu::pool::tag("Dpc ")));
  KeInitializeDpc(dpc, never_runs, nullptr);
  KeInsertQueueDpc(dpc, nullptr, nullptr);
  ExFreePool(dpc);
  blocker.release = true;
  emu::ke::flush_dpcs();
  EXPECT_TRUE(has(emu::verifier::take_findings(), Rule::dpc_freed_while_queued));
}

TEST(KeTimers, TimerLeftSetAtTheEndOfATestIsReported) {
  emu::clock::freeze();
  static KTIMER timer;  // outlives the test: the reset must take it out of the queue
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, relative_100ns(10000000), nullptr);
  EXPECT_FALSE(emu::check_quiescent("test"));
  EXPECT_TRUE(has(emu::verifier::take_findings(), Rule::timer_still_queued));
  emu::kernel_reset();
  EXPECT_TRUE(has(emu::verifier::take_findings(), Rule::timer_still_queued));
  EXPECT_FALSE(KeCancelTimer(&timer));
  EXPECT_FALSE(emu::clock::frozen());
}

}  // namespace
