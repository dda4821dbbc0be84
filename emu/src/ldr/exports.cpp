// The export tables the loader binds a kernel image's imports against: for
// each module a driver may import from, the emulator routine behind each name.
// Only names the x64 module really exports are listed (x86-only names such as
// KfAcquireSpinLock are not), so an image that would not load on Windows does
// not load here either.

#include <emu/loader.h>
#include <nt/ntddk.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>

// The kernel's swprintf under its link name: the C library's own swprintf
// (with a count) may be what the plain name reaches here.
EXTERN_C int __cdecl emu_swprintf(char16_t* buffer, const char16_t* format, ...);

namespace emu::ldr {
namespace {

// The C runtime ntoskrnl.exe exports, with the Windows calling convention
// the image calls them with (the host's own are System V).
using wchar16 = char16_t;

__attribute__((ms_abi)) void* crt_memcpy(void* d, const void* s, size_t n) { return std::memcpy(d, s, n); }
__attribute__((ms_abi)) void* crt_memmove(void* d, const void* s, size_t n) { return std::memmove(d, s, n); }
__attribute__((ms_abi)) void* crt_memset(void* d, int c, size_t n) { return std::memset(d, c, n); }
__attribute__((ms_abi)) int crt_memcmp(const void* a, const void* b, size_t n) {
  return std::memcmp(a, b, n);
}
__attribute__((ms_abi)) size_t crt_strlen(const char* s) { return std::strlen(s); }
__attribute__((ms_abi)) int crt_strcmp(const char* a, const char* b) { return std::strcmp(a, b); }
__attribute__((ms_abi)) int crt_strncmp(const char* a, const char* b, size_t n) {
  return std::strncmp(a, b, n);
}
__attribute__((ms_abi)) const char* crt_strstr(const char* h, const char* n) { return std::strstr(h, n); }
__attribute__((ms_abi)) size_t crt_wcslen(const wchar16* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

using Module = std::unordered_map<std::string, const void*>;

// Routines with the kernel's own names and C linkage, by module.
// clang-format off
#define NTOSKRNL_ROUTINES(X) \
  X(ExAllocatePool) X(ExAllocatePoolWithTag) X(ExFreePool) X(ExFreePoolWithTag) \
  X(ExInterlockedInsertHeadList) X(ExInterlockedInsertTailList) X(ExInterlockedRemoveHeadList) \
  X(IoAcquireCancelSpinLock) X(IoAcquireRemoveLockEx) X(IoAllocateIrp) X(IoAllocateMdl) \
  X(IoAllocateWorkItem) X(IoAttachDeviceToDeviceStack) X(IoBuildDeviceIoControlRequest) \
  X(IoBuildPartialMdl) X(IoBuildSynchronousFsdRequest) X(IoCancelIrp) X(IoCreateDevice) \
  X(IoCreateSymbolicLink) X(IoCreateUnprotectedSymbolicLink) X(IoDeleteDevice) X(IoDeleteSymbolicLink) \
  X(IoDetachDevice) X(IoFreeIrp) X(IoFreeMdl) X(IoFreeWorkItem) X(IoGetAttachedDevice) \
  X(IoGetAttachedDeviceReference) X(IoGetDeviceProperty) X(IoGetRelatedDeviceObject) X(IoInitializeIrp) \
  X(IoInitializeRemoveLockEx) X(IoInvalidateDeviceRelations) X(IoInvalidateDeviceState) \
  X(IoIsWdmVersionAvailable) X(IoOpenDeviceRegistryKey) X(IoQueueWorkItem) X(IoRegisterDeviceInterface) \
  X(IoReleaseCancelSpinLock) X(IoReleaseRemoveLockAndWaitEx) X(IoReleaseRemoveLockEx) X(IoReuseIrp) \
  X(IoSetDeviceInterfaceState) X(IoWMIRegistrationControl) X(IofCallDriver) X(IofCompleteRequest) \
  X(KeAcquireInStackQueuedSpinLock) X(KeAcquireInStackQueuedSpinLockAtDpcLevel) \
  X(KeAcquireSpinLockAtDpcLevel) X(KeAcquireSpinLockRaiseToDpc) X(KeCancelTimer) X(KeClearEvent) \
  X(KeDelayExecutionThread) X(KeEnterCriticalRegion) X(KeFlushQueuedDpcs) X(KeGetCurrentIrql) \
  X(KeGetCurrentThread) X(KeInitializeDpc) X(KeInitializeEvent) X(KeInitializeMutex) \
  X(KeInitializeSemaphore) X(KeInitializeTimer) X(KeInitializeTimerEx) X(KeInsertQueueDpc) \
  X(KeLeaveCriticalRegion) X(KePulseEvent) X(KeQueryPriorityThread) X(KeQueryTimeIncrement) \
  X(KeReadStateEvent) X(KeReadStateMutex) X(KeReadStateSemaphore) X(KeReadStateTimer) \
  X(KeReleaseInStackQueuedSpinLock) X(KeReleaseInStackQueuedSpinLockFromDpcLevel) X(KeReleaseMutex) \
  X(KeReleaseSemaphore) X(KeReleaseSpinLock) X(KeReleaseSpinLockFromDpcLevel) X(KeRemoveQueueDpc) \
  X(KeResetEvent) X(KeSetEvent) X(KeSetImportanceDpc) X(KeSetPriorityThread) X(KeSetTimer) X(KeSetTimerEx) \
  X(KeTestSpinLock) X(KeTryToAcquireSpinLockAtDpcLevel) X(KeWaitForMultipleObjects) \
  X(KeWaitForSingleObject) X(KfRaiseIrql) X(MmBuildMdlForNonPagedPool) X(MmMapLockedPagesSpecifyCache) \
  X(MmProbeAndLockPages) X(MmSizeOfMdl) X(MmUnlockPages) X(MmUnmapLockedPages) X(ObReferenceObjectByHandle) \
  X(ObReferenceObjectByPointer) X(ObfDereferenceObject) X(ObfReferenceObject) X(PoCallDriver) \
  X(PoRequestPowerIrp) X(PoSetPowerState) X(PoStartNextPowerIrp) X(PsCreateSystemThread) \
  X(PsGetCurrentThreadId) X(PsTerminateSystemThread) X(RtlAnsiStringToUnicodeString) \
  X(RtlAppendUnicodeStringToString) X(RtlAppendUnicodeToString) X(RtlAssert) X(RtlCheckRegistryKey) \
  X(RtlCompareUnicodeString) X(RtlCopyUnicodeString) X(RtlCreateRegistryKey) X(RtlDeleteRegistryValue) \
  X(RtlEqualUnicodeString) X(RtlFreeAnsiString) X(RtlFreeUnicodeString) X(RtlInitAnsiString) \
  X(RtlInitString) X(RtlInitUnicodeString) X(RtlIntegerToUnicodeString) X(RtlPrefixUnicodeString) \
  X(RtlUnicodeStringToAnsiString) X(RtlUnicodeStringToInteger) X(RtlUpcaseUnicodeChar) \
  X(RtlWriteRegistryValue) X(ZwClose) X(ZwCreateKey) X(ZwDeleteKey) X(ZwDeleteValueKey) X(ZwFlushKey) \
  X(ZwOpenKey) X(ZwQueryValueKey) X(ZwSetValueKey)

#define HAL_ROUTINES(X) X(KeQueryPerformanceCounter) X(KeStallExecutionProcessor)

#define USBD_ROUTINES(X) \
  X(USBD_CreateConfigurationRequestEx) X(USBD_GetUSBDIVersion) X(USBD_ParseConfigurationDescriptor) \
  X(USBD_ParseConfigurationDescriptorEx) X(USBD_ParseDescriptors)

#define WMILIB_ROUTINES(X) X(WmiCompleteRequest) X(WmiSystemControl)
// clang-format on

#define ENTRY(name) {#name, reinterpret_cast<const void*>(&name)},

const std::unordered_map<std::string, Module>& modules() {
  static const auto* table = new std::unordered_map<std::string, Module>{
      {"ntoskrnl.exe",
       {NTOSKRNL_ROUTINES(ENTRY)  // variadic and data exports, and the C runtime
        {"DbgPrint", reinterpret_cast<const void*>(&DbgPrint)},
        {"swprintf", reinterpret_cast<const void*>(&emu_swprintf)},
        {"PsThreadType", &PsThreadType},
        {"ExEventObjectType", &ExEventObjectType},
        {"memcpy", reinterpret_cast<const void*>(&crt_memcpy)},
        {"memmove", reinterpret_cast<const void*>(&crt_memmove)},
        {"memset", reinterpret_cast<const void*>(&crt_memset)},
        {"memcmp", reinterpret_cast<const void*>(&crt_memcmp)},
        {"strlen", reinterpret_cast<const void*>(&crt_strlen)},
        {"strcmp", reinterpret_cast<const void*>(&crt_strcmp)},
        {"strncmp", reinterpret_cast<const void*>(&crt_strncmp)},
        {"strstr", reinterpret_cast<const void*>(&crt_strstr)},
        {"wcslen", reinterpret_cast<const void*>(&crt_wcslen)}}},
      {"hal.dll", {HAL_ROUTINES(ENTRY)}},
      {"usbd.sys", {USBD_ROUTINES(ENTRY)}},
      {"wmilib.sys", {WMILIB_ROUTINES(ENTRY)}},
  };
  return *table;
}

}  // namespace

const void* kernel_export(std::string_view module, std::string_view name) {
  std::string key(module);
  std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  auto m = modules().find(key);
  if (m == modules().end()) return nullptr;
  auto it = m->second.find(std::string(name));
  return it == m->second.end() ? nullptr : it->second;
}

}  // namespace emu::ldr
