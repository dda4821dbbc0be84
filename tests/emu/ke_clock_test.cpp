// The controllable clock: timed waits and timers under a frozen clock, and
// how a real 1 ms wait behaves.

#include <emu/kernel.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

LARGE_INTEGER relative(std::chrono::nanoseconds d) {
  LARGE_INTEGER t;
  t.QuadPart = -(d.count() / 100);
  return t;
}

class FrozenClock : public ::testing::Test {
 protected:
  void SetUp() override { emu::clock::freeze(); }
  void TearDown() override { emu::clock::unfreeze(); }
};

TEST_F(FrozenClock, HundredSecondWaitEndsAfterAdvancePastItAndNotBefore) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  const auto real_start = std::chrono::steady_clock::now();
  std::thread waiter([&] {
    LARGE_INTEGER t = relative(100s);
    status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
  });
  ASSERT_TRUE(emu::ke::wait_for_waiters(&event, 1));
  emu::clock::advance(100s - 100ns);
  EXPECT_EQ(status.load(), STATUS_PENDING);
  EXPECT_EQ(emu::ke::waiter_count(&event), 1u);
  emu::clock::advance(100ns);
  // advance() returns only once the released waiter has left its wait.
  EXPECT_EQ(status.load(), STATUS_TIMEOUT);
  waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - real_start, 10s);
}

TEST_F(FrozenClock, AbsoluteTimeoutFollowsTheSystemTime) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER deadline;
  KeQuerySystemTime(&deadline);
  deadline.QuadPart += 5 * 10000000LL;
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread waiter(
      [&] { status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline); });
  ASSERT_TRUE(emu::ke::wait_for_waiters(&event, 1));
  emu::clock::advance(4999ms);
  EXPECT_EQ(status.load(), STATUS_PENDING);
  emu::clock::advance(1ms);
  EXPECT_EQ(status.load(), STATUS_TIMEOUT);
  waiter.join();
}

TEST_F(FrozenClock, SignalBeforeTheDeadlineWinsOverTheTimeout) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread waiter([&] {
    LARGE_INTEGER t = relative(50ms);
    status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
  });
  ASSERT_TRUE(emu::ke::wait_for_waiters(&event, 1));
  emu::clock::advance(49ms);
  KeSetEvent(&event, 0, FALSE);
  waiter.join();
  EXPECT_EQ(status.load(), STATUS_SUCCESS);
  EXPECT_EQ(emu::ke::timed_waiter_count(), 0u);
}

// The per-thread query tells one thread's timed wait from another's, and
// sees no time-out in an untimed wait or in a wait already ended.
TEST_F(FrozenClock, TimedWaitDueNamesTheThreadAndItsDueTime) {
  KEVENT first, second, other;
  KeInitializeEvent(&first, NotificationEvent, FALSE);
  KeInitializeEvent(&second, NotificationEvent, FALSE);
  KeInitializeEvent(&other, NotificationEvent, FALSE);
  std::atomic<PKTHREAD> self{nullptr};
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread waiter([&] {
    self = KeGetCurrentThread();
    KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
    LARGE_INTEGER t = relative(30ms);
    status = KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, &t);
  });
  std::thread bystander([&] {
    LARGE_INTEGER t = relative(5ms);
    KeWaitForSingleObject(&other, Executive, KernelMode, FALSE, &t);
  });
  ASSERT_TRUE(emu::ke::wait_for_waiters(&first, 1));
  ASSERT_TRUE(emu::ke::wait_for_waiters(&other, 1));
  PKTHREAD thread = self.load();
  // Blocked, but with no time-out; the bystander's timed wait is not its.
  EXPECT_FALSE(emu::ke::timed_wait_due(thread).has_value());
  EXPECT_FALSE(emu::ke::wait_thread_timed_wait(
      thread, [](emu::clock::duration) { return true; }, 20ms));

  const emu::clock::duration ends = emu::clock::now() + 30ms;
  KeSetEvent(&first, 0, FALSE);
  ASSERT_TRUE(emu::ke::wait_thread_timed_wait(thread, [&](emu::clock::duration due) { return due == ends; }));
  EXPECT_EQ(emu::ke::timed_wait_due(thread), ends);
  emu::clock::advance(29ms);  // the bystander's wait ends on the way; this one does not
  bystander.join();
  EXPECT_EQ(emu::ke::timed_wait_due(thread), ends);
  emu::clock::advance(1ms);
  EXPECT_EQ(status.load(), STATUS_TIMEOUT);
  EXPECT_FALSE(emu::ke::timed_wait_due(thread).has_value());
  waiter.join();
}

