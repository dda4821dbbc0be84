// Dispatcher objects (events, mutexes, semaphores; timers and threads are
// waitable too) and the waits on them.
//
// Every state change happens under the dispatcher lock.  A signal satisfies
// waiters itself, in arrival order, consuming synchronization objects for
// them, so a waiter released by an auto-reset event cannot lose it to a
// thread that comes later.

#include "ke/ke_internal.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace emu::ke {
namespace {

bool valid_type(UCHAR type) {
  switch (type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
    case MutantObject:
    case SemaphoreObject:
    case ThreadObject:
    case TimerNotificationObject:
    case TimerSynchronizationObject:
      return true;
    default:
      return false;
  }
}

bool is_event(PDISPATCHER_HEADER h) {
  return h->Type == EventNotificationObject || h->Type == EventSynchronizationObject;
}

bool signalled_for(PDISPATCHER_HEADER h, PKTHREAD t) {
  if (h->Type == MutantObject) return h->SignalState > 0 || reinterpret_cast<PKMUTANT>(h)->OwnerThread == t;
  return h->SignalState > 0;
}

void consume(PDISPATCHER_HEADER h, PKTHREAD t) {
  switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
      h->SignalState = 0;
      break;
    case SemaphoreObject:
      h->SignalState--;
      break;
    case MutantObject: {
      auto* m = reinterpret_cast<PKMUTANT>(h);
      if (m->OwnerThread != t) {
        m->OwnerThread = t;
        t->owned_mutexes.push_back(m);
      }
      h->SignalState--;
      break;
    }
    default:
      break;
  }
}

bool try_satisfy(Waiter& w) {
  if (w.type == WaitAny) {
    for (ULONG i = 0; i < w.count; ++i) {
      if (signalled_for(w.objects[i], w.thread)) {
        consume(w.objects[i], w.thread);
        w.status = STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
        return true;
      }
    }
    return false;
  }
  for (ULONG i = 0; i < w.count; ++i) {
    if (!signalled_for(w.objects[i], w.thread)) return false;
  }
  for (ULONG i = 0; i < w.count; ++i) consume(w.objects[i], w.thread);
  w.status = STATUS_WAIT_0;
  return true;
}

// Zeroed memory passes for a notification event by its type; Windows would
// walk its null wait list.
bool initialized(PDISPATCHER_HEADER h) { return h->WaitListHead.Flink != nullptr; }

void report_uninitialized(const char* routine, PDISPATCHER_HEADER h) {
  report(emu::verifier::Rule::object_not_initialized, routine, h,
         "DISPATCHER_HEADER.WaitListHead is null: the object was never initialised");
}

void owe_wait(BOOLEAN wait, const char* routine) {
  if (wait) current_thread()->owes_wait = routine;
}

std::string type_detail(PDISPATCHER_HEADER h) {
  return "DISPATCHER_HEADER.Type is " + std::to_string(h->Type) +
         " (not an initialised event, mutex, semaphore, timer or thread)";
}

void init_header(PDISPATCHER_HEADER h, UCHAR type, size_t size, LONG state, const char* routine) {
  Guard g(kernel().lock);
  if (kernel().waiters.count(h)) {
    report(emu::verifier::Rule::reinitialize_waited_object, routine, h,
           "the object is initialised again while threads wait on it");
  }
  h->Lock = 0;
  h->Type = type;
  h->Size = static_cast<UCHAR>(size / sizeof(LONG));
  h->SignalState = state;
  InitializeListHead(&h->WaitListHead);
}

}  // namespace

void check_owed_wait(const char* where) {
  PKTHREAD me = current_thread();
  if (!me->owes_wait) return;
  const std::string setter = std::exchange(me->owes_wait, nullptr);
  report(emu::verifier::Rule::release_wait_not_followed, where, nullptr,
         setter + " with Wait TRUE was not followed at once by a wait");
}

