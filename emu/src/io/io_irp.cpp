// Request packets: allocation, the walk down the stack (IofCallDriver) and
// back up (IofCompleteRequest) as the I/O manager does it, cancellation under
// the cancel spin lock, the IoBuild* packets, and the checks Driver Verifier
// makes on them.
//
// Locking: each packet's record has its own mutex, held only for bookkeeping,
// never across a call into a driver.  The table of records has one mutex.
#include "io/io_internal.h"
#include "ke/ke_internal.h"

#include <algorithm>
#include <deque>
#include <unordered_map>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define EMU_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define EMU_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define EMU_POISON(p, n) ((void)(p), (void)(n))
#define EMU_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace emu::io {

namespace {

std::mutex g_table_mutex;
std::unordered_map<const IRP*, std::shared_ptr<IrpRecord>> g_irps;
// Freed packets stay allocated (and, under ASan, poisoned) for a while so that
// a late completion or cancel is reported instead of touching reused memory.
std::deque<PIRP> g_quarantine;
constexpr std::size_t kDefaultQuarantine = 256;
std::size_t g_quarantine_limit = kDefaultQuarantine;  // guarded by g_table_mutex

KSPIN_LOCK g_cancel_lock = 0;
std::atomic<long long> g_wait_limit_ms{30000};

PIO_STACK_LOCATION first_location(PIRP irp) { return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1); }

// Windows zeroes a new packet's stack locations, so a driver that forwards a
// packet without setting the next one sends the lower driver an IRP_MJ_CREATE
// of nothing; here such a location carries a major function no request has.
constexpr UCHAR kUnsetMajor = 0xFF;

void init_packet(PIRP irp, USHORT size, CCHAR stack_size) {
  memset(irp, 0, size);
  for (CCHAR i = 0; i < stack_size; ++i) first_location(irp)[i].MajorFunction = kUnsetMajor;
  irp->Type = IO_TYPE_IRP;
  irp->Size = size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  InitializeListHead(&irp->ThreadListEntry);
  irp->Tail.Overlay.CurrentStackLocation = first_location(irp) + stack_size;
}

std::shared_ptr<IrpRecord> new_record(IrpKind kind, CCHAR stack_size) {
  auto rec = std::make_shared<IrpRecord>();
  rec->kind = kind;
  rec->gen.assign(static_cast<std::size_t>(stack_size), 0);
  rec->walked_gen.assign(static_cast<std::size_t>(stack_size), 0);
  rec->marked.assign(static_cast<std::size_t>(stack_size), 0);
  rec->pending_gen.assign(static_cast<std::size_t>(stack_size), 0);
  rec->dispatch.assign(static_cast<std::size_t>(stack_size), nullptr);
  return rec;
}

// Moves a freed packet into quarantine, evicting (really freeing) the oldest.
// Once the table lock is dropped another thread's release may evict and free
// this packet, so it is sized and poisoned under the lock; only the evicted
// packet, which nobody else can reach any more, is touched outside it.
void quarantine(PIRP irp, bool own_memory) {
  std::vector<std::pair<PIRP, std::size_t>> evicted;
  {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    if (!own_memory) {
      g_irps.erase(irp);
      return;
    }
    const std::size_t size = irp->Size;
    g_quarantine.push_back(irp);
    EMU_POISON(irp, size);
    while (g_quarantine.size() > g_quarantine_limit) {
      PIRP evict = g_quarantine.front();
      g_quarantine.pop_front();
      g_irps.erase(evict);
      EMU_UNPOISON(evict, sizeof(IRP));
      evicted.emplace_back(evict, evict->Size);
    }
  }
  for (auto [evict, size] : evicted) {
    EMU_UNPOISON(evict, size);
    std::free(evict);
  }
}

void zero_location(PIO_STACK_LOCATION sp) {
  sp->MinorFunction = 0;
  sp->Flags = 0;
  __atomic_store_n(&sp->Control, static_cast<UCHAR>(0), __ATOMIC_RELAXED);
  memset(&sp->Parameters, 0, sizeof sp->Parameters);
  sp->FileObject = nullptr;
  sp->CompletionRoutine = nullptr;
  sp->Context = nullptr;
}

