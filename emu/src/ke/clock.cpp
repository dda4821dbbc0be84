// The clock: interrupt time and system time in 100 ns units, real by default,
// frozen and advanced step by step under test control.

#include "ke/ke_internal.h"

#include <atomic>
#include <limits>
#include <stdexcept>

namespace emu::ke {
namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochIn1601 = 116444736000000000LL;
constexpr int64_t kWindowsTick = 156250;  // 15.625 ms, Windows' default clock tick

// The tick: timers expire and timed waits end on the first tick at or after
// their due time.  Read under the dispatcher lock on every wait, so atomic
// rather than under the clock lock.  kernel_reset() restores the default.
std::atomic<int64_t> g_tick{kWindowsTick};
std::atomic<int64_t> g_default_tick{kWindowsTick};

// A leaf lock: taken inside the dispatcher lock, never around it.
struct ClockState {
  std::mutex lock;
  bool frozen = false;
  int64_t frozen_at = 0;
  int64_t offset = 0;  // interrupt time = offset + (steady now - base)
  Clock::time_point base = Clock::now();
  int64_t system_base = kUnixEpochIn1601 + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                                   .count() /
                                               100;
  std::chrono::nanoseconds grace = std::chrono::seconds(1);
};

ClockState& clock_state() {
  static ClockState* s = new ClockState;
  return *s;
}

int64_t elapsed_units(Clock::time_point now, Clock::time_point base) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(now - base).count() / 100;
}

int64_t tick_units(std::chrono::nanoseconds d) {
  if (d.count() < 100) throw std::invalid_argument("emu::clock: the tick must be at least 100 ns");
  if (d > std::chrono::seconds(10)) throw std::invalid_argument("emu::clock: a tick longer than 10 s");
  return d.count() / 100;
}

int64_t to_units(std::chrono::nanoseconds d) { return d.count() / 100 + (d.count() % 100 != 0 ? 1 : 0); }

void set_frozen_time(int64_t t) {
  std::lock_guard<std::mutex> c(clock_state().lock);
  if (t > clock_state().frozen_at) clock_state().frozen_at = t;
}

int64_t frozen_time() {
  std::lock_guard<std::mutex> c(clock_state().lock);
  return clock_state().frozen_at;
}

struct Snapshot {
  PKTHREAD thread;
  uint64_t blocking_waits;
};

// Waits (dispatcher lock held, released while waiting) until the DPCs have run,
// the workers are idle or blocked, and every thread the step released has
// blocked again or ended, or the grace period is over.
void settle_locked(Guard& g, const std::vector<PKTHREAD>& released) {
  Kernel& k = kernel();
  std::vector<Snapshot> snaps;
  snaps.reserve(released.size());
  for (PKTHREAD t : released) snaps.push_back({t, t->blocking_waits});
  std::chrono::nanoseconds grace;
  {
    std::lock_guard<std::mutex> c(clock_state().lock);
    grace = clock_state().grace;
  }
  const auto give_up = Clock::now() + grace;
  for (;;) {
    bool settled = dpc_idle_locked() && worker_settled_locked();
    for (const Snapshot& s : snaps) {
      if (!settled) break;
      if (k.threads.count(s.thread) == 0) continue;  // ended and gone
      if (s.thread->exited) continue;
      if (s.thread->blocking_waits > s.blocking_waits) continue;
      settled = false;
    }
    if (settled) return;
    auto now = Clock::now();
    if (now >= give_up) return;
    k.idle_cv.wait_until(g, std::min(give_up, now + std::chrono::milliseconds(1)));
  }
}

void require_frozen(const char* what) {
  std::lock_guard<std::mutex> c(clock_state().lock);
  if (!clock_state().frozen) throw std::logic_error(std::string(what) + ": the clock is not frozen");
}

struct AdvancingScope {
  explicit AdvancingScope(Guard& g) {
    if (kernel().advancing) {
      g.unlock();
      throw std::logic_error("emu::clock: advance/jump called while another is in progress");
    }
    kernel().advancing = true;
  }
  ~AdvancingScope() { kernel().advancing = false; }
};

// Expires every timer and ends every timed wait due at or before `now`, in due
// order, collecting the threads released.
void expire_due_locked(int64_t now, bool coarse, std::vector<PKTHREAD>& released) {
  Kernel& k = kernel();
  k.released = &released;
  for (;;) {
    int64_t next_timer =
        k.timers.empty() ? std::numeric_limits<int64_t>::max() : on_tick(k.timers.begin()->first);
    int64_t next_wait = k.timed_waiters.empty() ? std::numeric_limits<int64_t>::max()
                                                : on_tick(k.timed_waiters.begin()->first);
    if (next_timer <= now && next_timer <= next_wait) {
      expire_timer_locked(k.timers.begin()->second, now, coarse);
    } else if (next_wait <= now) {
      finish_wait_locked(k.timed_waiters.begin()->second, STATUS_TIMEOUT);
    } else {
      break;
    }
  }
  k.released = nullptr;
}

}  // namespace

int64_t on_tick(int64_t due) {
  const int64_t tick = g_tick.load(std::memory_order_relaxed);
  if (due <= 0) return due;
  if (due > std::numeric_limits<int64_t>::max() - tick) return std::numeric_limits<int64_t>::max();
  return (due + tick - 1) / tick * tick;
}

void reset_tick() { g_tick.store(g_default_tick.load()); }