void finish_wait_locked(Waiter* w, NTSTATUS status) {
  Kernel& k = kernel();
  w->done = true;
  w->status = status;
  w->settled.store(true, std::memory_order_release);
  for (ULONG i = 0; i < w->count; ++i) {
    auto it = k.waiters.find(w->objects[i]);
    if (it == k.waiters.end()) continue;
    auto& list = it->second;
    list.erase(std::remove(list.begin(), list.end(), w), list.end());
    if (list.empty()) k.waiters.erase(it);
  }
  if (w->timed) {
    k.timed_waiters.erase(w->timed_pos);
    w->timed = false;
  }
  if (k.released) k.released->push_back(w->thread);
  w->thread->cv.notify_one();
}

void wake_waiters_locked(PDISPATCHER_HEADER object) {
  Kernel& k = kernel();
  auto it = k.waiters.find(object);
  if (it == k.waiters.end()) return;
  std::vector<Waiter*> list(it->second.begin(), it->second.end());
  for (Waiter* w : list) {
    if (object->SignalState <= 0) break;
    if (!w->done && try_satisfy(*w)) finish_wait_locked(w, w->status);
  }
}

void notify_timed_waiters_locked() {
  for (auto& [deadline, w] : kernel().timed_waiters) w->thread->cv.notify_one();
}

// A real-time thread about to block without a time-out first spins for a
// microframe and a little: Windows readies a thread on an idle processor in
// microseconds, a futex wake here (a virtual machine's halted processor)
// takes tens, more than the slack a host controller leaves between a
// completion and the next microframe's transfer.  Timed waits (the 1 ms
// polls of an idle port) never spin.
void spin_until_settled(const Waiter& w) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(150);
  while (!w.settled.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}

NTSTATUS wait_for_objects(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                          const char* routine) {
  const KIRQL irql = current_irql();
  const bool zero = timeout && timeout->QuadPart == 0;
  if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !zero)) {
    report(
        emu::verifier::Rule::wait_at_dispatch, routine, count ? objects[0] : nullptr,
        "a wait " + std::string(zero ? "" : "with a non-zero time-out ") + "at IRQL " + std::to_string(irql));
  }
  PKTHREAD me = current_thread();
  me->owes_wait = nullptr;
  Waiter w;
  w.thread = me;
  w.type = type;
  w.count = count;
  for (ULONG i = 0; i < count; ++i) w.objects[i] = static_cast<PDISPATCHER_HEADER>(objects[i]);

  Kernel& k = kernel();
  Guard g(k.lock);
  for (ULONG i = 0; i < count; ++i) {
    if (!w.objects[i]) {
      g.unlock();
      report(emu::verifier::Rule::wait_on_invalid_object, routine, nullptr, "a null object pointer");
      return STATUS_INVALID_PARAMETER;
    }
    if (!valid_type(w.objects[i]->Type)) {
      g.unlock();
      report(emu::verifier::Rule::wait_on_invalid_object, routine, w.objects[i], type_detail(w.objects[i]));
      return STATUS_INVALID_PARAMETER;
    }
    if (!initialized(w.objects[i])) {
      g.unlock();
      report_uninitialized(routine, w.objects[i]);
      return STATUS_INVALID_PARAMETER;
    }
  }
  if (try_satisfy(w)) return w.status;
  if (zero) return STATUS_TIMEOUT;
  if (timeout) {
    int64_t now = interrupt_now();
    int64_t q = timeout->QuadPart;
    if (q < 0) {
      int64_t rel = (q == std::numeric_limits<int64_t>::min()) ? std::numeric_limits<int64_t>::max() : -q;
      w.deadline =
          (rel > std::numeric_limits<int64_t>::max() - now) ? std::numeric_limits<int64_t>::max() : now + rel;
    } else {
      w.deadline = system_to_interrupt(q);
    }
    if (w.deadline <= now) return STATUS_TIMEOUT;
    w.timed = true;
    w.timed_pos = k.timed_waiters.emplace(w.deadline, &w);
  }
  for (ULONG i = 0; i < count; ++i) {
    auto& list = k.waiters[w.objects[i]];
    if (std::find(list.begin(), list.end(), &w) == list.end()) list.push_back(&w);
  }
  me->wait = &w;
  me->blocked = true;
  me->blocking_waits++;
  k.idle_cv.notify_all();
  bool spun = false;
  while (!w.done) {
    if (w.timed && !clock_frozen()) {
      // Like a timer, a timed wait ends on the clock tick.
      const int64_t ends = on_tick(w.deadline);
      me->cv.wait_until(g, real_deadline(ends));
      if (!w.done && !clock_frozen() && interrupt_now() >= on_tick(w.deadline)) {
        finish_wait_locked(&w, STATUS_TIMEOUT);
      }
    } else if (!spun && me->fifo) {
      spun = true;
      g.unlock();
      spin_until_settled(w);
      g.lock();
    } else {
      me->cv.wait(g);
    }
  }
  me->wait = nullptr;
  me->blocked = false;
  return w.status;
}