std::string routine_context(const void* caller, const void* routine) {
  std::string text = symbol_name(caller);
  if (routine != nullptr && routine != caller) text += " (in " + symbol_name(routine) + ")";
  return text;
}

void report_unmarked(PIRP irp, const void* routine) {
  verifier::report(
      emu::verifier::Rule::pending_not_marked, symbol_name(routine), irp,
      "dispatch routine " + symbol_name(routine) + " returned STATUS_PENDING without IoMarkIrpPending");
}

void check_irql_back(KIRQL expected, const void* routine, PIRP irp, const char* what) {
  KIRQL now = KeGetCurrentIrql();
  if (now == expected) return;
  verifier::report(emu::verifier::Rule::irql_changed, symbol_name(routine), irp,
                   std::string(what) + " " + symbol_name(routine) + " entered at IRQL " +
                       std::to_string(expected) + " returned at IRQL " + std::to_string(now));
  emu::ke::set_irql(expected);
}

// The walk back up the stack, from the current location of a packet whose
// completion has begun.
void complete_walk(PIRP irp, const std::shared_ptr<IrpRecord>& rec) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
  for (; irp->CurrentLocation <= irp->StackCount + 1;
       sp++, irp->CurrentLocation++, irp->Tail.Overlay.CurrentStackLocation++) {
    std::size_t idx = static_cast<std::size_t>(sp - first_location(irp));
    UCHAR control;
    {
      std::lock_guard<std::mutex> lock(rec->m);
      control = __atomic_load_n(&sp->Control, __ATOMIC_RELAXED);
      rec->walked_gen[idx] = rec->gen[idx];
      rec->marked[idx] = (control & SL_PENDING_RETURNED) ? 1 : 0;
      if (rec->pending_gen[idx] != 0 && rec->pending_gen[idx] == rec->gen[idx]) {
        rec->pending_gen[idx] = 0;
        if (!(control & SL_PENDING_RETURNED)) report_unmarked(irp, rec->dispatch[idx]);
      }
      if (!(control & (SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL)))
        __atomic_store_n(&sp->Control, static_cast<UCHAR>(0), __ATOMIC_RELAXED);
    }
    irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    NTSTATUS status = irp->IoStatus.Status;
    bool cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_RELAXED) != 0;
    bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                  (cancelled && (control & SL_INVOKE_ON_CANCEL));
    if (invoke) {
      PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
      PVOID context = sp->Context;
      {
        std::lock_guard<std::mutex> lock(rec->m);
        zero_location(sp);
        // The routine's driver owns the packet while it runs: it may complete
        // it again or free it.
        rec->completing = false;
      }
      PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                  ? nullptr
                                  : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      KIRQL irql = KeGetCurrentIrql();
      NTSTATUS result;
      {
        RoutineScope scope(reinterpret_cast<const void*>(routine), device ? device->DriverObject : nullptr);
        result = routine(device, irp, context);
      }
      check_irql_back(irql, reinterpret_cast<const void*>(routine), irp, "completion routine");
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      std::lock_guard<std::mutex> lock(rec->m);
      if (rec->freed || rec->completing) {
        verifier::report(emu::verifier::Rule::irp_completed_twice,
                         symbol_name(reinterpret_cast<const void*>(routine)), irp,
                         "completion routine " + symbol_name(reinterpret_cast<const void*>(routine)) +
                             " let completion go on although the packet was " +
                             (rec->freed ? "freed" : "completed again") + " meanwhile");
        return;
      }
      rec->completing = true;
    } else {
      if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) IoMarkIrpPending(irp);
      std::lock_guard<std::mutex> lock(rec->m);
      zero_location(sp);
    }
  }
  std::function<void(PIRP)> finished;
  IrpKind kind;
  {
    std::lock_guard<std::mutex> lock(rec->m);
    rec->finished = true;
    finished = rec->on_finished;
    kind = rec->kind;
  }
  if (finished) {
    finished(irp);
  } else if (kind == IrpKind::driver || kind == IrpKind::driver_init) {
    verifier::report(
        emu::verifier::Rule::irp_completed_past_top, "", irp,
        describe_irp(irp) +
            ": a packet a driver allocated was completed past its top location; its allocator must "
            "stop completion with a routine returning STATUS_MORE_PROCESSING_REQUIRED");
  }
}

