// System threads on real OS threads, thread objects (waitable, signalled when
// the thread ends), priorities, and the worker threads behind work items.

#include "ke/ke_internal.h"

#include <emu/loader.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <memory>

#include "io/io_internal.h"

struct _OBJECT_TYPE {
  const char* name;
};

namespace {
_OBJECT_TYPE g_thread_type{"Thread"};
_OBJECT_TYPE g_event_type{"Event"};
POBJECT_TYPE g_thread_type_ptr = &g_thread_type;
POBJECT_TYPE g_event_type_ptr = &g_event_type;
}  // namespace

POBJECT_TYPE* PsThreadType = &g_thread_type_ptr;
POBJECT_TYPE* ExEventObjectType = &g_event_type_ptr;

namespace emu::ke {
namespace {

// Thrown by PsTerminateSystemThread and caught at the thread's top.  Driver
// frames are built without exceptions but with unwind tables (the x86-64
// default), so the unwinder passes through them.
struct ThreadExit {
  NTSTATUS status;
};

thread_local PKTHREAD t_self = nullptr;
// Where PsTerminateSystemThread returns to when a loaded image calls it: the
// image's frames have no unwind tables the host's unwinder reads, so the
// thread leaves them by a jump (they hold nothing to destroy).
thread_local std::jmp_buf* t_exit_jump = nullptr;

std::atomic<bool> g_realtime{false};

// Gives the record's OS thread the policy its priority asks for (dispatcher
// lock held): SCHED_FIFO in the real-time range when the option is on,
// SCHED_OTHER otherwise.  Refused without the privilege: it stays as it was.
void apply_os_priority_locked(PKTHREAD t) {
  if (!t->has_os_thread) return;
  sched_param param{};
  int policy = SCHED_OTHER;
  if (g_realtime.load() && t->priority >= LOW_REALTIME_PRIORITY) {
    policy = SCHED_FIFO;
    param.sched_priority = emu::fifo_priority(t->priority);
  }
  t->fifo = pthread_setschedparam(t->os_thread, policy, &param) == 0 && policy == SCHED_FIFO;
}

// Makes the calling OS thread the one that runs a kernel-made record.  A
// Linux thread inherits its creator's policy (a real-time driver thread's,
// the bus thread's): the new one starts as its own priority says.
void attach_os_thread(PKTHREAD t) {
  t_self = t;
  Guard g(kernel().lock);
  t->os_thread = pthread_self();
  t->has_os_thread = true;
  apply_os_priority_locked(t);
}

// Ends the record of a thread the kernel did not create (a test's thread,
// the host's main thread) when that OS thread exits.
struct ForeignThreadHolder {
  PKTHREAD thread = nullptr;
  ~ForeignThreadHolder() {
    if (!thread) return;
    Guard g(kernel().lock);
    thread->exited = true;
    thread->running = false;
    thread->has_os_thread = false;
    thread->Header.SignalState = 1;
    wake_waiters_locked(&thread->Header);
    kernel().idle_cv.notify_all();
    dereference_thread_locked(thread, g);
  }
};
thread_local ForeignThreadHolder t_foreign;

PKTHREAD new_thread_record(ThreadKind kind, std::string name) {
  auto* t = new _KTHREAD;
  t->Header.Lock = 0;
  t->Header.Type = ThreadObject;
  t->Header.Size = 0;
  t->Header.SignalState = 0;
  InitializeListHead(&t->Header.WaitListHead);
  t->kind = kind;
  t->name = std::move(name);
  return t;
}

// Registers a record as a live, running thread (dispatcher lock held).
void enlist_locked(PKTHREAD t, long references) {
  Kernel& k = kernel();
  t->id = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(k.next_thread_id));
  k.next_thread_id += 4;
  t->references = references;
  t->running = true;
  k.threads.insert(t);
}

// The mutexes `t` owns beyond its first `keep`, given up as Windows gives up
// a dead owner's: signalled, unowned, marked abandoned, their waiters woken.
std::vector<PKMUTANT> abandon_locked(PKTHREAD t, std::size_t keep) {
  std::vector<PKMUTANT> gone;
  if (t->owned_mutexes.size() <= keep) return gone;
  gone.assign(t->owned_mutexes.begin() + static_cast<std::ptrdiff_t>(keep), t->owned_mutexes.end());
  t->owned_mutexes.resize(keep);
  for (PKMUTANT m : gone) {
    m->OwnerThread = nullptr;
    m->Abandoned = TRUE;
    m->Header.SignalState = 1;
    wake_waiters_locked(&m->Header);
  }
  return gone;
}

// The end of any kernel-made thread: checks, abandons mutexes, signals the
// thread object, drops the running reference.
void end_thread(PKTHREAD t, std::string who) {
  check_owed_wait(who.c_str());
  if (current_irql() != PASSIVE_LEVEL && t->kind == ThreadKind::system) {
    report(emu::verifier::Rule::thread_exit_at_raised_irql, who, t,
           "the thread ended at IRQL " + std::to_string(current_irql()));
  }
  if (spin_locks_held() != 0) {
    report(emu::verifier::Rule::thread_exit_holding_spinlock, who, t, "the thread ended holding a spin lock");
    release_all_recorded_locks_of_thread();
  }
  set_irql_raw(PASSIVE_LEVEL);
  Kernel& k = kernel();
  Guard g(k.lock);
  std::vector<PKMUTANT> owned = abandon_locked(t, 0);
  // One critical section: once a waiter sees the thread object signalled,
  // the running reference is gone too, and the record may be freed.
  t->exited = true;
  t->running = false;
  t->has_os_thread = false;  // its OS thread is about to end
  k.system_running.erase(t);
  t->Header.SignalState = 1;
  wake_waiters_locked(&t->Header);
  k.idle_cv.notify_all();
  dereference_thread_locked(t, g);
  g.unlock();
  for (PKMUTANT m : owned) {
    report(emu::verifier::Rule::thread_exit_holding_mutex, who, m,
           "the thread ended owning a mutex; it was abandoned");
  }
}

std::string routine_name(PKTHREAD t) {
  if (!t->name.empty()) return t->name;
  const auto* start = reinterpret_cast<const void*>(t->start_routine);
  return "system thread " + emu::ldr::describe_address(start).value_or(hex(start));
}

// No C++ object lives in this frame: setjmp/longjmp skip no destructor.
void run_start_routine(PKTHREAD t) {
  std::jmp_buf exit_jump;
  if (setjmp(exit_jump) == 0) {
    t_exit_jump = &exit_jump;
    t->start_routine(t->start_context);
    t->exit_status = STATUS_SUCCESS;
  }
  t_exit_jump = nullptr;
}

// `name` is worked out by the creator, so the thread itself starts its
// routine without a symbol lookup in between.
void system_thread_top(PKTHREAD t, const std::string& name) {
  attach_os_thread(t);
  emu::name_this_thread(name);
  set_irql_raw(PASSIVE_LEVEL);
  try {
    run_start_routine(t);
  } catch (const ThreadExit& e) {
    t_exit_jump = nullptr;
    t->exit_status = e.status;
  }
  end_thread(t, routine_name(t));
}

// ---- Work items ----
struct WorkItem {
  std::function<void()> fn;
  std::string routine;
};

struct WorkQueue {
  std::deque<WorkItem> items;
  std::size_t workers = 0;
  std::set<PKTHREAD> busy;
  std::size_t idle = 0;
  std::condition_variable cv;
};

WorkQueue& work_queue() {
  static WorkQueue* q = new WorkQueue;
  return *q;
}

constexpr std::size_t kMaxWorkers = 8;

void worker_body() {
  Kernel& k = kernel();
  WorkQueue& q = work_queue();
  PKTHREAD me = t_self;
  Guard g(k.lock);
  for (;;) {
    // Waiting for work counts as blocked, for emu::clock's settling.
    ++q.idle;
    me->blocked = true;
    me->blocking_waits++;
    k.idle_cv.notify_all();
    while (q.items.empty()) q.cv.wait(g);
    me->blocked = false;
    --q.idle;
    WorkItem item = std::move(q.items.front());
    q.items.pop_front();
    q.busy.insert(me);
    g.unlock();
    set_irql_raw(PASSIVE_LEVEL);
    item.fn();
    std::string who = item.routine.empty() ? "work item" : item.routine;
    if (current_irql() != PASSIVE_LEVEL) {
      report(emu::verifier::Rule::irql_changed, who, nullptr,
             "a work item returned at IRQL " + std::to_string(current_irql()) + " instead of PASSIVE_LEVEL");
      set_irql_raw(PASSIVE_LEVEL);
    }
    if (spin_locks_held() != 0) {
      report(emu::verifier::Rule::spinlock_held_on_return, who, nullptr,
             "a work item returned holding a spin lock");
      release_all_recorded_locks_of_thread();
    }
    item.fn = nullptr;
    g.lock();
    q.busy.erase(me);
    k.idle_cv.notify_all();
  }
}

}  // namespace