std::size_t live_dispatcher_objects_in(const void* base, std::size_t size, std::string_view routine) {
  auto lo = reinterpret_cast<uintptr_t>(base);
  auto hi = lo + size;
  std::vector<PDISPATCHER_HEADER> hits;
  {
    Guard g(kernel().lock);
    for (auto& [object, list] : kernel().waiters) {
      auto a = reinterpret_cast<uintptr_t>(object);
      if (a >= lo && a < hi) hits.push_back(object);
    }
  }
  for (PDISPATCHER_HEADER h : hits) {
    report(emu::verifier::Rule::object_freed_while_waited, routine, h,
           "threads are still waiting on a dispatcher object in this memory");
  }
  return hits.size();
}

void reset_dispatcher() {}

}  // namespace emu::ke

using namespace emu::ke;

// ---- Events ------------------------------------------------------------------------

EXTERN_C VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  init_header(&Event->Header,
              Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
              sizeof(KEVENT), State ? 1 : 0, "KeInitializeEvent");
}

static bool check_event(PRKEVENT Event, const char* routine) {
  if (!Event) {
    report(emu::verifier::Rule::invalid_object, routine, nullptr, "a null event pointer");
    return false;
  }
  if (!is_event(&Event->Header)) {
    report(emu::verifier::Rule::invalid_object, routine, Event, type_detail(&Event->Header));
    return false;
  }
  if (!initialized(&Event->Header)) {
    report_uninitialized(routine, &Event->Header);
    return false;
  }
  return true;
}

EXTERN_C LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN Wait) {
  check_owed_wait("KeSetEvent");
  if (current_irql() > DISPATCH_LEVEL) {
    report(emu::verifier::Rule::irql_too_high, "KeSetEvent", Event, "called above DISPATCH_LEVEL");
  }
  Guard g(kernel().lock);
  if (!check_event(Event, "KeSetEvent")) return 0;
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  wake_waiters_locked(&Event->Header);
  owe_wait(Wait, "KeSetEvent");
  return previous;
}

EXTERN_C LONG NTAPI KePulseEvent(PRKEVENT Event, KPRIORITY, BOOLEAN Wait) {
  check_owed_wait("KePulseEvent");
  Guard g(kernel().lock);
  if (!check_event(Event, "KePulseEvent")) return 0;
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  wake_waiters_locked(&Event->Header);
  Event->Header.SignalState = 0;
  owe_wait(Wait, "KePulseEvent");
  return previous;
}