void finish_built(PIRP irp) {
  auto rec = irp_record(irp);
  PVOID out = rec->built_output;
  ULONG out_length = rec->built_output_length;
  if (rec->built_buffered && rec->built_input && out != nullptr &&
      irp->AssociatedIrp.SystemBuffer != nullptr && !NT_ERROR(irp->IoStatus.Status)) {
    ULONG_PTR n = irp->IoStatus.Information;
    if (n > out_length) {
      verifier::report(emu::verifier::Rule::information_exceeds_buffer, "", irp,
                       describe_irp(irp) + " completed with Information " + std::to_string(n) +
                           " for an output buffer of " + std::to_string(out_length) + " bytes");
      n = out_length;
    }
    memcpy(out, irp->AssociatedIrp.SystemBuffer, n);
  }
  if (irp->Flags & IRP_DEALLOCATE_BUFFER) std::free(irp->AssociatedIrp.SystemBuffer);
  irp->AssociatedIrp.SystemBuffer = nullptr;
  free_irp_mdls(irp);
  PKEVENT event = irp->UserEvent;
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  release_irp(irp);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

const char* kind_name(IrpKind kind) {
  switch (kind) {
    case IrpKind::driver:
      return "IoAllocateIrp";
    case IrpKind::driver_init:
      return "IoInitializeIrp";
    case IrpKind::built:
      return "IoBuild*Request";
    case IrpKind::user:
      return "user request";
    case IrpKind::system:
      return "system request";
  }
  return "?";
}

PIRP allocate_irp(CCHAR stack_size, IrpKind kind, bool faultable, const void* caller) {
  if (stack_size < 1) {
    verifier::report(emu::verifier::Rule::irp_stack_size, symbol_name(caller), nullptr,
                     "request packet asked with " + std::to_string(stack_size) + " stack locations");
    return nullptr;
  }
  ensure_reset_hook();
  if (faultable && emu::faults::should_fail(emu::faults::Site::irp_allocation, 0, caller)) return nullptr;
  USHORT size = IoSizeOfIrp(stack_size);
  auto irp = static_cast<PIRP>(std::calloc(1, size));
  if (irp == nullptr) return nullptr;
  init_packet(irp, size, stack_size);
  auto rec = new_record(kind, stack_size);
  std::lock_guard<std::mutex> lock(g_table_mutex);
  g_irps[irp] = std::move(rec);
  return irp;
}

std::shared_ptr<IrpRecord> irp_record(PIRP irp) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  auto it = g_irps.find(irp);
  return it == g_irps.end() ? nullptr : it->second;
}

void release_irp(PIRP irp) {
  auto rec = irp_record(irp);
  if (!rec) return;
  bool own;
  {
    std::lock_guard<std::mutex> lock(rec->m);
    if (rec->freed) return;
    rec->freed = true;
    rec->on_finished = nullptr;
    own = rec->kind != IrpKind::driver_init;
  }
  quarantine(irp, own);
}

std::size_t outstanding_count() {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  std::size_t n = 0;
  for (auto& [irp, rec] : g_irps) {
    std::lock_guard<std::mutex> l(rec->m);
    if (!rec->freed) ++n;
  }
  return n;
}