std::size_t owned_mutex_count() {
  PKTHREAD me = current_thread();
  Guard g(kernel().lock);
  return me->owned_mutexes.size();
}

void abandon_mutexes_gained(std::size_t before, emu::verifier::Rule rule, const std::string& who,
                            const std::string& text) {
  PKTHREAD me = current_thread();
  std::vector<PKMUTANT> gone;
  {
    Guard g(kernel().lock);
    gone = abandon_locked(me, before);
  }
  for (PKMUTANT m : gone) report(rule, who, m, text);
}

PKTHREAD current_thread() {
  if (t_self) return t_self;
  PKTHREAD t = new_thread_record(ThreadKind::foreign, "");
  {
    Guard g(kernel().lock);
    enlist_locked(t, 1);
    t->os_thread = pthread_self();  // its policy stays its owner's until a priority is set
    t->has_os_thread = true;
  }
  t_self = t;
  t_foreign.thread = t;
  return t;
}

void dereference_thread_locked(PKTHREAD thread, Guard&) {
  if (--thread->references > 0) return;
  kernel().threads.erase(thread);
  delete thread;
}

void start_internal_thread_locked(ThreadKind kind, std::string name, std::function<void()> body) {
  PKTHREAD t = new_thread_record(kind, std::move(name));
  enlist_locked(t, 1);
  std::thread([t, body = std::move(body)] {
    attach_os_thread(t);
    emu::name_this_thread("emu-" + t->name);
    body();
  }).detach();
}