TEST_F(FrozenClock, ReadsDoNotMoveUntilAdvanced) {
  const int64_t t0 = emu::clock::interrupt_time();
  LARGE_INTEGER s0;
  KeQuerySystemTime(&s0);
  std::this_thread::sleep_for(2ms);
  EXPECT_EQ(static_cast<int64_t>(KeQueryInterruptTime()), t0);
  emu::clock::advance(1234us);
  EXPECT_EQ(static_cast<int64_t>(KeQueryInterruptTime()), t0 + 12340);
  LARGE_INTEGER s1;
  KeQuerySystemTime(&s1);
  EXPECT_EQ(s1.QuadPart - s0.QuadPart, 12340);
}

struct DpcLog {
  std::mutex lock;
  std::vector<std::pair<int, int64_t>> runs;  // (id, interrupt time when it ran)
  std::vector<KIRQL> irqls;
};

VOID NTAPI log_dpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* entry = static_cast<std::pair<DpcLog*, int>*>(context);
  std::lock_guard<std::mutex> g(entry->first->lock);
  entry->first->runs.emplace_back(entry->second, static_cast<int64_t>(KeQueryInterruptTime()));
  entry->first->irqls.push_back(KeGetCurrentIrql());
}

TEST_F(FrozenClock, TimersExpireInDueOrderAndTheirDpcsRunBeforeAdvanceReturns) {
  DpcLog log;
  KTIMER timers[3];
  KDPC dpcs[3];
  std::pair<DpcLog*, int> ctx[3] = {{&log, 30}, {&log, 10}, {&log, 20}};
  const int64_t t0 = emu::clock::interrupt_time();
  for (int i = 0; i < 3; ++i) {
    KeInitializeTimer(&timers[i]);
    KeInitializeDpc(&dpcs[i], log_dpc, &ctx[i]);
    EXPECT_FALSE(KeSetTimer(&timers[i], relative(std::chrono::milliseconds(ctx[i].second)), &dpcs[i]));
  }
  emu::clock::advance(25ms);
  {
    std::lock_guard<std::mutex> g(log.lock);
    ASSERT_EQ(log.runs.size(), 2u);
    EXPECT_EQ(log.runs[0].first, 10);
    EXPECT_EQ(log.runs[0].second, t0 + 10 * 10000);
    EXPECT_EQ(log.runs[1].first, 20);
    EXPECT_EQ(log.runs[1].second, t0 + 20 * 10000);
    for (KIRQL irql : log.irqls) EXPECT_EQ(irql, DISPATCH_LEVEL);
  }
  EXPECT_TRUE(KeReadStateTimer(&timers[1]));
  EXPECT_FALSE(KeReadStateTimer(&timers[0]));
  emu::clock::advance(5ms);
  std::lock_guard<std::mutex> g(log.lock);
  ASSERT_EQ(log.runs.size(), 3u);
  EXPECT_EQ(log.runs[2].first, 30);
}

TEST_F(FrozenClock, PeriodicTimerFiresOncePerPeriodUntilCancelled) {
  DpcLog log;
  std::pair<DpcLog*, int> ctx{&log, 1};
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeInitializeDpc(&dpc, log_dpc, &ctx);
  KeSetTimerEx(&timer, relative(10ms), 10, &dpc);
  emu::clock::advance(55ms);
  EXPECT_EQ(log.runs.size(), 5u);
  EXPECT_TRUE(KeCancelTimer(&timer));
  emu::clock::advance(100ms);
  EXPECT_EQ(log.runs.size(), 5u);
}

TEST_F(FrozenClock, JumpExpiresAPeriodicTimerOnceAndRearmsItAfterTheTarget) {
  DpcLog log;
  std::pair<DpcLog*, int> ctx{&log, 1};
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, log_dpc, &ctx);
  KeSetTimerEx(&timer, relative(10ms), 10, &dpc);
  emu::clock::jump(100s);
  EXPECT_EQ(log.runs.size(), 1u);
  emu::clock::advance(10ms);
  EXPECT_EQ(log.runs.size(), 2u);
  EXPECT_TRUE(KeCancelTimer(&timer));
}