void reset_irps() {
  std::vector<std::pair<const IRP*, std::shared_ptr<IrpRecord>>> all;
  std::deque<PIRP> freed;
  {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    all.assign(g_irps.begin(), g_irps.end());
    g_irps.clear();
    freed.swap(g_quarantine);
    g_quarantine_limit = kDefaultQuarantine;
  }
  for (auto& [irp, rec] : all) {
    std::lock_guard<std::mutex> l(rec->m);
    if (rec->freed) continue;
    rec->freed = true;
    verifier::report(emu::verifier::Rule::irp_outstanding_at_reset, "", irp,
                     std::string("request packet (") + kind_name(rec->kind) +
                         ") neither completed nor freed when the kernel was reset");
    if (rec->kind != IrpKind::driver_init) std::free(const_cast<PIRP>(irp));
  }
  for (PIRP irp : freed) {
    EMU_UNPOISON(irp, sizeof(IRP));
    EMU_UNPOISON(irp, irp->Size);
    std::free(irp);
  }
}

NTSTATUS call_driver_for_requester(PDEVICE_OBJECT device, PIRP irp) {
  const PDRIVER_DISPATCH dispatch =
      device->DriverObject->MajorFunction[IoGetNextIrpStackLocation(irp)->MajorFunction];
  const std::size_t owned = ke::owned_mutex_count();
  NTSTATUS returned = IofCallDriver(device, irp);
  if (ke::owned_mutex_count() == owned) return returned;  // the usual case: no symbol lookup per request
  const std::string who = symbol_name(reinterpret_cast<const void*>(dispatch));
  ke::abandon_mutexes_gained(owned, emu::verifier::Rule::mutex_held_on_return, who,
                             "dispatch routine " + who + " returned to its requester owning a mutex");
  return returned;
}

SystemSend send_system_irp(PDEVICE_OBJECT device, PIRP irp, const char* what,
                           std::function<void(PIRP)> finished) {
  struct Waiter {
    std::mutex m;
    std::condition_variable cv;
    SystemSend result;
  };
  auto waiter = std::make_shared<Waiter>();
  auto rec = irp_record(irp);
  {
    std::lock_guard<std::mutex> lock(rec->m);
    rec->on_finished = [waiter, finished, rec](PIRP p) {
      if (finished) finished(p);
      std::size_t snp;
      {
        std::lock_guard<std::mutex> l(rec->m);
        snp = rec->start_next_power;
      }
      std::lock_guard<std::mutex> l(waiter->m);
      waiter->result.status = p->IoStatus.Status;
      waiter->result.information = p->IoStatus.Information;
      waiter->result.start_next_power = snp;
      waiter->result.completed = true;
      waiter->cv.notify_all();
    };
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    verifier::report(emu::verifier::Rule::system_request_irql, what, irp,
                     std::string(what) + " sent above PASSIVE_LEVEL");
  NTSTATUS returned = call_driver_for_requester(device, irp);
  bool returned_done;
  {
    std::lock_guard<std::mutex> lock(waiter->m);
    returned_done = waiter->result.completed;
  }
  bool done = wait_for(waiter->m, waiter->cv, request_wait_limit(), [&] { return waiter->result.completed; });
  SystemSend result;
  {
    std::lock_guard<std::mutex> lock(waiter->m);
    result = waiter->result;
  }
  result.returned = returned;
  if (!done) {
    verifier::report(emu::verifier::Rule::request_not_completed, what, irp,
                     std::string(what) + " was not completed within " +
                         std::to_string(request_wait_limit().count()) + " ms");
    return result;
  }
  if (returned != STATUS_PENDING && !returned_done)
    verifier::report(emu::verifier::Rule::status_returned_without_completion, what, irp,
                     std::string(what) + ": the dispatch routine returned " + std::to_string(returned) +
                         " (not STATUS_PENDING) before the request was completed");
  else if (returned != STATUS_PENDING && returned != result.status)
    verifier::report(emu::verifier::Rule::status_mismatch, what, irp,
                     std::string(what) + ": the dispatch routine returned " + std::to_string(returned) +
                         " but completed the request with " + std::to_string(result.status));
  release_irp(irp);
  return result;
}

const volatile KSPIN_LOCK* cancel_spin_lock() { return &g_cancel_lock; }

}  // namespace emu::io

using namespace emu::io;

