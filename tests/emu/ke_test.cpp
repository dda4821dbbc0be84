// What of the kernel's objects, threads, pool, strings and registry the
// driver does not reach on its own paths: synchronization events, pulses,
// WaitAll, the spin lock forms, fault injection's own counts, the string and
// format routines and the registry's record layouts (misuses: verifier_test).

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "io_test_util.h"

// The kernel's swprintf as drivers built with a 16-bit wchar_t reach it.
extern "C" int __cdecl emu_swprintf(char16_t* buffer, const char16_t* format, ...);

namespace {

using iotest::wait_now;

NTSTATUS wait(PVOID object) { return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr); }

// ---- Dispatcher objects --------------------------------------------------------------

// A notification event releases every waiter and stays signalled; a
// synchronization event releases one waiter per signal and is consumed by
// it; a reset right after the set takes the signal from no blocked waiter.
TEST(KeEvents, EachTypeReleasesItsWaitersAndKeepsItsState) {
  for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
    SCOPED_TRACE(type == NotificationEvent ? "notification" : "synchronization");
    KEVENT event;
    KeInitializeEvent(&event, type, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) waiters.emplace_back([&] { released += wait(&event) == STATUS_SUCCESS; });
    ASSERT_TRUE(emu::ke::wait_for_waiters(&event, 2));
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(KeResetEvent(&event), type == NotificationEvent ? 1 : 0);
    if (type == SynchronizationEvent) {
      EXPECT_EQ(emu::ke::waiter_count(&event), 1u);  // one released, the signal consumed
      KeSetEvent(&event, 0, FALSE);
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    // Without a waiter the signal stays until a wait takes it (or, for a
    // notification event, until it is reset).
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
    EXPECT_EQ(wait_now(&event), STATUS_SUCCESS);
    EXPECT_EQ(wait_now(&event), type == NotificationEvent ? STATUS_SUCCESS : STATUS_TIMEOUT);
  }
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::thread waiter([&] { wait(&event); });
  ASSERT_TRUE(emu::ke::wait_for_waiters(&event, 1));
  KePulseEvent(&event, 0, FALSE);
  waiter.join();
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(KeWaits, WaitAnyTakesTheLowestSignalledAndWaitAllNothingUntilAll) {
  KEVENT events[3];
  PVOID objects[3];
  for (int i = 0; i < 3; ++i) {
    KeInitializeEvent(&events[i], SynchronizationEvent, FALSE);
    objects[i] = &events[i];
  }
  KeSetEvent(&events[2], 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_0 + 2);
  KeSetEvent(&events[1], 0, FALSE);
  KeSetEvent(&events[2], 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_0 + 1);
  EXPECT_EQ(KeReadStateEvent(&events[1]), 0);  // only the object that satisfied the wait was consumed
  EXPECT_EQ(KeReadStateEvent(&events[2]), 1);
  KeClearEvent(&events[2]);

  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread waiter([&] {
    status = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
  });
  ASSERT_TRUE(emu::ke::wait_for_waiters(&events[0], 1));
  KeSetEvent(&events[0], 0, FALSE);
  EXPECT_EQ(KeReadStateEvent(&events[0]), 1);  // alone it does not satisfy the wait and is not consumed
  EXPECT_EQ(emu::ke::waiter_count(&events[1]), 1u);
  EXPECT_EQ(status.load(), STATUS_PENDING);
  KeSetEvent(&events[1], 0, FALSE);
  waiter.join();
  EXPECT_EQ(status.load(), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&events[0]), 0);
  EXPECT_EQ(KeReadStateEvent(&events[1]), 0);
}

// ---- Threads ---------------------------------------------------------------------------

// A thread that tells its OS thread's policy and priority on each `ask`.
struct PolicyReporter {
  KEVENT ask, told;
  bool stop = false, returned = false;
  int policy = -1, fifo = -1;
};

