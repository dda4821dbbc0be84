// IRQL (one level per thread) and spin locks with real exclusion across
// threads.  A held KSPIN_LOCK contains its owner's thread object address with
// the low bit set, as a checked kernel keeps it; 0 is free.

#include "ke/ke_internal.h"

#include <algorithm>
#include <cstdio>

namespace emu::ke {
namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local std::vector<const volatile KSPIN_LOCK*> t_held;
// Recursive acquisitions already reported: the matching releases are no-ops,
// so one mistake yields one finding instead of a hang.
thread_local std::vector<const volatile KSPIN_LOCK*> t_recursive;

const char* irql_name(KIRQL irql) {
  switch (irql) {
    case PASSIVE_LEVEL:
      return "PASSIVE_LEVEL";
    case APC_LEVEL:
      return "APC_LEVEL";
    case DISPATCH_LEVEL:
      return "DISPATCH_LEVEL";
    default:
      return "raised";
  }
}

std::string irql_text(KIRQL irql) { return std::to_string(irql) + " (" + irql_name(irql) + ")"; }

ULONG_PTR owner_token() { return reinterpret_cast<ULONG_PTR>(current_thread()) | 1; }

bool owner_is_live_thread(ULONG_PTR value) {
  auto* thread = reinterpret_cast<PKTHREAD>(value & ~ULONG_PTR(1));
  Guard g(kernel().lock);
  return (value & 1) && kernel().threads.count(thread) != 0;
}

void acquire_word(PKSPIN_LOCK lock, const char* routine) {
  const ULONG_PTR me = owner_token();
  ULONG_PTR seen = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (seen == me) {
    report(emu::verifier::Rule::spinlock_recursive_acquire, routine, lock,
           "the calling thread already holds this spin lock (a deadlock on a real machine)");
    t_recursive.push_back(lock);
    return;
  }
  unsigned spins = 0;
  bool checked_owner = false;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    ++spins;
    if (spins < 64) {
      __builtin_ia32_pause();
    } else if (spins < 256 || !emu::realtime_priorities()) {
      std::this_thread::yield();
    } else {
      // A real-time spinner's yield lets no ordinary thread run on its
      // processor, the preempted holder perhaps: it sleeps instead.
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    // A lock word that names no live thread was never initialised, was
    // overwritten, or its owner ended holding it: report once and take it.
    if (!checked_owner && spins == (1u << 16)) {
      checked_owner = true;
      ULONG_PTR value = __atomic_load_n(lock, __ATOMIC_RELAXED);
      if (value != 0 && !owner_is_live_thread(value)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%#lx", static_cast<unsigned long>(value));
        report(emu::verifier::Rule::spinlock_corrupt, routine, lock,
               std::string("lock word ") + buf +
                   " names no live thread (uninitialised, overwritten, or its owner ended)");
        if (__atomic_compare_exchange_n(lock, &value, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
      }
    }
  }
  t_held.push_back(lock);
}

bool try_acquire_word(PKSPIN_LOCK lock) {
  const ULONG_PTR me = owner_token();
  ULONG_PTR expected = 0;
  if (!__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
    return false;
  t_held.push_back(lock);
  return true;
}

void release_word(PKSPIN_LOCK lock, const char* routine) {
  auto rec = std::find(t_recursive.rbegin(), t_recursive.rend(), lock);
  if (rec != t_recursive.rend()) {
    t_recursive.erase(std::next(rec).base());
    return;
  }
  const ULONG_PTR me = owner_token();
  ULONG_PTR value = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (value == 0) {
    report(emu::verifier::Rule::spinlock_not_held, routine, lock, "releasing a spin lock that nobody holds");
    return;
  }
  if (value != me) {
    report(emu::verifier::Rule::spinlock_released_by_other_thread, routine, lock,
           "the spin lock is held by another thread; the release is ignored");
    return;
  }
  auto it = std::find(t_held.rbegin(), t_held.rend(), lock);
  if (it != t_held.rend()) t_held.erase(std::next(it).base());
  __atomic_store_n(lock, ULONG_PTR(0), __ATOMIC_RELEASE);
}

void lower_to(KIRQL new_irql, const char* routine) {
  if (new_irql > t_irql) {
    report(emu::verifier::Rule::irql_not_lowered, routine, nullptr,
           "lowering IRQL from " + irql_text(t_irql) + " to the higher " + irql_text(new_irql));
  }
  if (new_irql < DISPATCH_LEVEL && !t_held.empty()) {
    report(emu::verifier::Rule::irql_lowered_holding_spinlock, routine,
           const_cast<const KSPIN_LOCK*>(t_held.back()),
           "IRQL lowered to " + irql_text(new_irql) + " while a spin lock is held");
  }
  t_irql = new_irql;
}

KIRQL raise_to(KIRQL new_irql, const char* routine) {
  KIRQL old = t_irql;
  if (new_irql < old) {
    report(emu::verifier::Rule::irql_not_raised, routine, nullptr,
           "raising IRQL from " + irql_text(old) + " to the lower " + irql_text(new_irql));
  }
  t_irql = new_irql;
  return old;
}

}  // namespace

void set_irql_raw(KIRQL irql) { t_irql = irql; }

void write_irql(KIRQL irql, bool raise) {
  if (raise) {
    raise_to(irql, "KfRaiseIrql");
  } else {
    lower_to(irql, "KfLowerIrql");
  }
}
KIRQL current_irql() { return t_irql; }
void set_irql(KIRQL irql) { t_irql = irql; }
std::size_t spin_locks_held() { return t_held.size(); }

bool thread_holds_spin_lock(const volatile KSPIN_LOCK* lock) {
  return std::find(t_held.begin(), t_held.end(), lock) != t_held.end();
}

void release_all_recorded_locks_of_thread() {
  t_held.clear();
  t_recursive.clear();
}

void check_irql_unchanged(KIRQL at_entry, std::string_view routine, const void* object) {
  if (t_irql != at_entry) {
    report(emu::verifier::Rule::irql_changed, routine, object,
           "entered at IRQL " + irql_text(at_entry) + ", returned at " + irql_text(t_irql));
  }
}

IrqlCheck::IrqlCheck(std::string_view routine, const void* object)
    : routine_(routine), object_(object), at_entry_(t_irql) {}

IrqlCheck::~IrqlCheck() { check(); }

bool IrqlCheck::check() {
  if (checked_) return true;
  checked_ = true;
  if (t_irql == at_entry_) return true;
  check_irql_unchanged(at_entry_, routine_, object_);
  return false;
}

}  // namespace emu::ke

namespace emu {

void run_at_irql(KIRQL irql, const std::function<void()>& fn) {
  KIRQL old = ke::current_irql();
  ke::set_irql_raw(irql);
  fn();
  ke::check_irql_unchanged(irql, "run_at_irql", nullptr);
  ke::set_irql_raw(old);
}

}  // namespace emu

using namespace emu::ke;

EXTERN_C KIRQL NTAPI KeGetCurrentIrql(VOID) { return t_irql; }

EXTERN_C KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) { return raise_to(NewIrql, "KfRaiseIrql"); }

EXTERN_C VOID FASTCALL KfLowerIrql(KIRQL NewIrql) { lower_to(NewIrql, "KfLowerIrql"); }

EXTERN_C VOID NTAPI EmuCheckPagedCode(PCSTR Function) {
  if (t_irql > APC_LEVEL) {
    report(emu::verifier::Rule::paged_code_at_raised_irql, Function ? Function : "", nullptr,
           "pageable code called at IRQL " + irql_text(t_irql));
  }
}

static KIRQL acquire_raise(PKSPIN_LOCK SpinLock, const char* routine) {
  if (t_irql > DISPATCH_LEVEL) {
    report(emu::verifier::Rule::spinlock_acquire_irql, routine, SpinLock,
           "acquired at IRQL " + irql_text(t_irql));
  }
  KIRQL old = t_irql;
  if (old < DISPATCH_LEVEL) t_irql = DISPATCH_LEVEL;
  acquire_word(SpinLock, routine);
  return old;
}

static void release_lower(PKSPIN_LOCK SpinLock, KIRQL NewIrql, const char* routine) {
  if (t_irql != DISPATCH_LEVEL) {
    report(emu::verifier::Rule::spinlock_release_irql, routine, SpinLock,
           "released at IRQL " + irql_text(t_irql) + " instead of DISPATCH_LEVEL");
  }
  release_word(SpinLock, routine);
  lower_to(NewIrql, routine);
}

EXTERN_C KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  return acquire_raise(SpinLock, "KfAcquireSpinLock");
}

