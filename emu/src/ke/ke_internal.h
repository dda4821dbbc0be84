// State shared by the kernel's executive sources.  Not for drivers; the I/O
// manager and the USB bus may include it.
#pragma once

#include <emu/kernel.h>
#include <emu/verifier.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kernel_internal.h"

namespace emu::ke {

// DISPATCHER_HEADER.Type values, numbered as the kernel numbers them.
enum ObjectType : UCHAR {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  ProcessObject = 3,
  QueueObject = 4,
  SemaphoreObject = 5,
  ThreadObject = 6,
  GateObject = 7,
  TimerNotificationObject = 8,
  TimerSynchronizationObject = 9,
};

enum class ThreadKind { foreign, system, dpc, worker, clock };

struct Waiter;

}  // namespace emu::ke

// The kernel's thread object.  Opaque to drivers (they see PKTHREAD only);
// the dispatcher header comes first so the object is waitable like any other.
struct _KTHREAD {
  DISPATCHER_HEADER Header;

  // ---- kernel-private ----
  emu::ke::ThreadKind kind = emu::ke::ThreadKind::foreign;
  KPRIORITY priority = 8;
  PKSTART_ROUTINE start_routine = nullptr;
  PVOID start_context = nullptr;
  HANDLE id = nullptr;  // CLIENT_ID.UniqueThread
  NTSTATUS exit_status = STATUS_PENDING;
  std::string name;

  // Guarded by the dispatcher lock.
  long references = 0;  // handles + object references + 1 while running
  bool running = false;
  bool exited = false;
  emu::ke::Waiter* wait = nullptr;
  uint64_t blocking_waits = 0;  // count of waits that actually blocked
  bool blocked = false;         // inside a blocking wait right now
  std::condition_variable cv;   // used with the dispatcher lock
  std::vector<PKMUTANT> owned_mutexes;
  // The OS thread that runs it, from its start until it ends: where a
  // real-time priority takes effect (emu::set_realtime_priorities).
  pthread_t os_thread{};
  bool has_os_thread = false;
  bool fifo = false;  // its OS thread runs as SCHED_FIFO now
  // Own thread only: the release with Wait TRUE whose wait is still owed.
  const char* owes_wait = nullptr;
};

namespace emu::ke {

using Clock = std::chrono::steady_clock;

struct Waiter {
  PKTHREAD thread = nullptr;
  PDISPATCHER_HEADER objects[MAXIMUM_WAIT_OBJECTS] = {};
  ULONG count = 0;
  WAIT_TYPE type = WaitAny;
  bool done = false;
  std::atomic<bool> settled{false};  // `done`, for a waiter spinning outside the lock
  NTSTATUS status = STATUS_SUCCESS;
  bool timed = false;
  int64_t deadline = 0;  // interrupt time
  std::multimap<int64_t, Waiter*>::iterator timed_pos;
};

// All dispatcher state: object wait lists, timers, the DPC queue, thread
// bookkeeping.  One lock, like the dispatcher database lock: no driver code
// ever runs under it, and it is never held while taking a spin lock.
struct Kernel {
  std::mutex lock;

  std::unordered_map<PDISPATCHER_HEADER, std::deque<Waiter*>> waiters;
  std::multimap<int64_t, Waiter*> timed_waiters;

  std::multimap<int64_t, PKTIMER> timers;  // by due interrupt time
  std::unordered_map<PKTIMER, std::multimap<int64_t, PKTIMER>::iterator> timer_pos;

  std::deque<PKDPC> dpc_queue;
  bool dpc_running = false;
  PKDPC current_dpc = nullptr;
  bool dpc_thread_started = false;
  std::condition_variable dpc_cv;   // work for the DPC thread
  std::condition_variable idle_cv;  // DPC queue drained, thread settled...

  bool clock_thread_started = false;
  std::condition_variable clock_cv;  // timer queue changed / clock unfrozen
  // The interrupt time the clock thread sleeps until (max: until told).
  int64_t clock_wakes_at = std::numeric_limits<int64_t>::max();
  bool advancing = false;
  std::vector<PKTHREAD>* released = nullptr;  // filled while advancing