bool worker_settled_locked() {
  WorkQueue& q = work_queue();
  if (!q.items.empty()) return false;
  for (PKTHREAD t : q.busy) {
    if (!t->blocked) return false;
  }
  return true;
}

std::size_t pending_work_items_locked() { return work_queue().items.size() + work_queue().busy.size(); }

void queue_work_item(std::function<void()> fn, std::string_view routine) {
  Kernel& k = kernel();
  WorkQueue& q = work_queue();
  Guard g(k.lock);
  q.items.push_back({std::move(fn), std::string(routine)});
  // Every queued item needs an idle worker of its own, or a new one.
  if (q.items.size() > q.idle && q.workers < kMaxWorkers) {
    ++q.workers;
    start_internal_thread_locked(ThreadKind::worker, "worker-" + std::to_string(q.workers), worker_body);
  } else {
    q.cv.notify_one();
  }
}

std::size_t pending_work_items() {
  Guard g(kernel().lock);
  return pending_work_items_locked();
}

bool on_system_thread() { return t_self && t_self->kind == ThreadKind::system; }

bool system_thread_started_in(uintptr_t lo, uintptr_t hi) {
  Guard g(kernel().lock);
  for (PKTHREAD t : kernel().system_running) {
    auto a = reinterpret_cast<uintptr_t>(t->start_routine);
    if (a >= lo && a < hi) return true;
  }
  return false;
}

void reset_threads() {
  Kernel& k = kernel();
  std::vector<std::pair<std::string, const void*>> running;
  std::vector<std::pair<std::string, const void*>> leaked;
  {
    Guard g(k.lock);
    for (PKTHREAD t : k.system_running) running.emplace_back(routine_name(t), t);
    // Ended threads whose object is still referenced: the handle was closed
    // (handles are reset before this) but an object reference was not dropped.
    std::vector<PKTHREAD> stale;
    for (PKTHREAD t : k.threads) {
      if (t->kind == ThreadKind::system && t->exited) stale.push_back(t);
    }
    for (PKTHREAD t : stale) {
      leaked.emplace_back(routine_name(t), t);
      t->references = 1;
      dereference_thread_locked(t, g);
    }
    // Dropped dequeued work items are reported by the caller.
    work_queue().items.clear();
  }
  for (auto& [who, t] : running) {
    report(emu::verifier::Rule::thread_still_running, "kernel_reset", t,
           who + " is still running at the end of the test");
  }
  for (auto& [who, t] : leaked) {
    report(
        emu::verifier::Rule::object_reference_leak, "kernel_reset", t,
        "the thread object of " + who + " was referenced (ObReferenceObjectByHandle) and never dereferenced");
  }
}