VOID NTAPI report_policy(PVOID context) {
  auto* r = static_cast<PolicyReporter*>(context);
  while (wait(&r->ask) == STATUS_SUCCESS && !r->stop) {
    sched_param param{};
    pthread_getschedparam(pthread_self(), &r->policy, &param);
    r->fifo = param.sched_priority;
    KeSetEvent(&r->told, 0, FALSE);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
  r->returned = true;
}

// A priority set is read back; with real-time priorities on, a thread set to
// 16..31 by another thread runs SCHED_FIFO, in priority order and below the
// interrupt level; lowered, or with the option off, it is an ordinary thread
// again.  PsTerminateSystemThread does not return.
TEST(KeThreads, PrioritiesAreReadBackAndRealTimeOnesRunAsFifoThreadsWhileTheOptionIsOn) {
  std::atomic<bool> privileged{false};
  std::thread([&] {
    sched_param param{};
    param.sched_priority = 1;
    privileged = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
  }).join();
  struct Off {
    ~Off() { emu::set_realtime_priorities(false); }
  } off;
  PolicyReporter r;
  KeInitializeEvent(&r.ask, SynchronizationEvent, FALSE);
  KeInitializeEvent(&r.told, SynchronizationEvent, FALSE);
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, report_policy, &r),
            STATUS_SUCCESS);
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  auto* thread = static_cast<PKTHREAD>(object);
  EXPECT_EQ(KeSetPriorityThread(thread, LOW_REALTIME_PRIORITY), 8);
  EXPECT_EQ(KeQueryPriorityThread(thread), LOW_REALTIME_PRIORITY);
  struct Step {
    bool option;
    KPRIORITY priority;
    int policy, fifo;
  };
  const int top = emu::fifo_priority(HIGH_PRIORITY);
  for (const Step& step :
       {Step{false, 16, SCHED_OTHER, 0}, Step{true, 16, SCHED_FIFO, 1}, Step{true, 31, SCHED_FIFO, top},
        Step{true, 8, SCHED_OTHER, 0}, Step{true, 24, SCHED_FIFO, emu::fifo_priority(24)},
        Step{false, 24, SCHED_OTHER, 0}}) {
    if (!privileged) break;
    SCOPED_TRACE("option " + std::to_string(step.option) + ", priority " + std::to_string(step.priority));
    KeSetPriorityThread(thread, step.priority);
    emu::set_realtime_priorities(step.option);
    KeSetEvent(&r.ask, 0, FALSE);
    ASSERT_EQ(wait(&r.told), STATUS_SUCCESS);
    EXPECT_EQ(r.policy, step.policy);
    EXPECT_EQ(r.fifo, step.fifo);
  }
  EXPECT_LT(1, emu::fifo_priority(24));
  EXPECT_LT(emu::fifo_priority(24), top);
  EXPECT_LT(top, emu::interrupt_fifo_priority);
  r.stop = true;
  KeSetEvent(&r.ask, 0, FALSE);
  EXPECT_EQ(wait(thread), STATUS_SUCCESS);
  EXPECT_FALSE(r.returned);
  ObDereferenceObject(thread);
  ZwClose(handle);
  if (!privileged) GTEST_SKIP() << "this process may not use SCHED_FIFO (needs root or CAP_SYS_NICE)";
}

// ---- Spin locks ------------------------------------------------------------------------

TEST(KeSpinLock, InStackQueuedTryAcquireAndInterlockedLists) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KLOCK_QUEUE_HANDLE handle;
  KeAcquireInStackQueuedSpinLock(&lock, &handle);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_FALSE(KeTestSpinLock(&lock));
  emu::run_on_system_thread(DISPATCH_LEVEL, [&] { EXPECT_FALSE(KeTryToAcquireSpinLockAtDpcLevel(&lock)); });
  KeReleaseInStackQueuedSpinLock(&handle);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  emu::run_on_system_thread(DISPATCH_LEVEL, [&] {
    EXPECT_TRUE(KeTryToAcquireSpinLockAtDpcLevel(&lock));
    KeReleaseSpinLockFromDpcLevel(&lock);
  });

  LIST_ENTRY head, a, b, c;
  InitializeListHead(&head);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
  EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
  EXPECT_EQ(ExInterlockedInsertHeadList(&head, &c, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &c);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
  EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_TRUE(KeTestSpinLock(&lock));
}

