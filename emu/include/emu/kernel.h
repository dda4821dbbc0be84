// The test and host side of the emulated kernel: the controllable clock, pool
// accounting, fault injection, the captured debugger trace, assertion
// records, the registry as seen from outside, IRQL helpers and the
// between-tests reset.
//
// Everything here is thread-safe.  Routines that wait (advance, jump,
// wait_quiescent, run_on_system_thread) must be called at PASSIVE_LEVEL from a
// thread that holds no spin lock.
#pragma once

#include <nt/ke.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

// ---- The clock ---------------------------------------------------------------
// Real time by default.  Frozen, it moves only when a test advances it; timers
// and timed waits then end in due-time order, in the advancing thread's time.
namespace clock {

using duration = std::chrono::nanoseconds;

void freeze();    // stops the clock at its current reading
void unfreeze();  // real time again, continuing from the frozen reading
bool frozen();

// Moves a frozen clock forward by `by`, stopping at every due time on the way:
// timers expire (their DPCs run) and timed waits end in due order, with the
// clock reading that due time.  Before it starts and at each stop it waits
// until the DPCs have run, every work item has ended or blocks in a kernel
// wait, and every thread the stop released has left its wait and either
// blocks in a kernel wait again or ended (bounded by settle_grace).  A thread
// that re-arms a 1 ms wait is therefore released once per millisecond.
// Throws std::logic_error if the clock is not frozen.
void advance(duration by);

// Like advance(), but in one step: the clock moves straight to the target,
// every timer due by then expires once (in due order; periodic timers are
// re-armed after the target) and every timed wait due by then ends once.  For
// long spans (a 100 s time-out) over threads that poll every millisecond.
void jump(duration by);

// Interrupt time (since boot) and system time (since 1601), 100 ns units, as
// KeQueryInterruptTime/KeQuerySystemTime report them.
int64_t interrupt_time();
int64_t system_time();
duration now();  // interrupt time as a duration

// The clock tick.  As on Windows, a timer expires and a timed wait ends on
// the first tick at or after its due time (ticks fall on multiples of the
// tick in interrupt time), and KeQueryTimeIncrement answers the tick in
// 100 ns units.  Windows' default is 15.625 ms; 1 ms is what a raised timer
// resolution gives.  freeze() stops the clock on a tick.  kernel_reset()
// restores the default tick, which set_default_tick() changes (a test suite
// that wants another one for all its cases).  At least 100 ns (which makes
// due times exact), at most 10 s; std::invalid_argument otherwise.
void set_tick(duration tick);
duration tick();
void set_default_tick(duration tick);  // and set_tick(tick)
constexpr duration windows_tick = std::chrono::microseconds(15625);

// The longest real time advance()/jump() waits at one stop for the system to
// settle (default 1 s).  A released thread that goes on without ever blocking
// in a kernel wait (or a work item that spins) costs that much per stop; a
// thread blocked outside the kernel (std::condition_variable) counts as
// running.  Returns the previous value.
duration settle_grace(duration grace);

}  // namespace clock

// ---- Pool ----------------------------------------------------------------------
namespace pool {

// A pool tag from its four characters as a debugger shows them: "Wdm " is the
// ULONG whose bytes in memory read 'W','d','m',' '.
constexpr ULONG tag(const char (&text)[5]) {
  return ULONG(uint8_t(text[0])) | ULONG(uint8_t(text[1])) << 8 | ULONG(uint8_t(text[2])) << 16 |
         ULONG(uint8_t(text[3])) << 24;
}
std::string tag_text(ULONG tag);

struct TagStats {
  std::size_t allocations = 0;  // successful allocations since the last reset
  std::size_t frees = 0;
  std::size_t outstanding = 0;  // blocks allocated and not yet freed
  std::size_t outstanding_bytes = 0;
  std::size_t failed = 0;  // allocations refused by fault injection
};

struct Block {
  const void* address;
  std::size_t size;
  ULONG tag;
  POOL_TYPE type;
  const void* caller;  // return address of the allocating call
};

std::size_t outstanding(ULONG tag);  // blocks of this tag still allocated
std::size_t outstanding_total();
TagStats stats(ULONG tag);
std::vector<Block> blocks(std::optional<ULONG> tag = std::nullopt);
bool is_allocated(const void* address);

// Reports a "pool-leak" finding for every block of `tag` still allocated and
// returns how many there were (0: no leak).  The blocks stay allocated.
std::size_t check_leaks(ULONG tag, std::string_view context = {});
// Same for every tag.
std::size_t check_all_leaks(std::string_view context = {});

}  // namespace pool

