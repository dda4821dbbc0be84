// The controllable clock, its tick, timers and DPCs: what the driver's own
// time-outs do not reach (absolute and periodic due times, synchronization
// timers, the DPC queue's rules, jumps, unfreezing, the tick's rounding) and
// the races between expiry and cancellation.

#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "io_test_util.h"

namespace {

using namespace std::chrono_literals;
using emu::clock::duration;

using iotest::relative;

int64_t units(duration d) { return d.count() / 100; }

int64_t first_tick_at_or_after(int64_t t, duration tick) {
  return (t + units(tick) - 1) / units(tick) * units(tick);
}

class FrozenClock : public ::testing::Test {
 protected:
  void SetUp() override { emu::clock::freeze(); }
  void TearDown() override { emu::clock::unfreeze(); }
};

// A timed wait on another thread: its status, once it ended.
struct Waiter {
  KEVENT event;
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread thread;
  explicit Waiter(LARGE_INTEGER due) {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    thread = std::thread([this, due] {
      LARGE_INTEGER t = due;
      status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t);
    });
    EXPECT_TRUE(emu::ke::wait_for_waiters(&event, 1));
  }
  ~Waiter() {
    if (thread.joinable()) thread.join();
  }
};

// Absolute and relative due times end a wait when the clock reaches them
// (advance() returns only once the released waiter has left its wait), not
// before and without sleeping; a signal before the deadline wins; an
// absolute time already past ends the wait at once.
TEST_F(FrozenClock, TimedWaitsEndWhenTheClockReachesThemAndNotBefore) {
  const auto real_start = std::chrono::steady_clock::now();
  const int64_t t0 = emu::clock::interrupt_time();
  LARGE_INTEGER s0, s1, deadline;
  KeQuerySystemTime(&s0);
  deadline.QuadPart = s0.QuadPart + units(100s);
  {
    Waiter w(deadline);
    emu::clock::advance(100s - 100ns);
    EXPECT_EQ(w.status.load(), STATUS_PENDING);
    EXPECT_EQ(emu::ke::waiter_count(&w.event), 1u);
    emu::clock::advance(100ns);
    EXPECT_EQ(w.status.load(), STATUS_TIMEOUT);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - real_start, 10s);
  EXPECT_EQ(static_cast<int64_t>(KeQueryInterruptTime()), t0 + units(100s));
  KeQuerySystemTime(&s1);
  EXPECT_EQ(s1.QuadPart - s0.QuadPart, units(100s));
  Waiter w(relative(50ms));
  emu::clock::advance(50ms - 100ns);
  EXPECT_EQ(w.status.load(), STATUS_PENDING);
  KeSetEvent(&w.event, 0, FALSE);
  w.thread.join();
  EXPECT_EQ(w.status.load(), STATUS_SUCCESS);
  EXPECT_EQ(emu::ke::timed_waiter_count(), 0u);
  KeClearEvent(&w.event);
  EXPECT_EQ(KeWaitForSingleObject(&w.event, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
}

struct DpcLog {
  std::mutex lock;
  std::vector<int> ids;
  std::vector<int64_t> times;  // interrupt time when each ran
  std::vector<KIRQL> irqls;
  std::vector<std::thread::id> threads;
  std::vector<std::pair<PVOID, PVOID>> args;
  std::size_t size() {
    std::lock_guard<std::mutex> g(lock);
    return ids.size();
  }
};

struct Logged {
  DpcLog* log;
  int id;
  KDPC dpc;
  KTIMER timer;
  Logged(DpcLog* l, int i, TIMER_TYPE type = NotificationTimer) : log(l), id(i) {
    KeInitializeDpc(&dpc, run, this);
    KeInitializeTimerEx(&timer, type);
  }
  static VOID NTAPI run(PKDPC, PVOID context, PVOID a1, PVOID a2) {
    auto* self = static_cast<Logged*>(context);
    std::lock_guard<std::mutex> g(self->log->lock);
    self->log->ids.push_back(self->id);
    self->log->times.push_back(static_cast<int64_t>(KeQueryInterruptTime()));
    self->log->irqls.push_back(KeGetCurrentIrql());
    self->log->threads.push_back(std::this_thread::get_id());
    self->log->args.emplace_back(a1, a2);
  }
};

// Timers expire in due order, their DPCs run at DISPATCH_LEVEL on another
// thread with the system time as arguments, before advance() returns.
TEST_F(FrozenClock, TimersExpireInDueOrderAndSetAndCancelReportWhetherTheyWereSet) {
  DpcLog log;
  Logged t30(&log, 30), t10(&log, 10), t20(&log, 20);
  const int64_t t0 = emu::clock::interrupt_time();
  for (Logged* t : {&t30, &t10, &t20})
    EXPECT_FALSE(KeSetTimer(&t->timer, relative(std::chrono::milliseconds(t->id)), &t->dpc));
  EXPECT_FALSE(KeReadStateTimer(&t10.timer));
  emu::clock::advance(25ms);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log.ids, (std::vector<int>{10, 20}));
  EXPECT_EQ(log.times, (std::vector<int64_t>{t0 + units(10ms), t0 + units(20ms)}));
  EXPECT_EQ(log.irqls, (std::vector<KIRQL>{DISPATCH_LEVEL, DISPATCH_LEVEL}));
  EXPECT_NE(log.threads[0], std::this_thread::get_id());
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  now.QuadPart -= units(5ms);  // when the second ran
  EXPECT_EQ(log.args[1],
            std::make_pair(PVOID(uintptr_t(now.LowPart)), PVOID(uintptr_t(ULONG(now.HighPart)))));
  EXPECT_TRUE(KeReadStateTimer(&t10.timer));
  EXPECT_FALSE(KeReadStateTimer(&t30.timer));
  emu::clock::advance(5ms);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log.ids[2], 30);
  emu::clock::advance(1s);
  EXPECT_EQ(log.size(), 3u);  // once each

  // Set and cancel report whether the timer was set; a re-set replaces the
  // first due time and clears the signal; a due time already passed expires at once.
  DpcLog other;
  Logged t(&other, 1);
  EXPECT_FALSE(KeCancelTimer(&t.timer));
  EXPECT_FALSE(KeSetTimer(&t.timer, relative(1ms), nullptr));
  EXPECT_TRUE(KeSetTimer(&t.timer, relative(2ms), nullptr));
  emu::clock::advance(1ms);
  EXPECT_FALSE(KeReadStateTimer(&t.timer));
  EXPECT_TRUE(KeCancelTimer(&t.timer));
  EXPECT_FALSE(KeCancelTimer(&t.timer));
  emu::clock::advance(5ms);
  EXPECT_FALSE(KeReadStateTimer(&t.timer));  // cancelled before it fired
  KeSetTimer(&t.timer, relative(1ms), nullptr);
  emu::clock::advance(1ms);
  EXPECT_TRUE(KeReadStateTimer(&t.timer));
  EXPECT_FALSE(KeCancelTimer(&t.timer));  // expired: no longer set
  KeSetTimer(&t.timer, relative(1ms), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&t.timer));  // setting clears the signal
  KeCancelTimer(&t.timer);
  LARGE_INTEGER absolute_zero{};
  EXPECT_FALSE(KeSetTimer(&t.timer, absolute_zero, &t.dpc));
  EXPECT_TRUE(KeReadStateTimer(&t.timer));
  emu::ke::flush_dpcs();
  EXPECT_EQ(other.size(), 1u);
}