// ---- Allocation ---------------------------------------------------------------------

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  return allocate_irp(StackSize, IrpKind::driver, true, __builtin_return_address(0));
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  if (PacketSize < IoSizeOfIrp(StackSize)) {
    emu::verifier::report(emu::verifier::Rule::irp_too_small, symbol_name(__builtin_return_address(0)), Irp,
                          "IoInitializeIrp with a packet size of " + std::to_string(PacketSize) + " for " +
                              std::to_string(StackSize) + " stack locations");
    return;
  }
  auto rec = irp_record(Irp);
  if (rec) {
    std::lock_guard<std::mutex> lock(rec->m);
    if (!rec->freed) {
      init_packet(Irp, PacketSize, StackSize);
      rec->gen.assign(StackSize, 0);
      rec->walked_gen.assign(StackSize, 0);
      rec->marked.assign(StackSize, 0);
      rec->pending_gen.assign(StackSize, 0);
      rec->dispatch.assign(StackSize, nullptr);
      rec->completing = rec->finished = false;
      return;
    }
  }
  init_packet(Irp, PacketSize, StackSize);
  auto fresh = new_record(IrpKind::driver_init, StackSize);
  std::lock_guard<std::mutex> lock(g_table_mutex);
  g_irps[Irp] = std::move(fresh);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  auto rec = irp_record(Irp);
  if (!rec) {
    emu::verifier::report(emu::verifier::Rule::irp_unknown, symbol_name(__builtin_return_address(0)), Irp,
                          "IoReuseIrp of a packet the I/O manager does not know");
    return;
  }
  std::lock_guard<std::mutex> lock(rec->m);
  if (rec->freed || Irp->CurrentLocation <= Irp->StackCount) {
    emu::verifier::report(
        emu::verifier::Rule::irp_reused_while_owned, symbol_name(__builtin_return_address(0)), Irp,
        rec->freed ? "IoReuseIrp of a freed packet" : "IoReuseIrp of a packet a driver still holds");
    return;
  }
  UCHAR flags = Irp->AllocationFlags;
  init_packet(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = flags;
  Irp->IoStatus.Status = Iostatus;
  std::fill(rec->gen.begin(), rec->gen.end(), 0);
  std::fill(rec->walked_gen.begin(), rec->walked_gen.end(), 0);
  std::fill(rec->pending_gen.begin(), rec->pending_gen.end(), 0);
  rec->completing = rec->finished = false;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  const void* caller = __builtin_return_address(0);
  auto rec = irp_record(Irp);
  if (!rec) {
    emu::verifier::report(emu::verifier::Rule::irp_unknown, symbol_name(caller), Irp,
                          "IoFreeIrp of a packet the I/O manager never allocated");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(rec->m);
    if (rec->freed) {
      emu::verifier::report(emu::verifier::Rule::irp_freed_twice, symbol_name(caller), Irp,
                            "IoFreeIrp of a packet already freed");
      return;
    }
    if (rec->kind != IrpKind::driver) {
      emu::verifier::report(
          emu::verifier::Rule::irp_freed_by_driver, symbol_name(caller), Irp,
          std::string("IoFreeIrp of a packet the I/O manager owns (") + kind_name(rec->kind) + ")");
      return;
    }
    if (Irp->CurrentLocation <= Irp->StackCount || (rec->completing && !rec->finished)) {
      PDEVICE_OBJECT holder = Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount
                                  ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                  : nullptr;
      emu::verifier::report(emu::verifier::Rule::irp_freed_while_owned, symbol_name(caller), Irp,
                            "IoFreeIrp of a packet still held by " +
                                (holder ? "device " + narrow(emu::device_name(holder)) + " of driver " +
                                              narrow(from_unicode(&holder->DriverObject->DriverName))
                                        : std::string("a driver")));
      return;
    }
    // IoCancelIrp may exchange the routine from any thread at any time.
    PDRIVER_CANCEL cancel = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_RELAXED);
    if (cancel != nullptr)
      emu::verifier::report(emu::verifier::Rule::irp_freed_with_cancel_routine, symbol_name(caller), Irp,
                            "IoFreeIrp with cancel routine " +
                                symbol_name(reinterpret_cast<const void*>(cancel)) + " still set");
  }
  release_irp(Irp);
}

