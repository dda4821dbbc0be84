// Timers and DPCs.  One DPC thread runs queued DPCs in order at
// DISPATCH_LEVEL; a clock thread expires timers in real time (when the clock
// is frozen, emu::clock::advance expires them instead).

#include "ke/ke_internal.h"

#include <algorithm>

namespace emu::ke {
namespace {

constexpr UCHAR kDpcObject = 0x13;

bool in_range(const void* p, uintptr_t lo, uintptr_t hi) {
  auto a = reinterpret_cast<uintptr_t>(p);
  return a >= lo && a < hi;
}

bool remove_timer_locked(PKTIMER timer) {
  Kernel& k = kernel();
  auto it = k.timer_pos.find(timer);
  if (it == k.timer_pos.end()) return false;
  k.timers.erase(it->second);
  k.timer_pos.erase(it);
  timer->Header.Inserted = 0;
  return true;
}

void insert_timer_locked(PKTIMER timer, int64_t due) {
  Kernel& k = kernel();
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  timer->Header.Inserted = 1;
  k.timer_pos[timer] = k.timers.emplace(due, timer);
  ensure_clock_thread_locked();
  // A timer due after the clock thread's next wake-up is found then: a read
  // time-out re-armed for every read must not wake it every time.
  if (on_tick(due) < k.clock_wakes_at) k.clock_cv.notify_all();
}

bool is_timer(PKTIMER timer) {
  return timer->Header.Type == TimerNotificationObject || timer->Header.Type == TimerSynchronizationObject;
}

void dpc_thread_body() {
  Kernel& k = kernel();
  set_irql_raw(DISPATCH_LEVEL);
  Guard g(k.lock);
  for (;;) {
    while (k.dpc_queue.empty()) k.dpc_cv.wait(g);
    PKDPC dpc = k.dpc_queue.front();
    k.dpc_queue.pop_front();
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID arg1 = dpc->SystemArgument1;
    PVOID arg2 = dpc->SystemArgument2;
    k.dpc_running = true;
    k.current_dpc = dpc;
    g.unlock();
    if (routine) {
      routine(dpc, context, arg1, arg2);
    } else {
      report(emu::verifier::Rule::dpc_without_routine, "KeInsertQueueDpc", dpc,
             "the DPC has no DeferredRoutine");
    }
    if (current_irql() != DISPATCH_LEVEL) {
      report(emu::verifier::Rule::irql_changed, "DPC routine", dpc,
             "returned at IRQL " + std::to_string(current_irql()) + " instead of DISPATCH_LEVEL");
      set_irql_raw(DISPATCH_LEVEL);
    }
    if (spin_locks_held() != 0) {
      report(emu::verifier::Rule::spinlock_held_on_return, "DPC routine", dpc,
             "the DPC routine returned holding a spin lock");
      release_all_recorded_locks_of_thread();
    }
    g.lock();
    k.dpc_running = false;
    k.current_dpc = nullptr;
    k.idle_cv.notify_all();
  }
}

void clock_thread_body() {
  Kernel& k = kernel();
  set_irql_raw(DISPATCH_LEVEL);
  Guard g(k.lock);
  for (;;) {
    k.clock_wakes_at = std::numeric_limits<int64_t>::max();
    if (clock_frozen() || k.timers.empty()) {
      k.clock_cv.wait(g);
      continue;
    }
    // Timers expire on the clock tick at or after their due time.
    int64_t due = on_tick(k.timers.begin()->first);
    int64_t now = interrupt_now();
    if (due > now) {
      k.clock_wakes_at = due;
      k.clock_cv.wait_until(g, real_deadline(due));
      continue;
    }
    while (!k.timers.empty() && on_tick(k.timers.begin()->first) <= now) {
      expire_timer_locked(k.timers.begin()->second, now, true);
    }
  }
}

void ensure_dpc_thread_locked() {
  Kernel& k = kernel();
  if (k.dpc_thread_started) return;
  k.dpc_thread_started = true;
  start_internal_thread_locked(ThreadKind::dpc, "dpc", dpc_thread_body);
}

}  // namespace

void ensure_clock_thread_locked() {
  Kernel& k = kernel();
  if (k.clock_thread_started) return;
  k.clock_thread_started = true;
  start_internal_thread_locked(ThreadKind::clock, "clock", clock_thread_body);
}

bool insert_queue_dpc_locked(PKDPC dpc, PVOID arg1, PVOID arg2) {
  Kernel& k = kernel();
  if (std::find(k.dpc_queue.begin(), k.dpc_queue.end(), dpc) != k.dpc_queue.end()) return false;
  dpc->SystemArgument1 = arg1;
  dpc->SystemArgument2 = arg2;
  if (dpc->Importance == HighImportance) {
    k.dpc_queue.push_front(dpc);
  } else {
    k.dpc_queue.push_back(dpc);
  }
  ensure_dpc_thread_locked();
  k.dpc_cv.notify_one();
  return true;
}

void expire_timer_locked(PKTIMER timer, int64_t now, bool coarse) {
  int64_t due = static_cast<int64_t>(timer->DueTime.QuadPart);
  remove_timer_locked(timer);
  timer->Header.SignalState = 1;
  wake_waiters_locked(&timer->Header);
  if (timer->Period > 0) {
    int64_t period = int64_t(timer->Period) * 10000;
    int64_t next = due + period;
    if (next <= now && coarse) next = now + period;
    insert_timer_locked(timer, next);
  }
  if (timer->Dpc) {
    int64_t system_time = system_now();
    insert_queue_dpc_locked(timer->Dpc,
                            reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(system_time & 0xFFFFFFFF)),
                            reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(uint64_t(system_time) >> 32)));
  }
}