// ---- Fault injection -------------------------------------------------------------
namespace faults {

enum class Site {
  pool_allocation,       // ExAllocatePoolWithTag / ExAllocatePool
  irp_allocation,        // IoAllocateIrp, IoBuildDeviceIoControlRequest...
  work_item_allocation,  // IoAllocateWorkItem
  thread_creation,       // PsCreateSystemThread
  mdl_allocation,        // IoAllocateMdl
  other_allocation,      // any other resource a subsystem chooses to make fallible
};
std::string_view site_name(Site site);

// Fails the n-th (1-based) pool allocation counted from this call.
void fail_nth_allocation(std::size_t n);
// Fails every pool allocation with this tag until clear().
void fail_tag(ULONG tag);
// Fails the n-th (1-based) call of `site` from now on, or every call (n = 0).
void fail_nth(Site site, std::size_t n);
inline void fail_irp_allocation(std::size_t n = 0) { fail_nth(Site::irp_allocation, n); }
inline void fail_thread_creation(std::size_t n = 0) { fail_nth(Site::thread_creation, n); }
inline void fail_work_item(std::size_t n = 0) { fail_nth(Site::work_item_allocation, n); }

// Called by a subsystem before it allocates: true means "fail this one".
// Counts the call.  `tag` matters for pool allocations only.
bool should_fail(Site site, ULONG tag = 0, const void* caller = nullptr);

std::size_t calls(Site site);     // should_fail() calls since clear()
std::size_t injected(Site site);  // of which failed
void clear();                     // no fault armed, counters zero

struct SiteRun {
  std::size_t index;   // 1-based position among the allocation-type calls
  Site site;           // what that call allocated
  ULONG tag;           // its pool tag (pool allocations)
  const void* caller;  // where it was called from, when known
  bool hit;            // whether the run reached and failed that call
};

// Runs `scenario` once with no fault to count its allocation-type calls (all
// Sites), then once more per call with exactly that call failing.  The
// scenario must start from a clean kernel and leave it clean (it is called
// between kernel_reset()s by the caller's choice: this helper does not reset).
// `after_each` (optional) sees every faulted run's description.  `select`
// (optional) sees each call of the counting run and chooses whether its
// faulted run is made (for sampling calls that repeat in a loop).  Returns
// the number of calls counted.
std::size_t for_each_allocation_site(const std::function<void()>& scenario,
                                     const std::function<void(const SiteRun&)>& after_each = {},
                                     const std::function<bool(const SiteRun&)>& select = {});

}  // namespace faults

// ---- Debugger output -----------------------------------------------------------------
namespace trace {

std::vector<std::string> lines();          // DbgPrint output so far, one entry per line
bool contains(std::string_view text);      // some line contains `text`
std::size_t count(std::string_view text);  // lines containing `text`
void clear();
void echo(bool on);  // also write each line to stderr (default: env VRMDM_TRACE set)

}  // namespace trace

// RtlAssert (the ASSERT macro) records here and reports an "assertion-failed"
// finding; execution continues, as on a checked build where the debugger
// answers "ignore".
namespace asserts {

struct Record {
  std::string expression;
  std::string file;
  unsigned line;
  std::string message;
};
std::vector<Record> records();
std::vector<Record> take();
void clear();

}  // namespace asserts

// ---- The registry ------------------------------------------------------------------
// Paths are absolute ("\\REGISTRY\\MACHINE\\..."), case-insensitive.
namespace registry {

struct Value {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
  std::u16string as_string() const;  // REG_SZ/REG_EXPAND_SZ, without the terminator
  ULONG as_dword() const;            // REG_DWORD (0 when shorter)
};

void create_key(std::u16string_view path);  // with any missing parents
bool key_exists(std::u16string_view path);
bool delete_key(std::u16string_view path);  // with its subkeys
void set_value(std::u16string_view path, std::u16string_view name, ULONG type, std::vector<uint8_t> data);
void set_string(std::u16string_view path, std::u16string_view name, std::u16string_view text);  // REG_SZ
void set_dword(std::u16string_view path, std::u16string_view name, ULONG value);
std::optional<Value> get_value(std::u16string_view path, std::u16string_view name);
bool delete_value(std::u16string_view path, std::u16string_view name);
std::vector<std::u16string> value_names(std::u16string_view path);
std::vector<std::u16string> subkeys(std::u16string_view path);
void clear();  // an empty tree with the standard roots

// Opens (or creates) a key and returns a kernel handle to it, as ZwOpenKey /
// ZwCreateKey would; for subsystems that hand out registry keys
// (IoOpenDeviceRegistryKey).  Close with ZwClose.
NTSTATUS open_key(std::u16string_view path, bool create, HANDLE* handle);

std::size_t open_handles();  // key handles not yet closed

}  // namespace registry

// ---- IRQL and system-thread helpers ---------------------------------------------------
// Runs `fn` on the calling thread at `irql` (raised from, and lowered back to,
// the current level); a finding if `fn` returns at another IRQL.
void run_at_irql(KIRQL irql, const std::function<void()>& fn);

// Runs `fn` on a fresh kernel thread at `irql` and waits for it to return.
void run_on_system_thread(KIRQL irql, const std::function<void()>& fn);