// ---- The walk down and up --------------------------------------------------------------

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  emu::ke::check_owed_wait("IofCallDriver");
  const void* caller = __builtin_return_address(0);
  auto rec = irp_record(Irp);
  if (!rec) {
    emu::verifier::report(emu::verifier::Rule::irp_unknown, symbol_name(caller), Irp,
                          "IofCallDriver with a packet the I/O manager never allocated");
    return STATUS_INVALID_PARAMETER;
  }
  {
    std::lock_guard<std::mutex> lock(rec->m);
    if (rec->freed || rec->finished) {
      emu::verifier::report(
          emu::verifier::Rule::irp_used_after_completion, symbol_name(caller), Irp,
          std::string("IofCallDriver with a packet already ") + (rec->freed ? "freed" : "completed"));
      return STATUS_INVALID_PARAMETER;
    }
  }
  if (DeviceObject == nullptr || !device_known(DeviceObject)) {
    emu::verifier::report(emu::verifier::Rule::call_unknown_device, symbol_name(caller), Irp,
                          "IofCallDriver to a device object that does not exist (deleted?)");
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) {
    emu::verifier::report(emu::verifier::Rule::no_more_stack_locations, symbol_name(caller), Irp,
                          describe_irp(Irp) + " has no stack location left for device " +
                              narrow(emu::device_name(DeviceObject)));
    return STATUS_INVALID_PARAMETER;
  }
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  sp->DeviceObject = DeviceObject;
  std::size_t idx = static_cast<std::size_t>(sp - first_location(Irp));
  uint32_t generation;
  UCHAR major = sp->MajorFunction;
  PDRIVER_DISPATCH routine =
      major <= IRP_MJ_MAXIMUM_FUNCTION ? DeviceObject->DriverObject->MajorFunction[major] : nullptr;
  {
    std::lock_guard<std::mutex> lock(rec->m);
    generation = ++rec->gen[idx];
    rec->pending_gen[idx] = 0;
    rec->dispatch[idx] = reinterpret_cast<const void*>(routine);
  }
  if (major > IRP_MJ_MAXIMUM_FUNCTION) {
    if (major == kUnsetMajor)
      emu::verifier::report(emu::verifier::Rule::stack_location_not_set, symbol_name(caller), Irp,
                            "IofCallDriver to " + narrow(emu::device_name(DeviceObject)) +
                                " with a stack location nobody set up");
    else
      emu::verifier::report(emu::verifier::Rule::invalid_major_function, symbol_name(caller), Irp,
                            "major function " + std::to_string(major) + " out of range");
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL)
    emu::verifier::report(emu::verifier::Rule::call_driver_irql, symbol_name(caller), Irp,
                          "IofCallDriver at IRQL " + std::to_string(irql));
  NTSTATUS status;
  {
    RoutineScope scope(reinterpret_cast<const void*>(routine), DeviceObject->DriverObject);
    status = routine(DeviceObject, Irp);
  }
  check_irql_back(irql, reinterpret_cast<const void*>(routine), Irp, "dispatch routine");
  if (status == STATUS_PENDING) {
    // The mark may still come from the driver's completion routine: it is
    // checked when both the return and the walk past this location happened.
    std::lock_guard<std::mutex> lock(rec->m);
    if (rec->gen[idx] == generation) {
      if (rec->walked_gen[idx] == generation) {
        if (!rec->marked[idx]) report_unmarked(Irp, reinterpret_cast<const void*>(routine));
      } else {
        rec->pending_gen[idx] = generation;
      }
    }
  }
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  emu::ke::check_owed_wait("IofCompleteRequest");
  (void)PriorityBoost;
  const void* caller = __builtin_return_address(0);
  auto rec = irp_record(Irp);
  if (!rec) {
    emu::verifier::report(emu::verifier::Rule::irp_unknown, symbol_name(caller), Irp,
                          "IofCompleteRequest of a packet the I/O manager never allocated");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(rec->m);
    if (rec->freed || rec->completing || rec->finished) {
      std::string by = routine_context(caller, current_routine());
      emu::verifier::report(emu::verifier::Rule::irp_completed_twice, by, Irp,
                            "request completed again by " + by +
                                (rec->completed_by ? "; it was completed before by " +
                                                         routine_context(rec->completed_by, rec->completed_in)
                                                   : std::string()) +
                                (rec->freed ? " and has been freed" : ""));
      return;
    }
    rec->completing = true;
    rec->completed_by = caller;
    rec->completed_in = current_routine();
  }
  auto by = [&] { return routine_context(caller, current_routine()); };
  PDRIVER_CANCEL cancel = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_RELAXED);
  if (cancel != nullptr)
    emu::verifier::report(emu::verifier::Rule::irp_completed_with_cancel_routine, by(), Irp,
                          "request completed by " + by() + " with cancel routine " +
                              symbol_name(reinterpret_cast<const void*>(cancel)) + " still set");
  if (Irp->IoStatus.Status == STATUS_PENDING)
    emu::verifier::report(emu::verifier::Rule::irp_completed_pending, by(), Irp,
                          "request completed by " + by() + " with STATUS_PENDING");
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL)
    emu::verifier::report(emu::verifier::Rule::complete_irql, by(), Irp,
                          "IofCompleteRequest at IRQL " + std::to_string(irql));
  if (Irp->CurrentLocation > Irp->StackCount) {
    emu::verifier::report(emu::verifier::Rule::irp_completed_at_rest, by(), Irp,
                          "IofCompleteRequest of a packet that was never passed to a driver");
    std::lock_guard<std::mutex> lock(rec->m);
    rec->completing = false;
    return;
  }
  complete_walk(Irp, rec);
}