  std::set<PKTHREAD> threads;         // every live thread object
  std::set<PKTHREAD> system_running;  // system threads not yet ended
  uint64_t next_thread_id = 0x100;
};

Kernel& kernel();
using Guard = std::unique_lock<std::mutex>;

// ---- threads.cpp ----
PKTHREAD current_thread();  // creates the record of a foreign thread lazily
// A release with Wait TRUE leaves a Windows caller at DISPATCH_LEVEL holding
// the dispatcher lock until its next call, which must be a wait: any other
// call from `where` while a wait is owed is a finding.
void check_owed_wait(const char* where);
std::size_t owned_mutex_count();  // by the current thread
// Mutexes the current thread came to own beyond its first `before`: each
// reported under `rule` and abandoned (signalled, unowned, waiters woken).
void abandon_mutexes_gained(std::size_t before, emu::verifier::Rule rule, const std::string& who,
                            const std::string& text);
void dereference_thread_locked(PKTHREAD thread, Guard& guard);  // may unlock to free
// Starts an emulator thread (DPC, clock, worker); dispatcher lock held.
void start_internal_thread_locked(ThreadKind kind, std::string name, std::function<void()> body);
bool worker_settled_locked();  // every worker idle or blocked (dispatcher lock held)
std::size_t pending_work_items_locked();
void reset_threads();  // kernel_reset part: findings for running threads, leaked references
// Whether a system thread still running started at a routine in [lo, hi).
bool system_thread_started_in(uintptr_t lo, uintptr_t hi);

// ---- irql_spinlock.cpp ----
void set_irql_raw(KIRQL irql);
void release_all_recorded_locks_of_thread();
bool thread_holds_spin_lock(const volatile KSPIN_LOCK* lock);
// A write of the IRQL by a loaded image's `mov %cr8`, checked as the
// KfRaiseIrql or KfLowerIrql it stands for would check it.
void write_irql(KIRQL irql, bool raise);

// ---- dispatcher.cpp ----
// Marks the object signalled (per its type) and satisfies waiters; called
// with the dispatcher lock held.
void wake_waiters_locked(PDISPATCHER_HEADER object);
void finish_wait_locked(Waiter* w, NTSTATUS status);
NTSTATUS wait_for_objects(ULONG count, PVOID objects[], WAIT_TYPE type, PLARGE_INTEGER timeout,
                          const char* routine);
void notify_timed_waiters_locked();  // the clock changed mode: re-evaluate deadlines
void reset_dispatcher();
std::size_t live_dispatcher_objects_in(const void* base, std::size_t size, std::string_view routine);

// ---- timers_dpc.cpp ----
bool insert_queue_dpc_locked(PKDPC dpc, PVOID arg1, PVOID arg2);
void expire_timer_locked(PKTIMER timer, int64_t now, bool coarse);
void ensure_clock_thread_locked();
bool dpc_idle_locked();
void reset_timers_and_dpcs(std::string_view context, bool report);
std::size_t live_timers_and_dpcs_in(const void* base, std::size_t size, std::string_view routine);
std::size_t queued_timers_locked();

// ---- clock.cpp ----
int64_t interrupt_now();  // 100 ns since boot
int64_t system_now();     // 100 ns since 1601
int64_t system_to_interrupt(int64_t system_time);
// Real steady-clock point at which interrupt time reaches `t` (real mode).
Clock::time_point real_deadline(int64_t interrupt_t);
bool clock_frozen();
void reset_clock();
// The clock tick on which a due time (interrupt time) takes effect: the
// first tick at or after it.
int64_t on_tick(int64_t due);
void reset_tick();  // back to the default tick (kernel_reset)

// ---- pool.cpp ----
void reset_pool(std::string_view context);

// ---- registry.cpp ----
void reset_registry(std::string_view context);

// ---- object_manager.cpp ----
HANDLE insert_handle(void* object, std::string_view type_name, std::function<void()> on_close);
void* handle_object(HANDLE handle, std::string_view type_name);  // null if not of that type
void reset_handles(std::string_view context);
std::size_t open_handles_of_type(std::string_view type_name);

// ---- trace.cpp / rtl_strings.cpp ----
void reset_trace();
// The argument list of a variadic kernel export: the exports are Windows x64
// routines (NTAPI/__cdecl), so their `...` follows that convention.
#if defined(__x86_64__)
using ms_va_list = __builtin_ms_va_list;
#define EMU_MS_VA_START(ap, last) __builtin_ms_va_start(ap, last)
#define EMU_MS_VA_COPY(dst, src) __builtin_ms_va_copy(dst, src)
#define EMU_MS_VA_END(ap) __builtin_ms_va_end(ap)
#else
using ms_va_list = va_list;
#define EMU_MS_VA_START(ap, last) va_start(ap, last)
#define EMU_MS_VA_COPY(dst, src) va_copy(dst, src)
#define EMU_MS_VA_END(ap) va_end(ap)
#endif

// printf with Microsoft conventions (l = 32 bits, I64, %wZ, %ws...); `wide`
// selects the meaning of %s/%c (wide in swprintf, narrow in DbgPrint).
std::u16string format_ms(bool wide, const void* format, ms_va_list args);

// ---- faults.cpp ----
void reset_faults();

// The kernel's sources report findings unqualified.
using emu::verifier::report;

std::string hex(const void* p);
std::string narrow(std::u16string_view text);

}  // namespace emu::ke