std::size_t live_threads_with_context(const void* base, std::size_t size, const void* context,
                                      std::string_view routine) {
  auto lo = reinterpret_cast<uintptr_t>(base);
  auto hi = lo + size;
  std::vector<std::pair<std::string, const void*>> hits;
  {
    Guard g(kernel().lock);
    for (PKTHREAD t : kernel().system_running) {
      auto a = reinterpret_cast<uintptr_t>(t->start_context);
      if ((a >= lo && a < hi && size) || (context && t->start_context == context)) {
        hits.emplace_back(routine_name(t), t);
      }
    }
  }
  for (auto& [who, t] : hits) {
    report(emu::verifier::Rule::thread_outlives_object, routine, t,
           who + " is still running with this object as its context");
  }
  return hits.size();
}

std::size_t check_no_live_objects(const void* base, std::size_t size, std::string_view routine,
                                  const void* context) {
  std::size_t n = live_timers_and_dpcs_in(base, size, routine);
  n += live_dispatcher_objects_in(base, size, routine);
  n += live_threads_with_context(base, size, context, routine);
  return n;
}

}  // namespace emu::ke

namespace emu {

void set_realtime_priorities(bool on) {
  using namespace emu::ke;
  Guard g(kernel().lock);
  if (g_realtime.exchange(on) == on) return;
  for (PKTHREAD t : kernel().threads) {
    if (t->priority >= LOW_REALTIME_PRIORITY) apply_os_priority_locked(t);
  }
}

bool realtime_priorities() { return emu::ke::g_realtime.load(); }

int fifo_priority(KPRIORITY priority) {
  return 1 + std::clamp<KPRIORITY>(priority, LOW_REALTIME_PRIORITY, HIGH_PRIORITY) - LOW_REALTIME_PRIORITY;
}

void name_this_thread(std::string_view name) {
  const std::string text(name.substr(0, kThreadNameMax));
  pthread_setname_np(pthread_self(), text.c_str());
}

std::string thread_name_from_symbol(std::string_view symbol) {
  if (symbol.empty() || symbol.starts_with("0x") || symbol == "(null)") return "system-thread";
  // "(anonymous namespace)::Routine(void*)+0x12": the routine's own name.
  if (const auto offset = symbol.rfind("+0x"); offset != std::string_view::npos)
    symbol = symbol.substr(0, offset);
  if (symbol.ends_with(')')) {
    int depth = 0;
    for (std::size_t i = symbol.size(); i-- > 0;) {
      depth += symbol[i] == ')' ? 1 : symbol[i] == '(' ? -1 : 0;
      if (depth == 0) {
        symbol = symbol.substr(0, i);
        break;
      }
    }
  }
  if (const auto colon = symbol.rfind("::"); colon != std::string_view::npos) symbol.remove_prefix(colon + 2);
  if (symbol.size() > kThreadNameMax) {
    for (std::string_view ending : {"Function", "Routine", "Thread"}) {
      if (symbol.size() > ending.size() + 2 && symbol.ends_with(ending)) {
        symbol.remove_suffix(ending.size());
        break;
      }
    }
  }
  if (symbol.empty()) return "system-thread";
  return std::string(symbol.substr(0, kThreadNameMax));
}

void run_on_system_thread(KIRQL irql, const std::function<void()>& fn) {
  using namespace emu::ke;
  PKTHREAD t = new_thread_record(ThreadKind::system, "run_on_system_thread");
  {
    Guard g(kernel().lock);
    enlist_locked(t, 1);
    kernel().system_running.insert(t);
  }
  std::thread os_thread([t, irql, &fn] {
    attach_os_thread(t);
    emu::name_this_thread("emu-system");
    set_irql_raw(irql);
    try {
      fn();
    } catch (const ThreadExit&) {
    }
    check_irql_unchanged(irql, "run_on_system_thread", nullptr);
    set_irql_raw(PASSIVE_LEVEL);
    end_thread(t, "run_on_system_thread");
  });
  os_thread.join();
}

}  // namespace emu

using namespace emu::ke;

EXTERN_C PKTHREAD NTAPI KeGetCurrentThread(VOID) { return current_thread(); }

EXTERN_C HANDLE NTAPI PsGetCurrentThreadId(VOID) { return current_thread()->id; }

EXTERN_C KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY) {
    report(emu::verifier::Rule::invalid_parameter, "KeSetPriorityThread", Thread,
           "priority " + std::to_string(Priority));
  }
  Guard g(kernel().lock);
  KPRIORITY old = Thread->priority;
  Thread->priority = Priority;
  // Into, within or out of the real-time range: the OS thread follows now,
  // or at its start when it has none yet.
  if (g_realtime.load() && (old >= LOW_REALTIME_PRIORITY || Priority >= LOW_REALTIME_PRIORITY))
    apply_os_priority_locked(Thread);
  return old;
}