// A periodic timer fires once a period until cancelled; a jump expires it
// once and re-arms it a period after the target.  A synchronization timer
// releases one waiter per expiry and resets.
TEST_F(FrozenClock, PeriodicAndSynchronizationTimers) {
  DpcLog log;
  Logged periodic(&log, 1), jumped(&log, 2), sync(&log, 3, SynchronizationTimer);
  KeSetTimerEx(&periodic.timer, relative(10ms), 10, &periodic.dpc);
  emu::clock::advance(55ms);
  EXPECT_EQ(log.size(), 5u);
  EXPECT_TRUE(KeCancelTimer(&periodic.timer));
  KeSetTimerEx(&jumped.timer, relative(10ms), 10, &jumped.dpc);
  emu::clock::jump(100s);
  EXPECT_EQ(log.size(), 6u);
  emu::clock::advance(10ms);
  EXPECT_EQ(log.size(), 7u);
  EXPECT_TRUE(KeCancelTimer(&jumped.timer));

  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      KeWaitForSingleObject(&sync.timer, Executive, KernelMode, FALSE, nullptr);
      ++released;
    });
  }
  ASSERT_TRUE(emu::ke::wait_for_waiters(&sync.timer, 2));
  KeSetTimer(&sync.timer, relative(1ms), nullptr);
  emu::clock::advance(1ms);
  EXPECT_EQ(emu::ke::waiter_count(&sync.timer), 1u);
  EXPECT_FALSE(KeReadStateTimer(&sync.timer));
  KeSetTimer(&sync.timer, relative(1ms), nullptr);
  emu::clock::advance(1ms);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 2);
}