// ---- Cancellation ----------------------------------------------------------------------

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancel_lock); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancel_lock, Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  const void* caller = __builtin_return_address(0);
  auto rec = irp_record(Irp);
  if (!rec) {
    emu::verifier::report(emu::verifier::Rule::irp_unknown, symbol_name(caller), Irp,
                          "IoCancelIrp of a packet the I/O manager never allocated");
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lock(rec->m);
    if (rec->freed) {
      emu::verifier::report(emu::verifier::Rule::irp_used_after_completion, symbol_name(caller), Irp,
                            "IoCancelIrp of a freed packet");
      return FALSE;
    }
  }
  KIRQL entry = KeGetCurrentIrql();
  if (entry > DISPATCH_LEVEL)
    emu::verifier::report(emu::verifier::Rule::cancel_irql, symbol_name(caller), Irp,
                          "IoCancelIrp at IRQL " + std::to_string(entry));
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, static_cast<BOOLEAN>(TRUE), __ATOMIC_RELAXED);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount
                              ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                              : nullptr;
  {
    RoutineScope scope(reinterpret_cast<const void*>(routine), device ? device->DriverObject : nullptr);
    routine(device, Irp);
  }
  KIRQL now = KeGetCurrentIrql();
  if (now != entry) {
    emu::verifier::report(emu::verifier::Rule::irql_changed,
                          symbol_name(reinterpret_cast<const void*>(routine)), Irp,
                          "cancel routine " + symbol_name(reinterpret_cast<const void*>(routine)) +
                              " returned at IRQL " + std::to_string(now) + " instead of " +
                              std::to_string(entry) + " (cancel spin lock not released?)");
  }
  return TRUE;
}