EXTERN_C KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) {
  Guard g(kernel().lock);
  return Thread->priority;
}

EXTERN_C NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE,
                                             PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                             PVOID StartContext) {
  if (current_irql() != PASSIVE_LEVEL) {
    report(emu::verifier::Rule::irql_too_high, "PsCreateSystemThread", nullptr,
           "must be called at PASSIVE_LEVEL");
  }
  if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
  if (emu::faults::should_fail(emu::faults::Site::thread_creation, 0, __builtin_return_address(0))) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  std::string name =
      emu::thread_name_from_symbol(emu::io::symbol_name(reinterpret_cast<const void*>(StartRoutine)));
  PKTHREAD t = new_thread_record(ThreadKind::system, "");
  t->start_routine = StartRoutine;
  t->start_context = StartContext;
  {
    Guard g(kernel().lock);
    enlist_locked(t, 2);  // the handle and the running thread
    kernel().system_running.insert(t);
  }
  HANDLE handle = insert_handle(t, "Thread", [t] {
    Guard g(kernel().lock);
    dereference_thread_locked(t, g);
  });
  *ThreadHandle = handle;
  if (ClientId) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(uintptr_t(4));
    ClientId->UniqueThread = t->id;
  }
  try {
    std::thread([t, name = std::move(name)] { system_thread_top(t, name); }).detach();
  } catch (const std::system_error&) {
    Guard g(kernel().lock);
    kernel().system_running.erase(t);
    t->exited = true;
    t->Header.SignalState = 1;
    dereference_thread_locked(t, g);
    g.unlock();
    ZwClose(handle);
    *ThreadHandle = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
  if (!t_self || t_self->kind != ThreadKind::system) {
    report(emu::verifier::Rule::terminate_non_system_thread, "PsTerminateSystemThread", t_self,
           "called from a thread that PsCreateSystemThread did not create");
    return STATUS_INVALID_PARAMETER;
  }
  if (t_exit_jump != nullptr && emu::ldr::is_image_code(__builtin_return_address(0))) {
    t_self->exit_status = ExitStatus;
    std::longjmp(*t_exit_jump, 1);
  }
  throw ThreadExit{ExitStatus};
}

EXTERN_C NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK, POBJECT_TYPE ObjectType,
                                                  KPROCESSOR_MODE, PVOID* Object,
                                                  POBJECT_HANDLE_INFORMATION HandleInformation) {
  if (!Object) return STATUS_INVALID_PARAMETER;
  *Object = nullptr;
  PKTHREAD t = nullptr;
  if (Handle == NtCurrentThread()) {
    t = current_thread();
  } else {
    t = static_cast<PKTHREAD>(handle_object(Handle, "Thread"));
    if (!t) {
      if (handle_object(Handle, "")) return STATUS_OBJECT_TYPE_MISMATCH;
      return STATUS_INVALID_HANDLE;
    }
  }
  if (ObjectType && ObjectType != *PsThreadType) return STATUS_OBJECT_TYPE_MISMATCH;
  Guard g(kernel().lock);
  t->references++;
  *Object = t;
  if (HandleInformation) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = THREAD_ALL_ACCESS;
  }
  return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS NTAPI ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK, POBJECT_TYPE, KPROCESSOR_MODE) {
  ObfReferenceObject(Object);
  return STATUS_SUCCESS;
}

namespace emu::ke {
// Object manager counts for tracked non-thread objects (object_manager.cpp).
LONG_PTR ob_adjust(PVOID object, int delta, const char* routine);
}  // namespace emu::ke

EXTERN_C LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  {
    Guard g(kernel().lock);
    auto* t = static_cast<PKTHREAD>(Object);
    if (kernel().threads.count(t)) return ++t->references;
  }
  return ob_adjust(Object, +1, "ObfReferenceObject");
}

EXTERN_C LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  {
    Guard g(kernel().lock);
    auto* t = static_cast<PKTHREAD>(Object);
    if (kernel().threads.count(t)) {
      if (t->kind != ThreadKind::system && t->references <= 1) {
        g.unlock();
        report(emu::verifier::Rule::ob_reference_underflow, "ObfDereferenceObject", Object,
               "dereferencing a thread object below its own reference");
        return 0;
      }
      LONG_PTR left = t->references - 1;
      dereference_thread_locked(t, g);
      return left;
    }
  }
  return ob_adjust(Object, -1, "ObfDereferenceObject");
}