// ---- Fault injection: what it fails is what it counts ----------------------------------

constexpr ULONG kWdm = emu::pool::tag("Wdm ");
constexpr ULONG kM2k = emu::pool::tag("M2k ");
VOID NTAPI ends_at_once(PVOID) {}

// A start-up routine in a driver's style: three resources, unwound in
// reverse on failure, but for the classic bug: the first is leaked when the
// second fails.
struct Resources {
  void *a = nullptr, *b = nullptr;
  HANDLE thread = nullptr;
};

NTSTATUS start_up(Resources& r) {
  r.a = ExAllocatePoolWithTag(NonPagedPool, 32, kWdm);
  if (!r.a) return STATUS_INSUFFICIENT_RESOURCES;
  r.b = ExAllocatePoolWithTag(PagedPool, 32, kM2k);
  if (!r.b) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status =
      PsCreateSystemThread(&r.thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ends_at_once, nullptr);
  if (NT_SUCCESS(status)) return STATUS_SUCCESS;
  ExFreePool(r.b);
  ExFreePool(r.a);
  return status;
}

void shut_down(Resources& r) {
  ZwClose(r.thread);
  ExFreePool(r.b);
  ExFreePool(r.a);
}

// The nth allocation fails and is counted (every site shares that code; one
// failing every call is the transfer methods' case).  The systematic mode
// fails each allocation site in turn (and then none), which exposes the
// unwinding leak; that a sound unwinder shows none, every driver case that
// sweeps its allocation sites shows.
TEST(Faults, EachSiteFailsWhatItWasToldAndTheSystematicModeExposesAnUnwindingLeak) {
  using emu::faults::Site;
  EXPECT_EQ(kWdm, 0x206D6457u);  // the bytes 'W' 'd' 'm' ' ' in memory
  EXPECT_EQ(emu::pool::tag_text(kWdm), "Wdm ");
  emu::faults::fail_nth_allocation(3);
  std::vector<void*> blocks;
  for (int i = 0; i < 5; ++i) blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kWdm));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(blocks[i] == nullptr, i == 2) << i;
  EXPECT_EQ(emu::faults::calls(Site::pool_allocation), 5u);
  EXPECT_EQ(emu::faults::injected(Site::pool_allocation), 1u);
  EXPECT_EQ(emu::pool::stats(kWdm).failed, 1u);
  for (void* p : blocks)
    if (p) ExFreePool(p);

  std::vector<NTSTATUS> statuses;
  std::vector<emu::faults::SiteRun> runs;
  std::vector<std::size_t> leaked_at;
  auto scenario = [&] {
    Resources r;
    NTSTATUS status = start_up(r);
    statuses.push_back(status);
    if (NT_SUCCESS(status)) shut_down(r);
    emu::wait_quiescent();
  };
  std::size_t n = emu::faults::for_each_allocation_site(scenario, [&](const emu::faults::SiteRun& run) {
    runs.push_back(run);
    if (emu::pool::outstanding_total() != 0) leaked_at.push_back(run.index);
    for (auto& b : emu::pool::blocks()) ExFreePool(const_cast<void*>(b.address));
  });
  ASSERT_EQ(n, 3u);
  EXPECT_EQ(statuses, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES,
                                             STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES}));
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].site, emu::faults::Site::pool_allocation);
  EXPECT_EQ(runs[0].tag, kWdm);
  EXPECT_EQ(runs[1].tag, kM2k);
  EXPECT_EQ(runs[2].site, emu::faults::Site::thread_creation);
  for (auto& run : runs) EXPECT_TRUE(run.hit);
  EXPECT_EQ(leaked_at, std::vector<std::size_t>{2});
  Resources r;  // after the sweep nothing fails any more
  EXPECT_EQ(start_up(r), STATUS_SUCCESS);
  shut_down(r);
}