bool dpc_idle_locked() { return kernel().dpc_queue.empty() && !kernel().dpc_running; }

std::size_t queued_timers_locked() { return kernel().timers.size(); }

void reset_timers_and_dpcs(std::string_view context, bool report_live) {
  Kernel& k = kernel();
  std::vector<std::pair<emu::verifier::Rule, const void*>> live;
  {
    Guard g(k.lock);
    for (auto& [due, timer] : k.timers) live.emplace_back(emu::verifier::Rule::timer_still_queued, timer);
    for (PKDPC dpc : k.dpc_queue) live.emplace_back(emu::verifier::Rule::dpc_still_queued, dpc);
    while (!k.timers.empty()) remove_timer_locked(k.timers.begin()->second);
    k.dpc_queue.clear();
    k.idle_cv.wait_for(g, std::chrono::seconds(2), [&] { return !k.dpc_running; });
  }
  if (report_live) {
    for (auto& [check, object] : live) {
      report(check, context, object,
             check == emu::verifier::Rule::timer_still_queued ? "a timer is still set; it was cancelled"
                                                              : "a DPC is still queued; it was removed");
    }
  }
}

std::size_t live_timers_and_dpcs_in(const void* base, std::size_t size, std::string_view routine) {
  auto lo = reinterpret_cast<uintptr_t>(base);
  auto hi = lo + size;
  std::vector<std::pair<emu::verifier::Rule, const void*>> hits;
  {
    Guard g(kernel().lock);
    Kernel& k = kernel();
    std::vector<PKTIMER> timers;
    for (auto& [due, timer] : k.timers) {
      if (in_range(timer, lo, hi)) timers.push_back(timer);
    }
    // Dequeued so that the freed memory is never touched again.
    for (PKTIMER t : timers) {
      remove_timer_locked(t);
      hits.emplace_back(emu::verifier::Rule::timer_freed_while_queued, t);
    }
    for (auto it = k.dpc_queue.begin(); it != k.dpc_queue.end();) {
      if (in_range(*it, lo, hi)) {
        hits.emplace_back(emu::verifier::Rule::dpc_freed_while_queued, *it);
        it = k.dpc_queue.erase(it);
      } else {
        ++it;
      }
    }
    if (k.current_dpc && in_range(k.current_dpc, lo, hi)) {
      hits.emplace_back(emu::verifier::Rule::dpc_freed_while_running, k.current_dpc);
    }
  }
  for (auto& [check, object] : hits) {
    report(check, routine, object, "the memory holding this object is released while the object is live");
  }
  return hits.size();
}

}  // namespace emu::ke

using namespace emu::ke;

// ---- DPCs -----------------------------------------------------------------------------

EXTERN_C VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Guard g(kernel().lock);
  auto& q = kernel().dpc_queue;
  if (std::find(q.begin(), q.end(), Dpc) != q.end()) {
    g.unlock();
    report(emu::verifier::Rule::reinitialize_queued_dpc, "KeInitializeDpc", Dpc,
           "the DPC is initialised again while queued");
    g.lock();
    q.erase(std::remove(q.begin(), q.end(), Dpc), q.end());
  }
  Dpc->Type = kDpcObject;
  Dpc->Importance = MediumImportance;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = nullptr;
  Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