int64_t interrupt_now() {
  ClockState& c = clock_state();
  std::lock_guard<std::mutex> guard(c.lock);
  if (c.frozen) return c.frozen_at;
  return c.offset + elapsed_units(Clock::now(), c.base);
}

int64_t system_now() { return clock_state().system_base + interrupt_now(); }

int64_t system_to_interrupt(int64_t system_time) { return system_time - clock_state().system_base; }

Clock::time_point real_deadline(int64_t interrupt_t) {
  ClockState& c = clock_state();
  std::lock_guard<std::mutex> guard(c.lock);
  int64_t units = interrupt_t - c.offset;
  // Far-away deadlines (and "forever") must not overflow the time point.
  constexpr int64_t kMaxUnits = int64_t(1) << 52;
  if (units > kMaxUnits) units = kMaxUnits;
  return c.base + std::chrono::nanoseconds(units * 100);
}

bool clock_frozen() {
  std::lock_guard<std::mutex> guard(clock_state().lock);
  return clock_state().frozen;
}

void reset_clock() {
  emu::clock::unfreeze();
  reset_tick();
}

}  // namespace emu::ke

namespace emu::clock {

using namespace emu::ke;

void freeze() {
  Guard g(kernel().lock);
  ClockState& c = clock_state();
  {
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.frozen) return;
    // Stopped on a tick, so that waits begun now end after whole ticks.
    const int64_t tick = g_tick.load(std::memory_order_relaxed);
    const int64_t reading = c.offset + elapsed_units(Clock::now(), c.base);
    c.frozen_at = (reading + tick - 1) / tick * tick;
    c.frozen = true;
  }
  kernel().clock_cv.notify_all();
}

void unfreeze() {
  Guard g(kernel().lock);
  ClockState& c = clock_state();
  {
    std::lock_guard<std::mutex> guard(c.lock);
    if (!c.frozen) return;
    c.offset = c.frozen_at - elapsed_units(Clock::now(), c.base);
    c.frozen = false;
  }
  kernel().clock_cv.notify_all();
  notify_timed_waiters_locked();
}

bool frozen() { return clock_frozen(); }

void advance(duration by) {
  require_frozen("emu::clock::advance");
  Guard g(kernel().lock);
  AdvancingScope scope(g);
  Kernel& k = kernel();
  const int64_t target = frozen_time() + to_units(by);
  // Work already under way (DPCs, work items) reaches its waits first.
  settle_locked(g, {});
  for (;;) {
    int64_t next = std::numeric_limits<int64_t>::max();
    if (!k.timers.empty()) next = on_tick(k.timers.begin()->first);
    if (!k.timed_waiters.empty()) next = std::min(next, on_tick(k.timed_waiters.begin()->first));
    if (next > target) break;
    set_frozen_time(next);
    std::vector<PKTHREAD> released;
    expire_due_locked(frozen_time(), false, released);
    settle_locked(g, released);
  }
  set_frozen_time(target);
  // Timers armed for "now" by the last DPCs have already expired; let them run.
  settle_locked(g, {});
}

void jump(duration by) {
  require_frozen("emu::clock::jump");
  Guard g(kernel().lock);
  AdvancingScope scope(g);
  Kernel& k = kernel();
  const int64_t target = frozen_time() + to_units(by);
  settle_locked(g, {});
  set_frozen_time(target);
  for (;;) {
    bool due = (!k.timers.empty() && on_tick(k.timers.begin()->first) <= target) ||
               (!k.timed_waiters.empty() && on_tick(k.timed_waiters.begin()->first) <= target);
    std::vector<PKTHREAD> released;
    if (due) expire_due_locked(target, true, released);
    settle_locked(g, released);
    if (!due) break;
  }
}

int64_t interrupt_time() { return interrupt_now(); }
int64_t system_time() { return system_now(); }
duration now() { return std::chrono::nanoseconds(interrupt_now() * 100); }

void set_tick(duration tick) {
  const int64_t units = tick_units(tick);
  Guard g(kernel().lock);
  g_tick.store(units);
  // Sleepers recompute their tick-rounded deadlines.
  kernel().clock_cv.notify_all();
  notify_timed_waiters_locked();
}

duration tick() { return std::chrono::nanoseconds(g_tick.load() * 100); }

void set_default_tick(duration tick) {
  g_default_tick.store(tick_units(tick));
  set_tick(tick);
}

duration settle_grace(duration grace) {
  std::lock_guard<std::mutex> guard(clock_state().lock);
  duration old = clock_state().grace;
  clock_state().grace = grace;
  return old;
}

}  // namespace emu::clock

using namespace emu::ke;

EXTERN_C VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = system_now(); }

EXTERN_C ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(interrupt_now()); }

EXTERN_C VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
  CurrentCount->QuadPart = interrupt_now() / g_tick.load(std::memory_order_relaxed);
}

EXTERN_C ULONG NTAPI KeQueryTimeIncrement(VOID) {
  return static_cast<ULONG>(g_tick.load(std::memory_order_relaxed));
}

EXTERN_C LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
  LARGE_INTEGER value;
  value.QuadPart = interrupt_now();
  return value;
}

EXTERN_C VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  // Busy-waits in real time, as the processor would; the emulated clock is
  // not moved.
  auto until = Clock::now() + std::chrono::microseconds(MicroSeconds);
  while (Clock::now() < until) __builtin_ia32_pause();
}
