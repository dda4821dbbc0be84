// Memory descriptor lists.  There is one address space, so locking pages
// records the fact and "mapping" them yields the described address itself;
// what is checked is the discipline Driver Verifier checks: lock before map,
// unlock before free, no double lock or unlock, nothing freed that is not an
// MDL, and MDL memory from the pool (so a leaked MDL is a leak).
#include "io/io_internal.h"

#include <unordered_map>

namespace emu::io {
namespace {

constexpr ULONG kMdlTag = emu::pool::tag("Mdl ");

std::mutex g_mutex;
std::unordered_map<PMDL, const void*> g_mdls;  // live MDL -> allocating caller

void fill_pages(PMDL mdl) {
  PPFN_NUMBER pages = MmGetMdlPfnArray(mdl);
  ULONG n = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  auto first = reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT;
  for (ULONG i = 0; i < n; ++i) pages[i] = first + i;
}

bool check_irql(const char* routine, const void* object) {
  const KIRQL irql = KeGetCurrentIrql();
  if (irql <= DISPATCH_LEVEL) return true;
  verifier::report(emu::verifier::Rule::mdl_irql, routine, object,
                   std::string(routine) + " at IRQL " + std::to_string(irql));
  return false;
}

}  // namespace

void reset_mdls() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_mdls.clear();  // their memory is the pool's, which reports and frees it
}

PMDL allocate_locked_mdl(PVOID address, ULONG length, LOCK_OPERATION operation, PIRP irp) {
  PMDL mdl = IoAllocateMdl(address, length, FALSE, FALSE, irp);
  if (mdl != nullptr) MmProbeAndLockPages(mdl, KernelMode, operation);
  return mdl;
}

void free_irp_mdls(PIRP irp) {
  PMDL next = irp->MdlAddress;
  irp->MdlAddress = nullptr;
  while (next != nullptr) {
    PMDL mdl = next;
    next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
  }
}

}  // namespace emu::io

using namespace emu::io;

EXTERN_C SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length) {
  return sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length);
}

EXTERN_C PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                  BOOLEAN ChargeQuota, PIRP Irp) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  const void* caller = __builtin_return_address(0);
  if (!check_irql("IoAllocateMdl", VirtualAddress)) return nullptr;
  // The MDL's Size is a CSHORT: longer buffers cannot be described.
  const SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
  if (Length == 0 || size > 0x7FFF) return nullptr;
  if (emu::faults::should_fail(emu::faults::Site::mdl_allocation, kMdlTag, caller)) return nullptr;
  auto mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, size, kMdlTag));
  if (mdl == nullptr) return nullptr;
  MmInitializeMdl(mdl, VirtualAddress, Length);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_mdls[mdl] = caller;
  }
  if (Irp != nullptr) {
    if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next != nullptr) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

EXTERN_C VOID NTAPI IoFreeMdl(PMDL Mdl) {
  const void* caller = __builtin_return_address(0);
  if (!check_irql("IoFreeMdl", Mdl)) return;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_mdls.erase(Mdl) == 0) {
      emu::verifier::report(emu::verifier::Rule::mdl_unknown, symbol_name(caller), Mdl,
                            "IoFreeMdl of an address that is not a live MDL");
      return;
    }
  }
  if ((Mdl->MdlFlags & MDL_PAGES_LOCKED) && !(Mdl->MdlFlags & MDL_PARTIAL))
    emu::verifier::report(emu::verifier::Rule::mdl_freed_locked, symbol_name(caller), Mdl,
                          "IoFreeMdl of an MDL whose pages are still locked (MmUnlockPages first)");
  ExFreePoolWithTag(Mdl, kMdlTag);
}

EXTERN_C VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  if (mdl->MdlFlags &
      (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL | MDL_SOURCE_IS_NONPAGED_POOL))
    emu::verifier::report(emu::verifier::Rule::mdl_state, symbol_name(__builtin_return_address(0)), mdl,
                          "MmBuildMdlForNonPagedPool on an MDL that is already locked, mapped or built");
  fill_pages(mdl);
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