EXTERN_C VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  release_lower(SpinLock, NewIrql, "KfReleaseSpinLock");
}

EXTERN_C KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  return acquire_raise(SpinLock, "KeAcquireSpinLock");
}

EXTERN_C VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  release_lower(SpinLock, NewIrql, "KeReleaseSpinLock");
}

static void acquire_at_dpc(PKSPIN_LOCK SpinLock, const char* routine) {
  if (t_irql < DISPATCH_LEVEL) {
    report(emu::verifier::Rule::spinlock_acquire_irql, routine, SpinLock,
           "acquired at IRQL " + irql_text(t_irql) + ", below DISPATCH_LEVEL");
  }
  acquire_word(SpinLock, routine);
}

static void release_at_dpc(PKSPIN_LOCK SpinLock, const char* routine) {
  if (t_irql < DISPATCH_LEVEL) {
    report(emu::verifier::Rule::spinlock_release_irql, routine, SpinLock,
           "released at IRQL " + irql_text(t_irql) + ", below DISPATCH_LEVEL");
  }
  release_word(SpinLock, routine);
}

EXTERN_C VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  acquire_at_dpc(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}
EXTERN_C VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  release_at_dpc(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}
EXTERN_C VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  acquire_at_dpc(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}
EXTERN_C VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  release_at_dpc(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

EXTERN_C BOOLEAN FASTCALL KeTestSpinLock(PKSPIN_LOCK SpinLock) {
  return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0;
}

EXTERN_C BOOLEAN FASTCALL KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (t_irql < DISPATCH_LEVEL) {
    report(emu::verifier::Rule::spinlock_acquire_irql, "KeTryToAcquireSpinLockAtDpcLevel", SpinLock,
           "acquired at IRQL " + irql_text(t_irql) + ", below DISPATCH_LEVEL");
  }
  return try_acquire_word(SpinLock);
}