EXTERN_C BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  if (Dpc->Type != kDpcObject) {
    report(emu::verifier::Rule::invalid_object, "KeInsertQueueDpc", Dpc,
           "the DPC was not initialised with KeInitializeDpc");
    return FALSE;
  }
  Guard g(kernel().lock);
  return insert_queue_dpc_locked(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

EXTERN_C BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  Guard g(kernel().lock);
  auto& q = kernel().dpc_queue;
  auto it = std::find(q.begin(), q.end(), Dpc);
  if (it == q.end()) return FALSE;
  q.erase(it);
  return TRUE;
}

EXTERN_C VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
  Guard g(kernel().lock);
  Dpc->Importance = static_cast<UCHAR>(Importance);
}

EXTERN_C VOID NTAPI KeFlushQueuedDpcs(VOID) {
  if (current_irql() != PASSIVE_LEVEL) {
    report(emu::verifier::Rule::irql_too_high, "KeFlushQueuedDpcs", nullptr,
           "must be called at PASSIVE_LEVEL");
    return;
  }
  emu::ke::flush_dpcs();
}

namespace emu::ke {
void flush_dpcs() {
  Kernel& k = kernel();
  Guard g(k.lock);
  k.idle_cv.wait(g, [&] { return dpc_idle_locked(); });
}
}  // namespace emu::ke

// ---- Timers ---------------------------------------------------------------------------

EXTERN_C VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  Guard g(kernel().lock);
  if (kernel().timer_pos.count(Timer)) {
    g.unlock();
    report(emu::verifier::Rule::reinitialize_queued_timer, "KeInitializeTimer", Timer,
           "the timer is initialised again while set");
    g.lock();
    remove_timer_locked(Timer);
  }
  Timer->Header.Lock = 0;
  Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.SignalState = 0;
  InitializeListHead(&Timer->Header.WaitListHead);
  Timer->DueTime.QuadPart = 0;
  InitializeListHead(&Timer->TimerListEntry);
  Timer->Dpc = nullptr;
  Timer->Processor = 0;
  Timer->Period = 0;
}

EXTERN_C VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

EXTERN_C BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
  if (current_irql() > DISPATCH_LEVEL) {
    report(emu::verifier::Rule::irql_too_high, "KeSetTimer", Timer, "called above DISPATCH_LEVEL");
  }
  if (!is_timer(Timer)) {
    report(emu::verifier::Rule::invalid_object, "KeSetTimer", Timer,
           "the timer was not initialised with KeInitializeTimer");
    return FALSE;
  }
  if (Period < 0) {
    report(emu::verifier::Rule::invalid_parameter, "KeSetTimerEx", Timer,
           "negative period " + std::to_string(Period));
    Period = 0;
  }
  if (Dpc && Dpc->Type != kDpcObject) {
    report(emu::verifier::Rule::invalid_object, "KeSetTimer", Dpc,
           "the DPC was not initialised with KeInitializeDpc");
    Dpc = nullptr;
  }
  Guard g(kernel().lock);
  bool was_set = remove_timer_locked(Timer);
  Timer->Header.SignalState = 0;
  Timer->Dpc = Dpc;
  Timer->Period = static_cast<ULONG>(Period);
  int64_t now = interrupt_now();
  int64_t due;
  if (DueTime.QuadPart < 0) {
    Timer->Header.Absolute = 0;
    due = now - DueTime.QuadPart;
  } else {
    Timer->Header.Absolute = 1;
    due = system_to_interrupt(DueTime.QuadPart);
  }
  if (due <= now) {
    // Already due: expires on insertion, as the kernel does.
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(now);
    expire_timer_locked(Timer, now, true);
  } else {
    insert_timer_locked(Timer, due);
  }
  return was_set ? TRUE : FALSE;
}

EXTERN_C BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

EXTERN_C BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  Guard g(kernel().lock);
  return remove_timer_locked(Timer) ? TRUE : FALSE;
}

EXTERN_C BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  Guard g(kernel().lock);
  return Timer->Header.SignalState > 0 ? TRUE : FALSE;
}