EXTERN_C VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                        LOCK_OPERATION Operation) {
  UNREFERENCED_PARAMETER(AccessMode);
  PMDL mdl = MemoryDescriptorList;
  const void* caller = __builtin_return_address(0);
  if (!check_irql("MmProbeAndLockPages", mdl)) return;
  if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)) {
    emu::verifier::report(
        emu::verifier::Rule::mdl_locked_twice, symbol_name(caller), mdl,
        "MmProbeAndLockPages on an MDL that is already locked, built for non-paged pool or partial");
    return;
  }
  fill_pages(mdl);
  mdl->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess) mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

EXTERN_C VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  const void* caller = __builtin_return_address(0);
  if (!check_irql("MmUnlockPages", mdl)) return;
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED) || (mdl->MdlFlags & MDL_PARTIAL)) {
    emu::verifier::report(emu::verifier::Rule::mdl_unlock_unlocked, symbol_name(caller), mdl,
                          "MmUnlockPages on an MDL whose pages are not locked");
    return;
  }
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
  mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}

EXTERN_C PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                  MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                                  ULONG BugCheckOnFailure, ULONG Priority) {
  UNREFERENCED_PARAMETER(CacheType);
  UNREFERENCED_PARAMETER(BugCheckOnFailure);
  UNREFERENCED_PARAMETER(Priority);
  PMDL mdl = MemoryDescriptorList;
  const void* caller = __builtin_return_address(0);
  if (!check_irql("MmMapLockedPagesSpecifyCache", mdl)) return nullptr;
  if (AccessMode != KernelMode || BaseAddress != nullptr) {
    emu::verifier::report(emu::verifier::Rule::mdl_user_mapping, symbol_name(caller), mdl,
                          "mapping an MDL into user space is not emulated");
    return nullptr;
  }
  if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) {
    emu::verifier::report(emu::verifier::Rule::mdl_map_unlocked, symbol_name(caller), mdl,
                          "MmMapLockedPagesSpecifyCache of an MDL whose pages are not locked");
    return nullptr;
  }
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  if (mdl->MdlFlags & MDL_PARTIAL) mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
  return mdl->MappedSystemVa;
}

EXTERN_C VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != mdl->MappedSystemVa) {
    emu::verifier::report(emu::verifier::Rule::mdl_unmap, symbol_name(__builtin_return_address(0)), mdl,
                          "MmUnmapLockedPages of an address the MDL does not map");
    return;
  }
  mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
}

EXTERN_C VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  const void* caller = __builtin_return_address(0);
  auto* start = static_cast<PUCHAR>(MmGetMdlVirtualAddress(SourceMdl));
  auto* at = static_cast<PUCHAR>(VirtualAddress);
  if (at < start || at >= start + SourceMdl->ByteCount) {
    emu::verifier::report(emu::verifier::Rule::mdl_partial_range, symbol_name(caller), TargetMdl,
                          "IoBuildPartialMdl at an address outside the source MDL");
    return;
  }
  const ULONG rest = static_cast<ULONG>(start + SourceMdl->ByteCount - at);
  if (Length == 0 || Length > rest) {
    if (Length > rest)
      emu::verifier::report(emu::verifier::Rule::mdl_partial_range, symbol_name(caller), TargetMdl,
                            "IoBuildPartialMdl past the end of the source MDL");
    Length = rest;
  }
  if (static_cast<SIZE_T>(TargetMdl->Size) < MmSizeOfMdl(VirtualAddress, Length)) {
    emu::verifier::report(emu::verifier::Rule::mdl_partial_range, symbol_name(caller), TargetMdl,
                          "IoBuildPartialMdl into an MDL too small for the range");
    return;
  }
  const CSHORT keep = TargetMdl->Size;
  const CSHORT source_flags = SourceMdl->MdlFlags;
  MmInitializeMdl(TargetMdl, VirtualAddress, Length);
  TargetMdl->Size = keep;
  TargetMdl->Process = SourceMdl->Process;
  TargetMdl->MdlFlags = MDL_PARTIAL | (source_flags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_WRITE_OPERATION));
  fill_pages(TargetMdl);
  if (source_flags & MDL_SOURCE_IS_NONPAGED_POOL) TargetMdl->MappedSystemVa = VirtualAddress;
}