// A system thread that polls every millisecond, as worker threads do: the
// clock releases it once a millisecond, and a long jump once.
TEST_F(FrozenClock, AdvanceReleasesAOneMillisecondPollerOncePerMillisecond) {
  static KEVENT stop;
  static std::atomic<int> timeouts;
  KeInitializeEvent(&stop, NotificationEvent, FALSE);
  timeouts = 0;
  PVOID thread = iotest::start_thread(
      [](PVOID) NTAPI {
        LARGE_INTEGER t = relative(1ms);
        while (KeWaitForSingleObject(&stop, Executive, KernelMode, FALSE, &t) == STATUS_TIMEOUT) ++timeouts;
      },
      nullptr);
  ASSERT_TRUE(emu::ke::wait_for_waiters(&stop, 1));
  emu::clock::advance(10ms);
  EXPECT_EQ(timeouts.load(), 10);
  emu::clock::advance(500us);
  EXPECT_EQ(timeouts.load(), 10);
  emu::clock::advance(500us);
  EXPECT_EQ(timeouts.load(), 11);
  emu::clock::jump(100s);  // once, not a hundred thousand times
  EXPECT_EQ(timeouts.load(), 12);
  KeSetEvent(&stop, 0, FALSE);
  iotest::join(thread);
}

VOID NTAPI note_time(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<std::atomic<int64_t>*>(context)->store(static_cast<int64_t>(KeQueryInterruptTime()));
}

