// Remove locks, with the checks of a checked build: per-tag accounting (a
// release more often than acquired, or with a tag never acquired), a second
// release-and-wait, and an acquisition after release-and-wait returned.
//
// IoCount starts at 1 (the bias that release-and-wait drops); `Removed` is
// read and written atomically since acquisitions race the removal.
#include "io/io_internal.h"

#include <cstdio>
#include <map>

namespace emu::io {

namespace {

struct LockInfo {
  ULONG tag = 0;
  bool wait_started = false;
  bool wait_done = false;
  std::map<PVOID, long> held;  // outstanding acquisitions by tag
};

std::mutex g_mutex;
std::map<const void*, LockInfo> g_locks;

std::string where(PCSTR file, ULONG line) {
  return file != nullptr && *file ? std::string(file) + ":" + std::to_string(line) : std::string();
}

void check_size(ULONG size, const void* lock, const void* caller) {
  if (size != sizeof(IO_REMOVE_LOCK))
    emu::verifier::report(emu::verifier::Rule::remove_lock_size, symbol_name(caller), lock,
                          "remove lock routine called with size " + std::to_string(size) + " instead of " +
                              std::to_string(sizeof(IO_REMOVE_LOCK)));
}

std::string tag_name(PVOID tag) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%p", tag);
  return buffer;
}

}  // namespace

void remove_lock_forget_range(const void* base, std::size_t size) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto first = g_locks.lower_bound(base);
  auto last = g_locks.lower_bound(static_cast<const char*>(base) + size);
  g_locks.erase(first, last);
}

void reset_remove_locks() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_locks.clear();
}

}  // namespace emu::io

using namespace emu::io;

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
  (void)MaxLockedMinutes;
  (void)HighWatermark;
  check_size(RemlockSize, Lock, __builtin_return_address(0));
  __atomic_store_n(&Lock->Common.Removed, static_cast<BOOLEAN>(FALSE), __ATOMIC_SEQ_CST);
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_locks[Lock] = LockInfo{AllocateTag, false, false, {}};
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize) {
  const void* caller = __builtin_return_address(0);
  check_size(RemlockSize, RemoveLock, caller);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_locks.find(RemoveLock);
    if (it == g_locks.end()) {
      emu::verifier::report(emu::verifier::Rule::remove_lock_not_initialized, symbol_name(caller), RemoveLock,
                            "IoAcquireRemoveLockEx on a lock never initialised " + where(File, Line));
    } else if (it->second.wait_done) {
      emu::verifier::report(
          emu::verifier::Rule::remove_lock_acquired_after_remove, symbol_name(caller), RemoveLock,
          "remove lock acquired after IoReleaseRemoveLockAndWait returned " + where(File, Line));
    }
  }
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_locks[RemoveLock].held[Tag];
  return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  const void* caller = __builtin_return_address(0);
  check_size(RemlockSize, RemoveLock, caller);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    LockInfo& info = g_locks[RemoveLock];
    auto it = info.held.find(Tag);
    if (it == info.held.end() || it->second <= 0) {
      emu::verifier::report(emu::verifier::Rule::remove_lock_over_released, symbol_name(caller), RemoveLock,
                            "remove lock released more often than acquired (tag " + tag_name(Tag) + ")");
      return;
    }
    if (--it->second == 0) info.held.erase(it);
  }
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  const void* caller = __builtin_return_address(0);
  check_size(RemlockSize, RemoveLock, caller);
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL)
    emu::verifier::report(emu::verifier::Rule::irql_too_high, symbol_name(caller), RemoveLock,
                          "IoReleaseRemoveLockAndWait at IRQL " + std::to_string(irql));
  bool held = false;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    LockInfo& info = g_locks[RemoveLock];
    if (info.wait_started) {
      emu::verifier::report(emu::verifier::Rule::remove_lock_waited_twice, symbol_name(caller), RemoveLock,
                            "IoReleaseRemoveLockAndWait called a second time on the same lock");
      return;
    }
    info.wait_started = true;
    auto it = info.held.find(Tag);
    if (it == info.held.end() || it->second <= 0) {
      emu::verifier::report(
          emu::verifier::Rule::remove_lock_over_released, symbol_name(caller), RemoveLock,
          "IoReleaseRemoveLockAndWait by a caller that does not hold the lock (tag " + tag_name(Tag) + ")");
    } else {
      held = true;
      if (--it->second == 0) info.held.erase(it);
    }
  }
  __atomic_store_n(&RemoveLock->Common.Removed, static_cast<BOOLEAN>(TRUE), __ATOMIC_SEQ_CST);
  if (held) InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_locks[RemoveLock].wait_done = true;
}