// ---- Strings and formats -------------------------------------------------------------

std::u16string text(const UNICODE_STRING& s) {
  return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2);
}

TEST(Strings, FormatsTakeMicrosoftsConversionsAndCountedStringsRespectTheirBuffers) {
  char16_t buffer[128];
  auto print = [&](const char16_t* format, auto... args) {
    emu_swprintf(buffer, format, args...);
    return std::u16string(buffer);
  };
  EXPECT_EQ(emu_swprintf(buffer, u"%s%4.4d", u"\\Device\\Velmar1_DS_", 12345), 24);
  EXPECT_EQ(std::u16string(buffer), u"\\Device\\Velmar1_DS_12345");
  EXPECT_EQ(print(u"%S|%hs|%ws|%c|%C", "narrow", "hs", u"wide", u'W', 'n'), u"narrow|hs|wide|W|n");
  // `l` is 32 bits on Windows: the upper half of the slot is not read.
  EXPECT_EQ(print(u"%ld %lu %lx", LONG(-1), ULONG(0xFFFFFFFFu), static_cast<int>(0x77777777FFFFFFFFLL)),
            u"-1 4294967295 ffffffff");
  EXPECT_EQ(print(u"%08X|%I64x|%-4d|%+d|%#x|%5.2s|%%", 0xBEEFu, 0x1122334455667788ULL, 7, 3, 255u, u"abc"),
            u"0000BEEF|1122334455667788|7   |+3|0xff|   ab|%");
  EXPECT_EQ(print(u"%p", reinterpret_cast<void*>(0xABCDEF)), u"0000000000ABCDEF");
  EXPECT_EQ(print(u"%s", static_cast<const char16_t*>(nullptr)), u"(null)");

  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"COM5");
  DbgPrint("[pPollingFunction] %s %wZ %ws %d\n", "narrow", &name, u"wide", -5);
  DbgPrint("two\nlines\n");
  auto lines = emu::trace::lines();
  EXPECT_EQ(lines, (std::vector<std::string>{"[pPollingFunction] narrow COM5 wide -5", "two", "lines"}));

  // Counted strings respect their buffers.
  UNICODE_STRING src;
  RtlInitUnicodeString(&src, u"\\DosDevices\\");
  EXPECT_EQ(src.Length, 24);
  EXPECT_EQ(src.MaximumLength, 26);
  WCHAR storage[10];
  UNICODE_STRING dst{0, sizeof storage, storage};
  RtlCopyUnicodeString(&dst, &src);  // 12 characters into room for 10: truncated
  EXPECT_EQ(text(dst), u"\\DosDevice");
  WCHAR big[32];
  UNICODE_STRING link{0, sizeof big, big};
  RtlCopyUnicodeString(&link, &src);
  EXPECT_EQ(big[12], 0);  // terminated when there is room
  EXPECT_EQ(RtlAppendUnicodeToString(&link, u"COM5"), STATUS_SUCCESS);
  EXPECT_EQ(text(link), u"\\DosDevices\\COM5");
  UNICODE_STRING tail;
  RtlInitUnicodeString(&tail, u"0123456789ABCDEFG");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&link, &tail), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(text(link), u"\\DosDevices\\COM5");  // unchanged on failure
  RtlInitUnicodeString(&src, nullptr);
  EXPECT_EQ(src.Length, 0);
  EXPECT_EQ(src.Buffer, nullptr);

  UNICODE_STRING a, b;
  RtlInitUnicodeString(&a, u"com5");
  RtlInitUnicodeString(&b, u"COM5");
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
  RtlInitUnicodeString(&b, u"COM");
  EXPECT_GT(RtlCompareUnicodeString(&a, &b, TRUE), 0);
  EXPECT_TRUE(RtlPrefixUnicodeString(&b, &a, TRUE));

  WCHAR digits[4];
  UNICODE_STRING n{0, sizeof digits, digits};
  EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &n), STATUS_SUCCESS);
  EXPECT_EQ(text(n), u"FF");
  EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &n), STATUS_BUFFER_OVERFLOW);
  ULONG v = 0;
  RtlInitUnicodeString(&a, u" 0x1F");
  EXPECT_EQ(RtlUnicodeStringToInteger(&a, 0, &v), STATUS_SUCCESS);
  EXPECT_EQ(v, 31u);

  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, "Wdm");
  UNICODE_STRING wide;
  ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(text(wide), u"Wdm");
  RtlFreeUnicodeString(&wide);
  EXPECT_EQ(wide.Buffer, nullptr);
  EXPECT_EQ(emu::pool::outstanding_total(), 0u);
}