// For each tick and each due time, from a clock stopped on a tick and from
// one stopped between ticks: a wait and a timer of the same due time end on
// the same tick, not before it, and KeQueryTimeIncrement tells the tick.
TEST(ClockTick, WaitsAndTimersEndOnTheFirstTickAtOrAfterTheirDueTime) {
  const std::pair<duration, duration> cases[] = {
      {emu::clock::windows_tick, 1ms},
      {emu::clock::windows_tick, 15625us},
      {emu::clock::windows_tick, 16ms},
      {emu::clock::windows_tick, 50ms},
      {1ms, 1ms},
      {1ms, 1500us},
      {1ms, 5ms},
      {100ns, 1234us},
  };
  for (const auto& [tick, due] : cases) {
    for (duration offset : {duration(0), duration(300us)}) {
      SCOPED_TRACE(testing::Message() << "tick " << tick.count() << " ns, due " << due.count() << " ns, from "
                                      << offset.count() << " ns past a tick");
      emu::clock::set_tick(tick);
      EXPECT_EQ(KeQueryTimeIncrement(), ULONG(units(tick)));
      emu::clock::freeze();
      ASSERT_EQ(emu::clock::interrupt_time() % units(tick), 0) << "freeze() stops the clock on a tick";
      if (offset > duration(0)) emu::clock::advance(offset);
      const int64_t start = emu::clock::interrupt_time();
      const int64_t expected = first_tick_at_or_after(start + units(due), tick);

      std::atomic<int64_t> timer_fired{-1}, wait_ended{-1};
      KTIMER timer;
      KDPC dpc;
      KeInitializeTimer(&timer);
      KeInitializeDpc(&dpc, note_time, &timer_fired);
      KeSetTimer(&timer, relative(due), &dpc);
      std::thread waiter([&] {
        LARGE_INTEGER t = relative(due);
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &t), STATUS_SUCCESS);
        wait_ended = static_cast<int64_t>(KeQueryInterruptTime());
      });
      while (emu::ke::timed_waiter_count() == 0) std::this_thread::yield();

      emu::clock::advance(duration((expected - start) * 100 - 100));
      EXPECT_EQ(wait_ended.load(), -1) << "ended before its tick";
      EXPECT_EQ(timer_fired.load(), -1) << "fired before its tick";
      EXPECT_FALSE(KeReadStateTimer(&timer));
      emu::clock::advance(100ns);
      waiter.join();
      emu::ke::flush_dpcs();
      EXPECT_EQ(wait_ended.load(), expected);
      EXPECT_EQ(timer_fired.load(), expected);
      emu::clock::unfreeze();
    }
  }
}

// A running clock refuses advance() and jump(); unfrozen, it goes on in real
// time, where a 1 ms wait lasts until the next tick, never less (at Windows'
// tick a driver polling every millisecond looks about 64 times a second).
// Out-of-range ticks are refused, and a reset brings the suite's back.
TEST(ClockTick, RealOneMillisecondWaitsLastATickAndResetRestoresTheDefault) {
  EXPECT_THROW(emu::clock::advance(1ms), std::logic_error);
  EXPECT_THROW(emu::clock::jump(1ms), std::logic_error);
  emu::clock::freeze();
  Waiter waiter(relative(20ms));
  const int64_t frozen_at = emu::clock::interrupt_time();
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(waiter.status.load(), STATUS_PENDING);  // real time passing does not count while frozen
  emu::clock::unfreeze();
  EXPECT_GE(emu::clock::interrupt_time(), frozen_at);
  waiter.thread.join();
  EXPECT_EQ(waiter.status.load(), STATUS_TIMEOUT);
  EXPECT_GE(emu::clock::interrupt_time(), frozen_at + units(20ms));
  const duration suite_default = emu::clock::tick();
  EXPECT_THROW(emu::clock::set_tick(50ns), std::invalid_argument);
  EXPECT_THROW(emu::clock::set_tick(11s), std::invalid_argument);
  for (const auto& [tick, rounds] : {std::pair(suite_default, 50), std::pair(emu::clock::windows_tick, 3)}) {
    emu::clock::set_tick(tick);
    EXPECT_EQ(emu::clock::tick(), tick);
    for (int i = 0; i < rounds; ++i) {
      const int64_t before = static_cast<int64_t>(KeQueryInterruptTime());
      const auto real_before = std::chrono::steady_clock::now();
      LARGE_INTEGER t = relative(1ms);
      KeDelayExecutionThread(KernelMode, FALSE, &t);
      ASSERT_GE(std::chrono::steady_clock::now() - real_before, 1ms);
      EXPECT_GE(static_cast<int64_t>(KeQueryInterruptTime()),
                first_tick_at_or_after(before + units(1ms), tick));
      LARGE_INTEGER ticks;
      KeQueryTickCount(&ticks);
      EXPECT_EQ(ticks.QuadPart, static_cast<int64_t>(KeQueryInterruptTime()) / units(tick));
    }
  }
  emu::kernel_reset();
  EXPECT_EQ(emu::clock::tick(), suite_default);
}