EXTERN_C LONG NTAPI KeResetEvent(PRKEVENT Event) {
  check_owed_wait("KeResetEvent");
  Guard g(kernel().lock);
  if (!check_event(Event, "KeResetEvent")) return 0;
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

EXTERN_C VOID NTAPI KeClearEvent(PRKEVENT Event) {
  check_owed_wait("KeClearEvent");
  Guard g(kernel().lock);
  if (!check_event(Event, "KeClearEvent")) return;
  Event->Header.SignalState = 0;
}

EXTERN_C LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  Guard g(kernel().lock);
  if (!check_event(Event, "KeReadStateEvent")) return 0;
  return Event->Header.SignalState;
}

// ---- Mutexes -------------------------------------------------------------------------

EXTERN_C VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
  init_header(&Mutex->Header, MutantObject, sizeof(KMUTEX), 1, "KeInitializeMutex");
  Guard g(kernel().lock);
  InitializeListHead(&Mutex->MutantListEntry);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
}

EXTERN_C LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  check_owed_wait("KeReleaseMutex");
  PKTHREAD me = current_thread();
  Guard g(kernel().lock);
  if (Mutex->Header.Type != MutantObject) {
    g.unlock();
    report(emu::verifier::Rule::invalid_object, "KeReleaseMutex", Mutex, type_detail(&Mutex->Header));
    return 0;
  }
  LONG previous = Mutex->Header.SignalState;
  if (Mutex->OwnerThread != me) {
    g.unlock();
    report(emu::verifier::Rule::mutex_not_owned, "KeReleaseMutex", Mutex,
           Mutex->OwnerThread ? "released by a thread that does not own it (STATUS_MUTANT_NOT_OWNED)"
                              : "released while not owned (STATUS_MUTANT_NOT_OWNED)");
    return previous;
  }
  Mutex->Header.SignalState++;
  if (Mutex->Header.SignalState > 0) {
    Mutex->OwnerThread = nullptr;
    auto& owned = me->owned_mutexes;
    owned.erase(std::remove(owned.begin(), owned.end(), Mutex), owned.end());
    wake_waiters_locked(&Mutex->Header);
  }
  owe_wait(Wait, "KeReleaseMutex");
  return previous;
}

EXTERN_C LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
  Guard g(kernel().lock);
  return Mutex->Header.SignalState;
}

// ---- Semaphores ----------------------------------------------------------------------

EXTERN_C VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  init_header(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE), Count, "KeInitializeSemaphore");
  Guard g(kernel().lock);
  Semaphore->Limit = Limit;
}

EXTERN_C LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN Wait) {
  check_owed_wait("KeReleaseSemaphore");
  Guard g(kernel().lock);
  LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
    g.unlock();
    report(emu::verifier::Rule::semaphore_limit_exceeded, "KeReleaseSemaphore", Semaphore,
           "count " + std::to_string(previous) + " + " + std::to_string(Adjustment) + " exceeds the limit " +
               std::to_string(Semaphore->Limit));
    return previous;
  }
  Semaphore->Header.SignalState += Adjustment;
  wake_waiters_locked(&Semaphore->Header);
  owe_wait(Wait, "KeReleaseSemaphore");
  return previous;
}

EXTERN_C LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  Guard g(kernel().lock);
  return Semaphore->Header.SignalState;
}

// ---- Waits ---------------------------------------------------------------------------

EXTERN_C NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                              PLARGE_INTEGER Timeout) {
  PVOID objects[1] = {Object};
  return wait_for_objects(1, objects, WaitAny, Timeout, "KeWaitForSingleObject");
}

EXTERN_C NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                 KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                                 PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray) {
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) {
    report(emu::verifier::Rule::wait_invalid_count, "KeWaitForMultipleObjects", nullptr,
           std::to_string(Count) + " objects (1 to " + std::to_string(MAXIMUM_WAIT_OBJECTS) + " allowed)");
    return STATUS_INVALID_PARAMETER_1;
  }
  if (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray) {
    report(emu::verifier::Rule::wait_blocks_missing, "KeWaitForMultipleObjects", nullptr,
           std::to_string(Count) + " objects need a caller-supplied KWAIT_BLOCK array");
  }
  if (WaitType != WaitAll && WaitType != WaitAny) return STATUS_INVALID_PARAMETER_3;
  return wait_for_objects(Count, Object, WaitType, Timeout, "KeWaitForMultipleObjects");
}