// ---- Real-time priorities ------------------------------------------------------------
// Windows runs a thread of the real-time range (priority 16 to 31, as
// KeSetPriorityThread sets it) before every thread of the dynamic range.  With
// this option on, such a thread runs as a Linux SCHED_FIFO thread, its
// priority mapped in order onto fifo_priority(16..31), and one lowered below
// 16 (or every one, when the option goes off) returns to SCHED_OTHER.  Best
// effort: without the privilege (root, CAP_SYS_NICE) a thread stays ordinary,
// silently.  Off by default and kept by kernel_reset(): for a host program
// that models a real machine's timing; tests leave it off, since it changes
// their interleavings and a spinning real-time thread would starve the host.
void set_realtime_priorities(bool on);
bool realtime_priorities();

// The SCHED_FIFO priority of a real-time-range thread (1 to 16).  What
// models an interrupt source (a host controller's frame clock) runs at
// interrupt_fifo_priority, above them all: it preempts them as on a real host.
int fifo_priority(KPRIORITY priority);
constexpr int interrupt_fifo_priority = 17;

// ---- Thread names ---------------------------------------------------------------------
// Every emulator thread carries a name that top -H, ps -L and gdb show:
// "emu-dpc", "emu-clock", "emu-usb-bus", "emu-worker-N", and a system thread
// its start routine's name.  Linux keeps 15 characters.
constexpr std::size_t kThreadNameMax = 15;

// Names the calling OS thread, shortened to kThreadNameMax characters.
void name_this_thread(std::string_view name);

// The name a thread gets from a routine's symbol ("ns::ReadLoop(void*)" ->
// "ReadLoop"): without namespaces, parameters and offset; one too long loses
// a "Function", "Routine" or "Thread" ending, then is cut.  Unknown
// addresses ("0x...") give "system-thread".
std::string thread_name_from_symbol(std::string_view symbol);

// ---- Between tests -------------------------------------------------------------------
// Checks that nothing is left running: system threads, queued timers and DPCs,
// pending work items.  Reports a finding for each (naming `context`) and
// returns whether all was quiet.  Changes nothing.
bool check_quiescent(std::string_view context = "check_quiescent");
bool is_quiescent();
// Waits (real time, bounded) until is_quiescent(); returns whether it became so.
bool wait_quiescent(std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

// Ends a test case: waits briefly for quiescence, reports as findings every
// system thread still running, timer or DPC still queued, work item pending,
// handle left open, object reference not dropped and pool block leaked, then
// returns the kernel to a clean state: timers and DPCs dequeued, pool freed,
// registry emptied, faults cleared, trace and assert records cleared, clock
// real again.  Verifier findings are kept (the test listener reads them).
void kernel_reset();

// Whether the test listener calls kernel_reset() after every test (default
// true).  Suites that keep a driver loaded across tests switch it off.
void set_auto_reset(bool on);
bool auto_reset();

}  // namespace emu

// ---- For tests that must know what the kernel's threads are doing -------------------
namespace emu::ke {

// Runs `fn` on a kernel worker thread at PASSIVE_LEVEL (the I/O manager's work
// items).  A finding if `fn` returns at another IRQL or holding a spin lock.
void queue_work_item(std::function<void()> fn, std::string_view routine = {});
std::size_t pending_work_items();  // queued or running

// Waits until no DPC is queued or running (from PASSIVE_LEVEL).
void flush_dpcs();

// Reports, naming `routine`, every live kernel object inside [base, base+size)
// (a queued timer or DPC, a dispatcher object with waiters, a held spin lock)
// and every running system thread whose start context lies in that range or
// equals `context`.  For IoDeleteDevice and pool frees.  Returns the count.
std::size_t check_no_live_objects(const void* base, std::size_t size, std::string_view routine,
                                  const void* context = nullptr);

// Whether the calling thread is a kernel system thread (PsCreateSystemThread).
bool on_system_thread();

// For tests that must know a thread has really parked before they act: the
// number of threads blocked on a dispatcher object, and bounded (real-time)
// waits until at least `count` are, or until `thread` blocks in any wait
// (one that has not ended yet: a thread released but not yet run is not parked).
std::size_t waiter_count(const void* object);
bool wait_for_waiters(const void* object, std::size_t count,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
bool wait_thread_blocked(PKTHREAD thread, std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
std::size_t timed_waiter_count();  // threads in a wait with a time-out

// Whether `thread` is blocked right now in a wait with a time-out, and the
// interrupt time it asked to be woken at (the wait ends on the first tick at
// or after it); nullopt when it runs, ended, or waits with no time-out.  A
// global count of timed waiters cannot tell which thread waits: this can.
std::optional<clock::duration> timed_wait_due(PKTHREAD thread);
// Bounded (real-time) wait until timed_wait_due(thread) satisfies `accept`
// (called under the kernel's lock: it must not call into the kernel);
// returns whether it did.
bool wait_thread_timed_wait(PKTHREAD thread, const std::function<bool(clock::duration due)>& accept,
                            std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

}  // namespace emu::ke