// A system thread that polls every millisecond, as worker threads do.
struct Poller {
  KEVENT stop;
  std::atomic<int> timeouts{0};
  HANDLE handle = nullptr;
  PVOID thread = nullptr;

  static VOID NTAPI body(PVOID context) {
    auto* self = static_cast<Poller*>(context);
    LARGE_INTEGER t = relative(1ms);
    while (KeWaitForSingleObject(&self->stop, Executive, KernelMode, FALSE, &t) == STATUS_TIMEOUT)
      ++self->timeouts;
    PsTerminateSystemThread(STATUS_SUCCESS);
  }
  void start() {
    KeInitializeEvent(&stop, NotificationEvent, FALSE);
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, body, this),
              STATUS_SUCCESS);
    ASSERT_EQ(
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    ZwClose(handle);
  }
  void finish() {
    KeSetEvent(&stop, 0, FALSE);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
};

TEST_F(FrozenClock, AdvanceReleasesAOneMillisecondPollerOncePerMillisecond) {
  Poller poller;
  poller.start();
  ASSERT_TRUE(emu::ke::wait_for_waiters(&poller.stop, 1));
  emu::clock::advance(10ms);
  EXPECT_EQ(poller.timeouts.load(), 10);
  emu::clock::advance(500us);
  EXPECT_EQ(poller.timeouts.load(), 10);
  emu::clock::advance(500us);
  EXPECT_EQ(poller.timeouts.load(), 11);
  // A long jump wakes it once, not a hundred thousand times.
  emu::clock::jump(100s);
  EXPECT_EQ(poller.timeouts.load(), 12);
  poller.finish();
}

TEST_F(FrozenClock, DelayExecutionEndsOnlyWhenTheClockReachesIt) {
  std::atomic<bool> done{false};
  emu::ke::queue_work_item([&] {
    LARGE_INTEGER t = relative(30ms);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
    done = true;
  });
  // advance() first lets the worker reach its delay, so no race with the start.
  emu::clock::advance(29ms);
  EXPECT_FALSE(done.load());
  emu::clock::advance(1ms);
  ASSERT_TRUE(emu::wait_quiescent());
  EXPECT_TRUE(done.load());
}

TEST(Clock, AdvanceRefusesARunningClock) {
  EXPECT_THROW(emu::clock::advance(1ms), std::logic_error);
  EXPECT_THROW(emu::clock::jump(1ms), std::logic_error);
}

TEST(Clock, UnfreezeContinuesMonotonicallyAndReleasesPendingWaitsInRealTime) {
  emu::clock::freeze();
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread waiter([&] {
    LARGE_INTEGER t = relative(20ms);
    status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
  });
  ASSERT_TRUE(emu::ke::wait_for_waiters(&event, 1));
  const int64_t frozen_at = emu::clock::interrupt_time();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(status.load(), STATUS_PENDING);  // real time passing does not count while frozen
  emu::clock::unfreeze();
  EXPECT_GE(emu::clock::interrupt_time(), frozen_at);
  waiter.join();
  EXPECT_EQ(status.load(), STATUS_TIMEOUT);
  EXPECT_GE(emu::clock::interrupt_time(), frozen_at + 20 * 10000);
}

// How late a 1 ms wait wakes on this machine, and that it never wakes early.
TEST(Clock, OneMillisecondWaitNeverWakesEarly) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  constexpr int kRounds = 200;
  std::vector<double> late_us;
  for (int i = 0; i < kRounds; ++i) {
    LARGE_INTEGER t = relative(1ms);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    auto took = std::chrono::steady_clock::now() - start;
    ASSERT_GE(took, 1ms);
    late_us.push_back(std::chrono::duration<double, std::micro>(took - 1ms).count());
  }
  std::sort(late_us.begin(), late_us.end());
  double median = late_us[kRounds / 2], p99 = late_us[kRounds * 99 / 100];
  std::cout << "1 ms timed wait wakes late by: median " << median << " us, p99 " << p99 << " us\n";
  RecordProperty("late_median_us", static_cast<int>(median));
  RecordProperty("late_p99_us", static_cast<int>(p99));
}

}  // namespace