// ---- Packets the I/O manager builds for a driver ---------------------------------------

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer,
                                         ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                         PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  const void* caller = __builtin_return_address(0);
  if (DeviceObject == nullptr) return nullptr;
  PIRP irp = allocate_irp(DeviceObject->StackSize, IrpKind::built, true, caller);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  auto rec = irp_record(irp);
  std::unique_lock<std::mutex> lock(rec->m);
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
      ULONG size = std::max(InputBufferLength, OutputBufferLength);
      if (size != 0) {
        irp->AssociatedIrp.SystemBuffer = std::calloc(1, size);
        if (InputBuffer != nullptr && InputBufferLength != 0)
          memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (OutputBuffer != nullptr && OutputBufferLength != 0) irp->Flags |= IRP_INPUT_OPERATION;
      }
      irp->UserBuffer = OutputBuffer;
      rec->built_buffered = true;
      rec->built_input = OutputBuffer != nullptr && OutputBufferLength != 0;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      // The input is buffered, the output described by a locked MDL.
      if (InputBuffer != nullptr && InputBufferLength != 0) {
        irp->AssociatedIrp.SystemBuffer = std::calloc(1, InputBufferLength);
        memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      irp->UserBuffer = OutputBuffer;
      if (OutputBuffer != nullptr && OutputBufferLength != 0 &&
          allocate_locked_mdl(
              OutputBuffer, OutputBufferLength,
              METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess,
              irp) == nullptr) {
        if (irp->Flags & IRP_DEALLOCATE_BUFFER) std::free(irp->AssociatedIrp.SystemBuffer);
        lock.unlock();
        release_irp(irp);
        return nullptr;
      }
      break;
    default:
      sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  rec->built_output = OutputBuffer;
  rec->built_output_length = OutputBufferLength;
  rec->on_finished = finish_built;
  return irp;
}

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                        ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                        PIO_STATUS_BLOCK IoStatusBlock) {
  const void* caller = __builtin_return_address(0);
  if (DeviceObject == nullptr) return nullptr;
  if (MajorFunction != IRP_MJ_READ && MajorFunction != IRP_MJ_WRITE &&
      MajorFunction != IRP_MJ_FLUSH_BUFFERS && MajorFunction != IRP_MJ_SHUTDOWN) {
    emu::verifier::report(emu::verifier::Rule::invalid_major_function, symbol_name(caller), nullptr,
                          "IoBuildSynchronousFsdRequest for major function " + std::to_string(MajorFunction));
    return nullptr;
  }
  PIRP irp = allocate_irp(DeviceObject->StackSize, IrpKind::built, true, caller);
  if (irp == nullptr) return nullptr;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = static_cast<UCHAR>(MajorFunction);
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  auto rec = irp_record(irp);
  std::lock_guard<std::mutex> lock(rec->m);
  rec->on_finished = finish_built;
  if (MajorFunction != IRP_MJ_READ && MajorFunction != IRP_MJ_WRITE) return irp;
  sp->Parameters.Read.Length = Length;
  sp->Parameters.Read.ByteOffset.QuadPart = StartingOffset ? StartingOffset->QuadPart : 0;
  if ((DeviceObject->Flags & DO_BUFFERED_IO) && Length != 0) {
    irp->AssociatedIrp.SystemBuffer = std::calloc(1, Length);
    irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (MajorFunction == IRP_MJ_WRITE) {
      if (Buffer != nullptr) memcpy(irp->AssociatedIrp.SystemBuffer, Buffer, Length);
    } else {
      irp->Flags |= IRP_INPUT_OPERATION;
      rec->built_buffered = true;
      rec->built_input = Buffer != nullptr;
      rec->built_output = Buffer;
      rec->built_output_length = Length;
    }
  }
  irp->UserBuffer = Buffer;
  return irp;
}

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  return MajorVersion < 6 || (MajorVersion == 6 && MinorVersion <= 0x30);
}

// ---- Test side ---------------------------------------------------------------------------

namespace emu {

std::chrono::milliseconds set_request_wait_limit(std::chrono::milliseconds limit) {
  return std::chrono::milliseconds(g_wait_limit_ms.exchange(limit.count()));
}

std::chrono::milliseconds request_wait_limit() { return std::chrono::milliseconds(g_wait_limit_ms.load()); }

std::size_t outstanding_irps() { return emu::io::outstanding_count(); }

std::size_t set_irp_quarantine(std::size_t packets) {
  std::lock_guard<std::mutex> lock(emu::io::g_table_mutex);
  return std::exchange(emu::io::g_quarantine_limit, packets);
}

NTSTATUS call_driver(PDEVICE_OBJECT device, PIRP irp) { return IofCallDriver(device, irp); }

}  // namespace emu