EXTERN_C VOID FASTCALL KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Next = nullptr;
  LockHandle->LockQueue.Lock = SpinLock;
  LockHandle->OldIrql = acquire_raise(SpinLock, "KeAcquireInStackQueuedSpinLock");
}

EXTERN_C VOID FASTCALL KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
  release_lower(LockHandle->LockQueue.Lock, LockHandle->OldIrql, "KeReleaseInStackQueuedSpinLock");
}

EXTERN_C VOID FASTCALL KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock,
                                                                PKLOCK_QUEUE_HANDLE LockHandle) {
  LockHandle->LockQueue.Next = nullptr;
  LockHandle->LockQueue.Lock = SpinLock;
  acquire_at_dpc(SpinLock, "KeAcquireInStackQueuedSpinLockAtDpcLevel");
}

EXTERN_C VOID FASTCALL KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
  release_at_dpc(LockHandle->LockQueue.Lock, "KeReleaseInStackQueuedSpinLockFromDpcLevel");
}

EXTERN_C PLIST_ENTRY FASTCALL ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                          PKSPIN_LOCK Lock) {
  KIRQL old = acquire_raise(Lock, "ExInterlockedInsertHeadList");
  PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
  InsertHeadList(ListHead, ListEntry);
  release_lower(Lock, old, "ExInterlockedInsertHeadList");
  return first;
}

EXTERN_C PLIST_ENTRY FASTCALL ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                          PKSPIN_LOCK Lock) {
  KIRQL old = acquire_raise(Lock, "ExInterlockedInsertTailList");
  PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
  InsertTailList(ListHead, ListEntry);
  release_lower(Lock, old, "ExInterlockedInsertTailList");
  return last;
}

EXTERN_C PLIST_ENTRY FASTCALL ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
  KIRQL old = acquire_raise(Lock, "ExInterlockedRemoveHeadList");
  PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
  release_lower(Lock, old, "ExInterlockedRemoveHeadList");
  return entry;
}