// Real clock: a timer due within a few hundred microseconds races a
// KeCancelTimer.  A cancel that reports the timer as set means its DPC never
// runs, and one that does not means it runs exactly once.
TEST(KeTimers, CancelRacingExpiryGivesExactlyOnceOrNever) {
  constexpr int kRounds = 2000;
  static std::vector<std::atomic<int>> per_round(kRounds);
  static std::atomic<int> round{0};
  static KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  for (auto& r : per_round) r = 0;
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID, PVOID, PVOID) NTAPI {
        per_round[round.load()]++;
        KeSetEvent(&done, 0, FALSE);
      },
      nullptr);
  std::mt19937 rng(12345);
  std::vector<bool> cancelled(kRounds);
  int n_cancelled = 0;
  for (int r = 0; r < kRounds; ++r) {
    KeClearEvent(&done);
    round = r;
    KeSetTimer(&timer, relative(duration(100 * (rng() % 2000))), &dpc);
    auto spin_until = std::chrono::steady_clock::now() + std::chrono::microseconds(rng() % 200);
    while (std::chrono::steady_clock::now() < spin_until) {
    }
    cancelled[r] = KeCancelTimer(&timer);
    if (cancelled[r]) {
      ++n_cancelled;
    } else {
      LARGE_INTEGER limit = relative(5s);
      ASSERT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS)
          << "round " << r << ": the timer was not set any more but its DPC never ran";
    }
  }
  emu::ke::flush_dpcs();
  for (int r = 0; r < kRounds; ++r) ASSERT_EQ(per_round[r].load(), cancelled[r] ? 0 : 1) << "round " << r;
  std::cout << "cancel won " << n_cancelled << " of " << kRounds << " races\n";
}

// The DPC queue, held up behind a DPC that blocks the DPC thread: a second
// insert queues nothing (the first arguments stay), a removal takes a DPC
// back, high importance goes to the front, and a running DPC may queue
// itself again.
TEST(KeDpcs, QueueRules) {
  static std::atomic<int> gate{0};
  KDPC block;
  KeInitializeDpc(
      &block,
      [](PKDPC, PVOID, PVOID, PVOID) NTAPI {
        gate = 1;
        while (gate != 2) std::this_thread::yield();
      },
      nullptr);
  DpcLog log;
  Logged a(&log, 1), b(&log, 2), low(&log, 3), high(&log, 4);
  KeSetImportanceDpc(&high.dpc, HighImportance);
  gate = 0;
  ASSERT_TRUE(KeInsertQueueDpc(&block, nullptr, nullptr));
  while (gate != 1) std::this_thread::yield();
  EXPECT_TRUE(KeInsertQueueDpc(&a.dpc, PVOID(1), nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&a.dpc, PVOID(2), nullptr));  // already queued: the first arguments stay
  EXPECT_TRUE(KeInsertQueueDpc(&b.dpc, nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&b.dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&b.dpc));
  EXPECT_TRUE(KeInsertQueueDpc(&low.dpc, nullptr, nullptr));
  EXPECT_TRUE(KeInsertQueueDpc(&high.dpc, nullptr, nullptr));
  gate = 2;
  emu::ke::flush_dpcs();
  EXPECT_EQ(log.ids, (std::vector<int>{4, 1, 3}));
  EXPECT_EQ(log.args[1].first, PVOID(1));
  EXPECT_FALSE(KeRemoveQueueDpc(&a.dpc));  // ran: not queued any more

  static std::atomic<int> runs{0};
  KDPC requeue;
  KeInitializeDpc(
      &requeue,
      [](PKDPC dpc, PVOID, PVOID, PVOID) NTAPI {
        if (++runs < 3) {
          EXPECT_TRUE(KeInsertQueueDpc(dpc, nullptr, nullptr));  // no longer queued
        }
      },
      nullptr);
  runs = 0;
  KeInsertQueueDpc(&requeue, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_EQ(runs.load(), 3);
}

}  // namespace
