// The clock tick: timers and timed waits end on the first tick at or after
// their due time, whatever the tick, on the frozen clock and in real time.

#include <emu/kernel.h>
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;
using emu::clock::duration;

LARGE_INTEGER relative(duration d) {
  LARGE_INTEGER t;
  t.QuadPart = -(d.count() / 100);
  return t;
}

int64_t units(duration d) { return d.count() / 100; }

int64_t first_tick_at_or_after(int64_t t, duration tick) {
  return (t + units(tick) - 1) / units(tick) * units(tick);
}

VOID NTAPI note_time(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<std::atomic<int64_t>*>(context)->store(static_cast<int64_t>(KeQueryInterruptTime()));
}

// For each tick and each due time, from a clock stopped on a tick and from
// one stopped between ticks: a wait and a timer of the same due time end on
// the same tick, not before it, and KeQueryTimeIncrement tells the tick.
TEST(ClockTick, WaitsAndTimersEndOnTheFirstTickAtOrAfterTheirDueTime) {
  struct Case {
    duration tick;
    duration due;
  };
  const Case cases[] = {
      {emu::clock::windows_tick, 1ms},
      {emu::clock::windows_tick, 15625us},
      {emu::clock::windows_tick, 16ms},
      {emu::clock::windows_tick, 50ms},
      {1ms, 1ms},
      {1ms, 1500us},
      {1ms, 5ms},
      {100ns, 1234us},
  };
  for (const Case& c : cases) {
    for (duration offset : {duration(0), duration(300us)}) {
      SCOPED_TRACE(testing::Message() << "tick " << c.tick.count() << " ns, due " << c.due.count()
                                      << " ns, from " << offset.count() << " ns past a tick");
      emu::clock::set_tick(c.tick);
      EXPECT_EQ(KeQueryTimeIncrement(), ULONG(units(c.tick)));
      emu::clock::freeze();
      ASSERT_EQ(emu::clock::interrupt_time() % units(c.tick), 0) << "freeze() stops the clock on a tick";
      if (offset > duration(0)) emu::clock::advance(offset);
      const int64_t start = emu::clock::interrupt_time();
      const int64_t expected = first_tick_at_or_after(start + units(c.due), c.tick);

      std::atomic<int64_t> timer_fired{-1};
      KTIMER timer;
      KDPC dpc;
      KeInitializeTimer(&timer);
      KeInitializeDpc(&dpc, note_time, &timer_fired);
      KeSetTimer(&timer, relative(c.due), &dpc);
      std::atomic<int64_t> wait_ended{-1};
      std::thread waiter([&] {
        LARGE_INTEGER t = relative(c.due);
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

// In real time a 1 ms wait lasts until the next tick: at Windows' tick a
// driver that polls every millisecond looks about 64 times a second.
TEST(ClockTick, RealOneMillisecondWaitsLastATick) {
  emu::clock::set_tick(emu::clock::windows_tick);
  for (int i = 0; i < 3; ++i) {
    const int64_t before = static_cast<int64_t>(KeQueryInterruptTime());
    LARGE_INTEGER t = relative(1ms);
    KeDelayExecutionThread(KernelMode, FALSE, &t);
    const int64_t after = static_cast<int64_t>(KeQueryInterruptTime());
    EXPECT_GE(after, first_tick_at_or_after(before + units(1ms), emu::clock::windows_tick));
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(ticks.QuadPart, static_cast<int64_t>(KeQueryInterruptTime()) / units(emu::clock::windows_tick));
  }
}

TEST(ClockTick, OutOfRangeTicksAreRefusedAndResetRestoresTheDefault) {
  EXPECT_THROW(emu::clock::set_tick(50ns), std::invalid_argument);
  EXPECT_THROW(emu::clock::set_tick(11s), std::invalid_argument);
  const duration suite_default = emu::clock::tick();
  emu::clock::set_tick(emu::clock::windows_tick);
  EXPECT_EQ(emu::clock::tick(), emu::clock::windows_tick);
  emu::kernel_reset();
  EXPECT_EQ(emu::clock::tick(), suite_default);
}

}  // namespace