// ---- The registry --------------------------------------------------------------------

const char16_t kSerialComm[] = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char16_t kDeviceKey[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234\\1\\Device Parameters";

OBJECT_ATTRIBUTES attributes(UNICODE_STRING* name, const char16_t* path, HANDLE root = nullptr) {
  RtlInitUnicodeString(name, path);
  OBJECT_ATTRIBUTES oa;
  InitializeObjectAttributes(&oa, name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, root, nullptr);
  return oa;
}

TEST(Registry, ValuesWrittenRelativeAbsoluteOrThroughHandlesNeedTheirParentKey) {
  const char16_t port[] = u"COM5";
  ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Velmar1_DS_0001", REG_SZ,
                                  const_cast<char16_t*>(port), sizeof port),
            STATUS_SUCCESS);
  // Names are case-insensitive, as on Windows.
  auto written = emu::registry::get_value(u"\\registry\\machine\\hardware\\devicemap\\serialcomm",
                                          u"\\DEVICE\\velmar1_ds_0001");
  ASSERT_TRUE(written.has_value());
  EXPECT_EQ(written->type, ULONG(REG_SZ));
  EXPECT_EQ(written->as_string(), u"COM5");
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Velmar1_DS_0001"),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\Velmar1_DS_0001"),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ULONG one = 1;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kSerialComm, u"X", REG_DWORD, &one, sizeof one),
            STATUS_SUCCESS);
  EXPECT_EQ(emu::registry::get_value(kSerialComm, u"X")->as_dword(), 1u);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\REGISTRY\\MACHINE\\NoSuch\\Key", u"V", REG_DWORD,
                                  &one, sizeof one),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(
      RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"REGISTRY\\MACHINE", u"V", REG_DWORD, &one, sizeof one),
      STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_FALSE(emu::registry::key_exists(u"\\REGISTRY\\MACHINE\\NoSuch"));

  // The same through handles: keys created, opened, set and deleted.
  UNICODE_STRING name, sub, deep, value;
  OBJECT_ATTRIBUTES oa =
      attributes(&name, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vr_mdm");
  HANDLE key = nullptr, again = nullptr, params = nullptr, none = nullptr;
  ULONG disposition = 0;
  ASSERT_EQ(ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  ASSERT_EQ(ZwCreateKey(&again, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
  ZwClose(again);

  OBJECT_ATTRIBUTES relative = attributes(&sub, u"Parameters", key);
  EXPECT_EQ(ZwOpenKey(&params, KEY_READ, &relative), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(ZwCreateKey(&params, KEY_ALL_ACCESS, &relative, 0, nullptr, 0, nullptr), STATUS_SUCCESS);
  RtlInitUnicodeString(&value, u"Level");
  ULONG level = 3;
  EXPECT_EQ(ZwSetValueKey(params, &value, 0, REG_DWORD, &level, sizeof level), STATUS_SUCCESS);
  EXPECT_EQ(emu::registry::get_value(
                u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vr_mdm\\Parameters", u"Level")
                ->as_dword(),
            3u);
  EXPECT_EQ(ZwDeleteValueKey(params, &value), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteValueKey(params, &value), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(params);

  oa = attributes(&deep, u"\\REGISTRY\\MACHINE\\SYSTEM\\Missing\\Child");
  EXPECT_EQ(ZwCreateKey(&none, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(key);
  EXPECT_EQ(emu::registry::open_handles(), 0u);
}

// ZwQueryValueKey's records as published: each class's header, the name, the
// data at the next ULONG boundary; the length needed reported whatever the
// buffer, and nothing written past the length given.
TEST(Registry, ValueRecordsHaveThePublishedLayouts) {
  emu::registry::set_string(kDeviceKey, u"PortName", u"COM5");
  emu::registry::set_string(kDeviceKey, u"PortNam", u"COM5");
  emu::registry::set_string(kDeviceKey, u"Port", u"COM5");
  UNICODE_STRING path;
  OBJECT_ATTRIBUTES oa = attributes(&path, kDeviceKey);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
  std::vector<unsigned char> buffer;
  ULONG result = 0;
  auto query = [&](const char16_t* name, KEY_VALUE_INFORMATION_CLASS cls, ULONG length) {
    buffer.assign(length + 16, 0xEE);
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    result = 0xFFFFFFFF;
    return ZwQueryValueKey(key, &n, cls, length ? buffer.data() : nullptr, length, &result);
  };
  auto field = [&](std::size_t offset) {
    ULONG v;
    std::memcpy(&v, buffer.data() + offset, 4);
    return v;
  };
  // Full: "PortName" is 16 bytes after a 20-byte header; the data starts at
  // 36 and is "COM5" with its terminator: 10 bytes.
  for (ULONG length : {0u, 19u, 24u}) {
    EXPECT_EQ(query(u"PortName", KeyValueFullInformation, length),
              length < 20 ? STATUS_BUFFER_TOO_SMALL : STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 46u);
  }
  EXPECT_EQ(field(4), ULONG(REG_SZ));  // the header, even when the rest does not fit
  EXPECT_EQ(field(12), 10u);
  EXPECT_EQ(field(16), 16u);
  EXPECT_EQ(buffer[24], 0xEE);
  ASSERT_EQ(query(u"PortName", KeyValueFullInformation, 46), STATUS_SUCCESS);
  EXPECT_EQ(result, 46u);
  EXPECT_EQ(field(0), 0u);             // TitleIndex
  EXPECT_EQ(field(4), ULONG(REG_SZ));  // Type
  EXPECT_EQ(field(8), 36u);            // DataOffset
  EXPECT_EQ(field(12), 10u);           // DataLength
  EXPECT_EQ(field(16), 16u);           // NameLength
  EXPECT_EQ(std::memcmp(buffer.data() + 20, u"PortName", 16), 0);
  EXPECT_EQ(std::memcmp(buffer.data() + 36, u"COM5", 10), 0);
  EXPECT_EQ(buffer[46], 0xEE);
  ASSERT_EQ(query(u"PortNam", KeyValueFullInformation, 46), STATUS_SUCCESS);  // 34 rounds up to 36
  EXPECT_EQ(field(8), 36u);
  ASSERT_EQ(query(u"Port", KeyValueFullInformation, 38), STATUS_SUCCESS);  // 28 already aligned
  EXPECT_EQ(field(8), 28u);
  EXPECT_EQ(result, 38u);

  EXPECT_EQ(query(u"PortName", KeyValuePartialInformation, 11), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, 22u);
  EXPECT_EQ(query(u"PortName", KeyValuePartialInformation, 12), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(result, 22u);
  EXPECT_EQ(field(8), 10u);
  ASSERT_EQ(query(u"portname", KeyValuePartialInformation, 22), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(buffer.data() + 12, u"COM5", 10), 0);
  ASSERT_EQ(query(u"PortName", KeyValueBasicInformation, 28), STATUS_SUCCESS);
  EXPECT_EQ(field(8), 16u);
  EXPECT_EQ(std::memcmp(buffer.data() + 12, u"PortName", 16), 0);
  EXPECT_EQ(query(u"Missing", KeyValuePartialInformation, 64), STATUS_OBJECT_NAME_NOT_FOUND);
  ZwClose(key);
}

}  // namespace