EXTERN_C NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (!Interval) {
    report(emu::verifier::Rule::invalid_parameter, "KeDelayExecutionThread", nullptr, "a null interval");
    return STATUS_INVALID_PARAMETER;
  }
  if (Interval->QuadPart == 0) {
    if (current_irql() > DISPATCH_LEVEL) {
      report(emu::verifier::Rule::wait_at_dispatch, "KeDelayExecutionThread", nullptr,
             "called above DISPATCH_LEVEL");
    }
    std::this_thread::yield();
    return STATUS_SUCCESS;
  }
  NTSTATUS status = wait_for_objects(0, nullptr, WaitAny, Interval, "KeDelayExecutionThread");
  return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

EXTERN_C VOID NTAPI KeEnterCriticalRegion(VOID) {}
EXTERN_C VOID NTAPI KeLeaveCriticalRegion(VOID) {}

namespace emu::ke {

std::size_t waiter_count(const void* object) {
  Guard g(kernel().lock);
  auto it = kernel().waiters.find(static_cast<PDISPATCHER_HEADER>(const_cast<void*>(object)));
  return it == kernel().waiters.end() ? 0 : it->second.size();
}

bool wait_for_waiters(const void* object, std::size_t count, std::chrono::milliseconds limit) {
  Kernel& k = kernel();
  auto key = static_cast<PDISPATCHER_HEADER>(const_cast<void*>(object));
  Guard g(k.lock);
  return k.idle_cv.wait_for(g, limit, [&] {
    auto it = k.waiters.find(key);
    return it != k.waiters.end() && it->second.size() >= count;
  });
}

namespace {

// Dispatcher lock held.  The wait `thread` is parked in, or null.  A wait
// already ended (done) no longer counts: its thread is about to run, and may
// act on what ended it only after the caller has gone on.
const Waiter* parked_wait_locked(PKTHREAD thread) {
  if (kernel().threads.count(thread) == 0 || !thread->blocked) return nullptr;
  const Waiter* w = thread->wait;
  return w != nullptr && !w->done ? w : nullptr;
}

}  // namespace

bool wait_thread_blocked(PKTHREAD thread, std::chrono::milliseconds limit) {
  Kernel& k = kernel();
  Guard g(k.lock);
  return k.idle_cv.wait_for(g, limit, [&] { return parked_wait_locked(thread) != nullptr; });
}

std::size_t timed_waiter_count() {
  Guard g(kernel().lock);
  return kernel().timed_waiters.size();
}

namespace {

// Dispatcher lock held.
std::optional<emu::clock::duration> timed_wait_due_locked(PKTHREAD thread) {
  const Waiter* w = parked_wait_locked(thread);
  if (w == nullptr || !w->timed) return std::nullopt;
  return std::chrono::nanoseconds(w->deadline) * 100;
}

}  // namespace

std::optional<emu::clock::duration> timed_wait_due(PKTHREAD thread) {
  Guard g(kernel().lock);
  return timed_wait_due_locked(thread);
}

bool wait_thread_timed_wait(PKTHREAD thread, const std::function<bool(emu::clock::duration due)>& accept,
                            std::chrono::milliseconds limit) {
  Kernel& k = kernel();
  Guard g(k.lock);
  // A thread that blocks notifies idle_cv under the lock; the periodic look
  // covers a deadline moved by nothing else.
  const auto give_up = Clock::now() + limit;
  for (;;) {
    auto due = timed_wait_due_locked(thread);
    if (due && accept(*due)) return true;
    auto now = Clock::now();
    if (now >= give_up) return false;
    k.idle_cv.wait_until(g, std::min(give_up, now + std::chrono::milliseconds(1)));
  }
}

}  // namespace emu::ke
