// The verifier: its catalogue (ids found back, the README's list equal to
// it), the annotations checked on entry, and one row per misuse it must
// name: the wrong use draws exactly the findings misuse_findings.txt lists
// for it (naming the routine at fault where the table says so) and leaves
// the kernel sane, and the same thing done right draws none.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <iterator>
#include <string>
#include <thread>

#include "../../emu/src/kernel_internal.h"
#include "contract_routines.h"
#include "io_test_util.h"
#include "test_helpers.h"

using emu::verifier::Rule;
using iotest::join;
using iotest::relative;
using iotest::start_thread;
using iotest::wait_now;
using namespace std::chrono_literals;

namespace {

// ---- The catalogue -------------------------------------------------------------------

TEST(VerifierCatalogue, IdsAreUniqueFoundBackAndListedInTheReadme) {
  std::set<std::string> catalogue;
  for (const auto& entry : emu::verifier::rules) {
    EXPECT_TRUE(catalogue.insert(std::string(entry.id)).second) << "duplicate id " << entry.id;
    EXPECT_EQ(emu::verifier::find_rule(entry.id), entry.rule) << entry.id;
    EXPECT_FALSE(entry.what.empty()) << entry.id;
  }
  EXPECT_EQ(emu::verifier::find_rule("no-such-rule"), std::nullopt);
  // A finding shows the rule's id, as the VERIFIER: lines always have.
  emu::verifier::report(Rule::irp_completed_twice, "DispatchRead", nullptr, "again");
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(emu::verifier::describe(findings[0]), "irp-completed-twice in DispatchRead: again");

  std::ifstream file(VRMDM_SOURCE_DIR "/README.md");
  const std::string readme((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // Every `quoted` word from the section's list on is a rule id.
  const auto start = readme.find("\n- ", readme.find("\n## What the verifier checks\n"));
  const std::string list = readme.substr(start, readme.find("\n## ", start) - start);
  std::set<std::string> listed;
  for (std::size_t open = list.find('`'), close;
       open != std::string::npos && (close = list.find('`', open + 1)) != std::string::npos;
       open = list.find('`', close + 1))
    listed.insert(list.substr(open + 1, close - open - 1));
  EXPECT_EQ(listed, catalogue);
}

// ---- Annotated routines, entered in every IRQL and lock state ------------------------

// P A D: no lock at PASSIVE, APC and DISPATCH level; C: the cancel spin
// lock; L: another spin lock; B: both; H: no lock at CLOCK_LEVEL.
struct State {
  const char* name;
  KIRQL irql;
  bool cancel_lock, spin_lock;
};
const State kStates[] = {
    {"P", PASSIVE_LEVEL, false, false},  {"A", APC_LEVEL, false, false},
    {"D", DISPATCH_LEVEL, false, false}, {"C", PASSIVE_LEVEL, true, false},
    {"L", PASSIVE_LEVEL, false, true},   {"B", PASSIVE_LEVEL, true, true},
    {"H", CLOCK_LEVEL, false, false},
};

TEST(VerifierContracts, EveryAnnotationInEveryIrqlAndLockState) {
  using namespace contracts;
  // One column per state: '.' no finding, 'I' contract-irql,
  // 'M' contract-lock-not-held, 'H' contract-lock-held.
  const struct {
    const char* name;
    std::function<void(PKSPIN_LOCK)> call;
    const char* expected;
  } routines[] = {
      //                                                                      P A D C L B H
      {"AtPassive", [](PKSPIN_LOCK) { AtPassive(); }, /*                  */ ".IIIIII"},
      {"UpToApc", [](PKSPIN_LOCK) { UpToApc(); }, /*                      */ "..IIIII"},
      {"UpToDispatch", [](PKSPIN_LOCK) { UpToDispatch(); }, /*            */ "......I"},
      {"AtDispatchDpc", [](PKSPIN_LOCK) { AtDispatchDpc(nullptr, nullptr, nullptr, nullptr); }, "II....I"},
      {"FromApc", [](PKSPIN_LOCK) { FromApc(); }, /*                      */ "I......"},
      {"NeedsCancelLock", [](PKSPIN_LOCK) { NeedsCancelLock(); }, /*      */ "MMM.M.M"},
      {"NeedsCancelLockFree", [](PKSPIN_LOCK) { NeedsCancelLockFree(); }, "...H.HI"},
      {"NeedsLock", [](PKSPIN_LOCK l) { NeedsLock(l); }, /*               */ "MMMM..M"},
      {"NeedsLockFree", [](PKSPIN_LOCK l) { NeedsLockFree(l); }, /*       */ "....HHI"},
      {"NeedsNoLocks", [](PKSPIN_LOCK) { NeedsNoLocks(); }, /*            */ "...HHHI"},
  };
  const Rule by_code[] = {Rule::contract_irql, Rule::contract_lock_not_held, Rule::contract_lock_held};
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  int cases = 0, findings = 0;
  for (const auto& r : routines) {
    for (std::size_t i = 0; i < std::size(kStates); ++i) {
      const State& s = kStates[i];
      SCOPED_TRACE(std::string(r.name) + " in state " + s.name);
      if (!s.cancel_lock && !s.spin_lock) {
        emu::run_at_irql(s.irql, [&] { r.call(&lock); });
      } else {
        KIRQL cancel_irql = PASSIVE_LEVEL, lock_irql = PASSIVE_LEVEL;
        if (s.cancel_lock) IoAcquireCancelSpinLock(&cancel_irql);
        if (s.spin_lock) KeAcquireSpinLock(&lock, &lock_irql);
        r.call(&lock);
        if (s.spin_lock) KeReleaseSpinLock(&lock, lock_irql);
        if (s.cancel_lock) IoReleaseCancelSpinLock(cancel_irql);
      }
      auto found = emu::verifier::take_findings();
      ++cases;
      const char* code = std::strchr("IMH", r.expected[i]);
      if (code == nullptr) {
        for (const auto& f : found) ADD_FAILURE() << emu::verifier::describe(f);
        continue;
      }
      ++findings;
      ASSERT_EQ(found.size(), 1u);
      EXPECT_EQ(found[0].rule, by_code[code - "IMH"]) << emu::verifier::describe(found[0]);
      // The finding names the routine and where it was called from.
      EXPECT_NE(found[0].routine.find(r.name), std::string::npos) << found[0].routine;
      EXPECT_NE(found[0].detail.find("called from "), std::string::npos) << found[0].detail;
    }
  }
  std::printf("[ contracts] %d routine entries, %d findings expected and seen\n", cases, findings);
}

// ---- One row per misuse --------------------------------------------------------------

constexpr ULONG kWdm = emu::pool::tag("Wdm ");
constexpr ULONG kM2k = emu::pool::tag("M2k ");

// What a row may use: initialised objects, and a device of a test driver
// (made on first use, named \Device\VerifyMe and linked as VERIFYME) whose
// major functions it may set.
struct Ctx {
  KSPIN_LOCK lock;
  KEVENT event;
  KMUTEX mutex;
  IO_REMOVE_LOCK remove_lock;
  KIRQL old = PASSIVE_LEVEL;
  emu::Driver driver;
  iotest::Fn fn = [](PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, STATUS_SUCCESS); };
  PDEVICE_OBJECT dev = nullptr;

  Ctx() {
    KeInitializeSpinLock(&lock);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KeInitializeMutex(&mutex, 0);
    IoInitializeRemoveLock(&remove_lock, kWdm, 0, 0);
  }
  PDEVICE_OBJECT device() {
    if (dev != nullptr) return dev;
    driver = iotest::load_fn_driver();
    dev = iotest::make_device(driver.object(), &fn, nullptr, u"\\Device\\VerifyMe");
    EXPECT_EQ(iotest::link(u"\\DosDevices\\VERIFYME", u"\\Device\\VerifyMe"), STATUS_SUCCESS);
    return dev;
  }
  PDRIVER_OBJECT use(UCHAR major, PDRIVER_DISPATCH routine) {
    device();
    if (routine != nullptr) driver.object()->MajorFunction[major] = routine;
    return driver.object();
  }
  // A packet of the test's own sent down to the device; `routine` is its completion routine.
  PIRP call(PDRIVER_DISPATCH dispatch, PIO_COMPLETION_ROUTINE routine, NTSTATUS expected = STATUS_SUCCESS) {
    use(IRP_MJ_INTERNAL_DEVICE_CONTROL, dispatch);
    PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    if (routine != nullptr) IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(dev, irp), expected);
    return irp;
  }
  ~Ctx() {
    if (dev == nullptr) return;
    iotest::unlink(u"\\DosDevices\\VERIFYME");
    iotest::drop_device(dev);
    driver.unload();
  }
};

// A misuse: the findings its wrong use draws are in misuse_findings.txt, in the row named `what`.
struct Row {
  const char* what;
  std::function<void(Ctx&)> wrong;
  std::function<void(Ctx&)> right = nullptr;  // the same done right: no finding
};

// A device of the row's driver with an extension of `size` bytes.
PDEVICE_OBJECT raw_device(Ctx& c, ULONG size) {
  PDEVICE_OBJECT dev = nullptr;
  EXPECT_EQ(IoCreateDevice(c.use(0, nullptr), size, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev),
            STATUS_SUCCESS);
  return dev;
}

VOID NTAPI waits_for_event(PVOID context) {
  KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}
VOID NTAPI ends_raised(PVOID) { KfRaiseIrql(DISPATCH_LEVEL); }
VOID NTAPI ends_at_once(PVOID) {}
void pageable_routine() { PAGED_CODE(); }
VOID NTAPI dpc_keeps_lock(PKDPC, PVOID lock, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK(lock)); }
VOID NTAPI blocks_dpcs(PKDPC, PVOID event, PVOID, PVOID) {
  while (!KeReadStateEvent(PKEVENT(event))) std::this_thread::yield();
}
VOID NTAPI never_runs_dpc(PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "a DPC in freed memory ran"; }

// Dispatch and completion routines, deliberately wrong (and right).
PIRP g_parked = nullptr;
// The second completion touches only the I/O manager: the packet itself is
// gone after the first (and poisoned under ASan).
NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
  iotest::complete(irp, STATUS_SUCCESS);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
VOID NTAPI NeverRuns(PDEVICE_OBJECT, PIRP) {}
NTSTATUS NTAPI CompleteWithCancelRoutineSet(PDEVICE_OBJECT, PIRP irp) {
  IoSetCancelRoutine(irp, NeverRuns);
  return iotest::complete(irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI PendWithoutMark(PDEVICE_OBJECT, PIRP irp) {
  g_parked = irp;
  return STATUS_PENDING;
}
NTSTATUS NTAPI PendProperly(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  return PendWithoutMark(nullptr, irp);
}
KMUTEX g_dispatch_mutex;
NTSTATUS NTAPI KeepMutex(PDEVICE_OBJECT, PIRP irp) {
  KeWaitForSingleObject(&g_dispatch_mutex, Executive, KernelMode, FALSE, nullptr);
  return iotest::complete(irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI ReturnRaised(PDEVICE_OBJECT, PIRP irp) {
  KfRaiseIrql(DISPATCH_LEVEL);
  return iotest::complete(irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI CompletionReturnsRaised(PDEVICE_OBJECT, PIRP, PVOID) {
  KfRaiseIrql(DISPATCH_LEVEL);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
NTSTATUS NTAPI StopCompletion(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }
// A filter forwarding to the device below it, its next stack location set up or not.
void forward_below(Ctx& c, bool skip) {
  static iotest::Fn forward;
  PDEVICE_OBJECT below = iotest::make_device(c.use(0, nullptr), &c.fn, nullptr, u"\\Device\\Below");
  forward = [below, skip](PDEVICE_OBJECT, PIRP irp) {
    if (skip) IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(below, irp);
  };
  PDEVICE_OBJECT filter = iotest::make_device(c.driver.object(), &forward, below, u"\\Device\\Filter");
  PIRP irp = IoAllocateIrp(filter->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, StopCompletion, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(filter, irp), skip ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST);
  IoFreeIrp(irp);
  iotest::drop_device(filter, below);
  iotest::drop_device(below);
}
NTSTATUS NTAPI CompleteOneReturnAnother(PDEVICE_OBJECT, PIRP irp) {
  iotest::complete(irp, STATUS_UNSUCCESSFUL);
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI ReturnWithoutCompleting(PDEVICE_OBJECT, PIRP irp) {
  g_parked = irp;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI Succeed(PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, STATUS_SUCCESS); }
NTSTATUS NTAPI OverReport(PDEVICE_OBJECT, PIRP irp) {
  const ULONG out = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  RtlFillMemory(irp->AssociatedIrp.SystemBuffer, out, 0xAB);
  return iotest::complete(irp, STATUS_SUCCESS, out + 4);
}
// A read pended by `dispatch`, completed by the test.
void pend_a_read(Ctx& c, PDRIVER_DISPATCH dispatch) {
  c.use(IRP_MJ_READ, dispatch);
  emu::Handle h = emu::open(u"VERIFYME");
  emu::RequestPtr r = h.read_async(1);
  iotest::complete(g_parked, STATUS_SUCCESS);
  EXPECT_TRUE(r->wait());
}

// A function driver whose AddDevice forgets DO_DEVICE_INITIALIZING and whose
// removal forgets to detach and delete its device.
PDEVICE_OBJECT g_lazy_lower = nullptr;
NTSTATUS NTAPI LazyPass(PDEVICE_OBJECT, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(g_lazy_lower, irp);
}
NTSTATUS NTAPI LazyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT dev;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
  if (NT_SUCCESS(status)) g_lazy_lower = IoAttachDeviceToDeviceStack(dev, pdo);
  return status;
}
NTSTATUS NTAPI LazyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction) slot = LazyPass;
  driver->DriverExtension->AddDevice = LazyAddDevice;
  return STATUS_SUCCESS;
}

// The MDL discipline: map only what is locked, lock and unlock once each,
// unlock before freeing, free only MDLs.  Each misuse leaves the MDL usable.
void MdlOutOfOrder(Ctx&) {
  alignas(PAGE_SIZE) static UCHAR buffer[4 * PAGE_SIZE];
  PUCHAR start = buffer + 100;
  PMDL mdl = IoAllocateMdl(start, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(static_cast<SIZE_T>(mdl->Size), sizeof(MDL) + 3 * sizeof(PFN_NUMBER));  // spans three pages
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
  EXPECT_EQ(MmGetMdlByteOffset(mdl), 100u);
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority),
            nullptr);
  MmUnlockPages(mdl);
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  EXPECT_EQ(MmGetMdlPfnArray(mdl)[2] - MmGetMdlPfnArray(mdl)[0], 2u);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), start);
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  // A partial MDL of the second page, mapped through its parent's lock.
  PMDL part = IoAllocateMdl(buffer + PAGE_SIZE, PAGE_SIZE, FALSE, FALSE, nullptr);
  ASSERT_NE(part, nullptr);
  IoBuildPartialMdl(mdl, part, buffer + PAGE_SIZE, PAGE_SIZE);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), buffer + PAGE_SIZE);
  IoBuildPartialMdl(mdl, part, buffer, 16);  // before the source's first byte
  IoFreeMdl(part);
  IoFreeMdl(mdl);  // still locked
  IoFreeMdl(mdl);
  EXPECT_EQ(emu::pool::outstanding(emu::pool::tag("Mdl ")), 0u);
}

const Row kRows[] = {
    // A release with Wait TRUE leaves the caller at DISPATCH_LEVEL: its next call must be a wait.
    {"Waits",
     [](Ctx& c) {
       KeSetEvent(&c.event, 0, FALSE);  // signalled: the wait itself returns at once
       LARGE_INTEGER t = relative(10ms);
       emu::run_at_irql(DISPATCH_LEVEL, [&] {
         EXPECT_EQ(KeWaitForSingleObject(&c.event, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
       });
       KeSetEvent(&c.event, 0, TRUE);
       KeClearEvent(&c.event);
       wait_now(&c.mutex);
       KeReleaseMutex(&c.mutex, TRUE);
       KeResetEvent(&c.event);
       // Zeroed memory looks like a notification event: Windows crashes on it.
       alignas(16) unsigned char junk[sizeof(KEVENT)];
       std::memset(junk, 0xA5, sizeof junk);
       EXPECT_EQ(KeWaitForSingleObject(junk, Executive, KernelMode, FALSE, nullptr),
                 STATUS_INVALID_PARAMETER);
       std::memset(junk, 0, sizeof junk);
       wait_now(junk);
       KeSetEvent(reinterpret_cast<PKEVENT>(junk), 0, FALSE);
     },
     [](Ctx& c) {
       // A zero time-out never blocks, even at DISPATCH_LEVEL.
       emu::run_at_irql(DISPATCH_LEVEL, [&] { EXPECT_EQ(wait_now(&c.event), STATUS_TIMEOUT); });
       KeSetEvent(&c.event, 0, TRUE);
       EXPECT_EQ(wait_now(&c.event), STATUS_SUCCESS);
     }},
    {"MutexAndSemaphore",
     [](Ctx& c) {
       KeWaitForSingleObject(&c.mutex, Executive, KernelMode, FALSE, nullptr);
       emu::run_on_system_thread(PASSIVE_LEVEL, [&] { KeReleaseMutex(&c.mutex, FALSE); });
       // The misuse changed nothing: the owner still holds it.
       EXPECT_EQ(KeReadStateMutex(&c.mutex), 0);
       EXPECT_EQ(c.mutex.OwnerThread, KeGetCurrentThread());
       KeReleaseMutex(&c.mutex, FALSE);
       KeReleaseMutex(&c.mutex, FALSE);  // not owned any more
       emu::run_on_system_thread(PASSIVE_LEVEL, [&] { wait_now(&c.mutex); });
       EXPECT_EQ(wait_now(&c.mutex), STATUS_SUCCESS);  // abandoned: the next waiter gets it
       EXPECT_TRUE(c.mutex.Abandoned);
       KeReleaseMutex(&c.mutex, FALSE);
       KSEMAPHORE sem;
       KeInitializeSemaphore(&sem, 1, 2);
       EXPECT_EQ(wait_now(&sem), STATUS_SUCCESS);
       EXPECT_EQ(wait_now(&sem), STATUS_TIMEOUT);
       EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 2, FALSE), 0);
       EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 2);
       EXPECT_EQ(KeReadStateSemaphore(&sem), 2);
     }},
    {"HandlesAndThreadEnds",
     [](Ctx&) {
       HANDLE handle = nullptr, key = nullptr;
       PVOID object = nullptr;
       ASSERT_EQ(
           PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ends_at_once, nullptr),
           STATUS_SUCCESS);
       EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
       EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
       EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr),
                 STATUS_INVALID_HANDLE);
       EXPECT_EQ(object, nullptr);
       ASSERT_EQ(emu::registry::open_key(u"\\REGISTRY\\MACHINE\\HARDWARE", false, &key), STATUS_SUCCESS);
       EXPECT_EQ(ObReferenceObjectByHandle(key, 0, *PsThreadType, KernelMode, &object, nullptr),
                 STATUS_OBJECT_TYPE_MISMATCH);
       ZwClose(key);
       ASSERT_TRUE(emu::wait_quiescent());
       EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
       join(start_thread(ends_raised, nullptr));
     }},
    {"ThreadsAtReset",
     [](Ctx&) {
       static KEVENT release;  // the thread may see it after the reset
       KeInitializeEvent(&release, NotificationEvent, FALSE);
       PVOID running = start_thread(waits_for_event, &release);
       KeWaitForSingleObject(start_thread(ends_at_once, nullptr, true), Executive, KernelMode, FALSE,
                             nullptr);
       emu::kernel_reset();
       KeSetEvent(&release, 0, FALSE);
       join(running);
     }},
    {"RunningThreadsContextDeleted",
     [](Ctx& c) {
       PVOID thread = start_thread(waits_for_event, &c.event);
       ASSERT_TRUE(emu::ke::wait_for_waiters(&c.event, 1));
       EXPECT_EQ(emu::ke::check_no_live_objects(&c.event, sizeof c.event + 1, "IoDeleteDevice"), 2u);
       KeSetEvent(&c.event, 0, FALSE);
       join(thread);
       EXPECT_EQ(emu::ke::check_no_live_objects(&c.event, sizeof c.event + 1, "IoDeleteDevice"), 0u);
     }},
    {"SpinLocks",
     [](Ctx& c) {
       KeAcquireSpinLock(&c.lock, &c.old);
       emu::run_on_system_thread(DISPATCH_LEVEL, [&] { KeReleaseSpinLockFromDpcLevel(&c.lock); });
       EXPECT_FALSE(KeTestSpinLock(&c.lock));  // still ours
       KeReleaseSpinLock(&c.lock, c.old);
       emu::run_at_irql(DISPATCH_LEVEL, [&] { KeReleaseSpinLockFromDpcLevel(&c.lock); });
       KeAcquireSpinLock(&c.lock, &c.old);
       EXPECT_EQ(KfRaiseIrql(CLOCK_LEVEL), DISPATCH_LEVEL);
       KeReleaseSpinLock(&c.lock, c.old);
       EXPECT_TRUE(KeTestSpinLock(&c.lock));
       EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
       emu::run_at_irql(DISPATCH_LEVEL, [&] { KeAcquireSpinLockAtDpcLevel(&c.lock); });
       KeReleaseSpinLockFromDpcLevel(&c.lock);
       KIRQL old = KfRaiseIrql(HIGH_LEVEL), inner;
       KeAcquireSpinLock(&c.lock, &c.old);
       EXPECT_EQ(c.old, HIGH_LEVEL);
       KeReleaseSpinLockFromDpcLevel(&c.lock);
       KfLowerIrql(old);
       KeAcquireSpinLock(&c.lock, &c.old);
       KeAcquireSpinLock(&c.lock, &inner);  // would deadlock on a real machine
       KeReleaseSpinLock(&c.lock, inner);
       EXPECT_FALSE(KeTestSpinLock(&c.lock));
       KeReleaseSpinLock(&c.lock, c.old);
       EXPECT_TRUE(KeTestSpinLock(&c.lock));
     }},
    {"IrqlChanges",
     [](Ctx& c) {
       KeRaiseIrql(DISPATCH_LEVEL, &c.old);
       KeLowerIrql(CLOCK_LEVEL);
       KfRaiseIrql(APC_LEVEL);
       KeLowerIrql(c.old);
       EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
       KeAcquireSpinLock(&c.lock, &c.old);
       KeLowerIrql(PASSIVE_LEVEL);
       KeRaiseIrql(DISPATCH_LEVEL, &c.old);
       KeReleaseSpinLock(&c.lock, c.old);
       {
         emu::ke::IrqlCheck check("SloppyDispatch", nullptr);
         KfRaiseIrql(DISPATCH_LEVEL);
       }
       KeLowerIrql(PASSIVE_LEVEL);
       emu::run_at_irql(APC_LEVEL, [] { KfRaiseIrql(DISPATCH_LEVEL); });
       EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
       KDPC dpc;
       KeInitializeDpc(&dpc, dpc_keeps_lock, &c.lock);
       KeInsertQueueDpc(&dpc, nullptr, nullptr);
       emu::ke::flush_dpcs();
       emu::run_at_irql(DISPATCH_LEVEL, pageable_routine);
       emu::ke::queue_work_item([] { KfRaiseIrql(DISPATCH_LEVEL); }, "SloppyWorkRoutine");
       ASSERT_TRUE(emu::wait_quiescent());
     },
     [](Ctx&) { pageable_routine(), emu::run_at_irql(APC_LEVEL, pageable_routine); }},
    {"PoolFrees",
     [](Ctx&) {
       int on_stack = 0;
       void* a = ExAllocatePoolWithTag(NonPagedPool, 16, kWdm);
       ExFreePool(a);
       ExFreePool(a);
       ExFreePool(&on_stack);
       void* b = ExAllocatePoolWithTag(NonPagedPool, 16, kWdm);
       ExFreePoolWithTag(b, kM2k);
       EXPECT_FALSE(emu::pool::is_allocated(b));
       ExFreePool(nullptr);
       const auto frees = emu::pool::stats(kWdm).frees;
       a = ExAllocatePoolWithTag(NonPagedPool, 100, kWdm);
       b = ExAllocatePoolWithTag(NonPagedPool, 28, kWdm);
       void* c = ExAllocatePoolWithTag(PagedPool, 64, kM2k);
       ASSERT_TRUE(a && b && c);
       EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
       EXPECT_EQ(emu::pool::stats(kWdm).outstanding_bytes, 128u);
       EXPECT_EQ(emu::pool::outstanding(kM2k), 1u);
       ExFreePoolWithTag(a, kWdm);
       ExFreePool(c);
       EXPECT_EQ(emu::pool::check_leaks(kM2k), 0u);
       EXPECT_EQ(emu::pool::check_leaks(kWdm, "unload"), 1u);
       EXPECT_EQ(emu::verifier::findings().back().object, b);
       ExFreePool(b);
       const auto s = emu::pool::stats(kWdm);
       EXPECT_EQ(s.allocations - s.frees, s.outstanding);
       EXPECT_EQ(s.frees - frees, 2u);
     }},
#if !defined(__SANITIZE_ADDRESS__)  // AddressSanitizer catches the overrun itself, at the write
    {"PoolCorruption",
     [](Ctx&) {
       auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kWdm));
       p[11] = 0;
       ExFreePool(p);
       p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kWdm));
       p[-2] = 0;
       ExFreePool(p);
     }},
#endif
    {"PagedAtDispatch",
     [](Ctx&) {
       void* paged = nullptr;
       emu::run_at_irql(DISPATCH_LEVEL, [&] { paged = ExAllocatePoolWithTag(PagedPool, 8, kM2k); });
       emu::run_at_irql(DISPATCH_LEVEL, [&] { ExFreePool(paged); });
       emu::run_at_irql(DISPATCH_LEVEL,
                        [] { RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"x"); });
     }},
    {"LeftAtReset",
     [](Ctx&) {
       const char16_t key_path[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1\\1";
       HANDLE key = nullptr;
       ExAllocatePoolWithTag(NonPagedPool, 40, kWdm);
       ASSERT_EQ(emu::registry::open_key(key_path, true, &key), STATUS_SUCCESS);
       EXPECT_EQ(emu::registry::open_handles(), 1u);
       PIRP irp = IoAllocateIrp(1, FALSE);
       emu::kernel_reset();
       EXPECT_TRUE(
           std::ranges::any_of(emu::verifier::findings(), [&](const auto& f) { return f.object == irp; }));
       EXPECT_EQ(emu::pool::outstanding_total(), 0u);
       EXPECT_EQ(emu::registry::open_handles(), 0u);
       EXPECT_FALSE(emu::registry::key_exists(key_path));  // the reset emptied the tree
       EXPECT_TRUE(emu::registry::key_exists(u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP"));
     }},
    {"Assertion",
     [](Ctx&) {
       int value = 3;
       ASSERTMSG("port must be open", value == 4);
       auto records = emu::asserts::take();
       ASSERT_EQ(records.size(), 1u);
       EXPECT_EQ(records[0].expression, "value == 4");
       EXPECT_EQ(records[0].message, "port must be open");
       EXPECT_NE(records[0].file.find("verifier_test.cpp"), std::string::npos);
     },
     [](Ctx&) {
       int value = 3;
       ASSERT(value == 3);
       EXPECT_TRUE(emu::asserts::records().empty());
     }},
    {"TimersAndDpcs",
     [](Ctx& c) {
       emu::clock::freeze();
       auto* p =
           static_cast<KTIMER*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER) + sizeof(KDPC), kWdm));
       auto* dpc = reinterpret_cast<PKDPC>(p + 1);
       KeInitializeTimer(p);
       KeInitializeDpc(dpc, never_runs_dpc, nullptr);
       KeSetTimer(p, relative(10ms), dpc);
       ExFreePool(p);
       emu::clock::advance(std::chrono::milliseconds(20));  // the freed timer was taken out of the queue
       emu::clock::unfreeze();
       KDPC block;  // holds the DPC thread until the event is set, so the queue behind it stays
       KeInitializeDpc(&block, blocks_dpcs, &c.event);
       KeInsertQueueDpc(&block, nullptr, nullptr);
       dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kWdm));
       KeInitializeDpc(dpc, never_runs_dpc, nullptr);
       KeInsertQueueDpc(dpc, nullptr, nullptr);
       ExFreePool(dpc);
       KeSetEvent(&c.event, 0, FALSE);
       emu::ke::flush_dpcs();
       emu::clock::freeze();
       static KTIMER timer;  // outlives the test: the reset must take it out of the queue
       KeInitializeTimer(&timer);
       KeSetTimer(&timer, relative(1000ms), nullptr);
       EXPECT_FALSE(emu::check_quiescent("test"));
       emu::kernel_reset();
       EXPECT_FALSE(KeCancelTimer(&timer));
       EXPECT_FALSE(emu::clock::frozen());
     }},
    {"Completion",
     [](Ctx& c) {
       c.use(IRP_MJ_WRITE, CompleteTwice);
       EXPECT_EQ(emu::open(u"VERIFYME").write("x").status, STATUS_SUCCESS);  // the first completion stands
       c.use(IRP_MJ_WRITE, CompleteOneReturnAnother);
       EXPECT_EQ(emu::open(u"VERIFYME").write("x").status, STATUS_UNSUCCESSFUL);
       c.use(IRP_MJ_READ, CompleteWithCancelRoutineSet);
       emu::open(u"VERIFYME").read(1);
       c.use(IRP_MJ_DEVICE_CONTROL, OverReport);
       emu::IoResult over = emu::open(u"VERIFYME").ioctl(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, 0, 0), {}, 6);
       EXPECT_EQ(over.output.size(), 6u);
       EXPECT_EQ(over.output[5], 0xAB);  // the caller still gets no more than it asked for
       pend_a_read(c, PendWithoutMark);
       pend_a_read(c, ReturnWithoutCompleting);
     }},
    // Windows stops with APC_INDEX_MISMATCH as a system call returns owning a mutex.
    {"ReturnsToRequester",
     [](Ctx& c) {
       KeInitializeMutex(&g_dispatch_mutex, 0);
       c.use(IRP_MJ_WRITE, KeepMutex);
       EXPECT_EQ(emu::open(u"VERIFYME").write("x").status, STATUS_SUCCESS);
       EXPECT_EQ(KeReadStateMutex(&g_dispatch_mutex), 1);  // abandoned: nobody waits for ever
       c.use(IRP_MJ_WRITE, ReturnRaised);
       emu::open(u"VERIFYME").write("x");
       EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // put back so the test goes on sanely
       IoFreeIrp(c.call(Succeed, CompletionReturnsRaised));
       EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
     }},
    {"PacketsFreed",
     [](Ctx& c) {
       forward_below(c, false);  // first: the rest sets the driver's dispatch routine
       PIRP irp = c.call(PendProperly, StopCompletion, STATUS_PENDING);
       IoFreeIrp(irp);  // wrong: the device has it
       // The packet was not freed: the device completes it and it is freed right.
       iotest::complete(g_parked, STATUS_SUCCESS);
       IoFreeIrp(irp);
       IO_STATUS_BLOCK iosb;
       PIRP built = IoBuildDeviceIoControlRequest(0, c.dev, nullptr, 0, nullptr, 0, TRUE, &c.event, &iosb);
       IoFreeIrp(built);
       c.use(IRP_MJ_INTERNAL_DEVICE_CONTROL, Succeed);
       IofCallDriver(c.dev, built);  // still alive: it completes and is freed by the I/O manager
       EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
       irp = IoAllocateIrp(1, FALSE);
       IoFreeIrp(irp);
       IoFreeIrp(irp);
       IoFreeIrp(c.call(Succeed, nullptr));  // no routine of its own stops completion
       EXPECT_EQ(emu::outstanding_irps(), 0u);
     },
     [](Ctx& c) { forward_below(c, true); }},
    {"RemoveLock",
     [](Ctx& c) {
       int tag, other;
       ASSERT_EQ(IoAcquireRemoveLock(&c.remove_lock, &tag), STATUS_SUCCESS);
       IoReleaseRemoveLock(&c.remove_lock, &tag);
       IoReleaseRemoveLock(&c.remove_lock, &tag);
       ASSERT_EQ(IoAcquireRemoveLock(&c.remove_lock, &tag), STATUS_SUCCESS);
       IoReleaseRemoveLock(&c.remove_lock, &other);
       IoReleaseRemoveLock(&c.remove_lock, &tag);
       EXPECT_EQ(c.remove_lock.Common.IoCount, 1);  // the bias only: the bad releases changed nothing
       ASSERT_EQ(IoAcquireRemoveLock(&c.remove_lock, nullptr), STATUS_SUCCESS);
       IoReleaseRemoveLockAndWait(&c.remove_lock, nullptr);
       EXPECT_TRUE(c.remove_lock.Common.Removed);
       EXPECT_EQ(IoAcquireRemoveLock(&c.remove_lock, nullptr), STATUS_DELETE_PENDING);
     }},  // where, from the macro
    {"DevicesDeleted",
     [](Ctx& c) {
       PDEVICE_OBJECT dev = raw_device(c, sizeof(KTIMER));
       KeInitializeTimer(static_cast<PKTIMER>(dev->DeviceExtension));
       KeSetTimer(static_cast<PKTIMER>(dev->DeviceExtension), relative(100000ms), nullptr);
       IoDeleteDevice(dev);
       dev = raw_device(c, sizeof(KEVENT));
       static KEVENT stop;
       KeInitializeEvent(&stop, NotificationEvent, FALSE);
       PVOID thread = start_thread([](PVOID) NTAPI { waits_for_event(&stop); }, dev->DeviceExtension);
       IoDeleteDevice(dev);
       KeSetEvent(&stop, 0, FALSE);
       join(thread);
       PDEVICE_OBJECT lower = iotest::make_device(c.use(0, nullptr), &c.fn, nullptr, u"\\Device\\Lower");
       PDEVICE_OBJECT upper = iotest::make_device(c.driver.object(), &c.fn, lower, u"\\Device\\Upper");
       IoDeleteDevice(lower);
       IoDetachDevice(lower);  // the memory stays while referenced: detaching is still safe
       IoDeleteDevice(upper);
       // With 8 routines blocked (the most the emulator runs at once) a 9th item stays queued.  A routine
       // already running may see its device deleted (the item's reference keeps it: a removal waiting on
       // the routine's remove lock does exactly that); a queued one may not.
       dev = iotest::make_device(c.driver.object(), &c.fn);
       static KEVENT release;
       KeInitializeEvent(&release, NotificationEvent, FALSE);
       for (int i = 0; i < 9; ++i) {
         PIO_WORKITEM item = IoAllocateWorkItem(dev);
         IoQueueWorkItem(
             item,
             [](PDEVICE_OBJECT, PVOID item) NTAPI {
               KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
               IoFreeWorkItem(static_cast<PIO_WORKITEM>(item));
             },
             DelayedWorkQueue, item);
       }
       ASSERT_TRUE(emu::ke::wait_for_waiters(&release, 8));
       IoDeleteDevice(dev);
       KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
       EXPECT_TRUE(emu::wait_work_items());
       EXPECT_EQ(emu::work_items_pending(), 0u);
       dev = iotest::make_device(c.driver.object(), &c.fn);
       PIO_WORKITEM item = IoAllocateWorkItem(dev);
       IoDeleteDevice(dev);
       IoFreeWorkItem(item);
       IoFreeWorkItem(item);
     }},
    {"LeftAtUnload",
     [](Ctx&) {
       emu::Driver driver = iotest::load_fn_driver(u"\\Driver\\Leaky");
       iotest::Fn fn;
       iotest::make_device(driver.object(), &fn, nullptr, u"\\Device\\Leaky");
       EXPECT_EQ(iotest::link(u"\\DosDevices\\LEAKY", u"\\Device\\Leaky"), STATUS_SUCCESS);
       void* block = ExAllocatePoolWithTag(NonPagedPool, 24, kWdm);
       driver.unload();
       ExFreePool(block);
       iotest::unlink(u"\\DosDevices\\LEAKY");
       IoDeleteDevice(emu::find_device(u"\\Device\\Leaky"));
       driver = emu::load_driver(
           [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI -> NTSTATUS {
             ExAllocatePoolWithTag(PagedPool, 16, kM2k);
             return STATUS_INSUFFICIENT_RESOURCES;
           },
           u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Failing");
       EXPECT_FALSE(driver.loaded());
       EXPECT_EQ(driver.entry_status(), STATUS_INSUFFICIENT_RESOURCES);
       for (const auto& block : emu::pool::blocks(kM2k)) ExFreePool(const_cast<void*>(block.address));
     }},
    {"MdlOutOfOrder", MdlOutOfOrder},
    {"PnpForgotten",
     [](Ctx&) {
       emu::Driver driver =
           emu::load_driver(LazyEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Lazy");
       auto node = emu::create_pdo();
       ASSERT_EQ(node->add_device(driver), STATUS_SUCCESS);
       EXPECT_EQ(emu::verifier::findings().size(), 1u);
       PDEVICE_OBJECT fdo = node->fdo();
       ASSERT_NE(fdo, nullptr);
       EXPECT_EQ(node->start(), STATUS_SUCCESS);
       EXPECT_EQ(node->remove(), STATUS_SUCCESS);
       IoDetachDevice(node->pdo());
       IoDeleteDevice(fdo);
       node.reset();
       driver.unload();
     }},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.what; }

class Misuse : public ::testing::TestWithParam<Row> {};

TEST_P(Misuse, IsNamedAndTheRightUseIsNot) {
  const Row& row = GetParam();
  std::multiset<Rule> rules;
  std::vector<std::string> names;
  for (const auto& [line, words] : vrmdm_test::ReadTable(VRMDM_SOURCE_DIR "/tests/emu/misuse_findings.txt")) {
    if (words[0] != row.what) continue;
    auto in = std::find(words.begin(), words.end(), "in");
    for (auto w = words.begin() + 1; w != in; ++w) rules.insert(emu::verifier::find_rule(*w).value());
    names.assign(in == words.end() ? in : in + 1, words.end());
  }
  ASSERT_FALSE(rules.empty()) << "no findings listed for this row";
  {
    Ctx ctx;
    row.wrong(ctx);
  }
  const auto found = emu::verifier::take_findings();
  std::multiset<Rule> drawn;
  for (const auto& f : found) drawn.insert(f.rule);
  EXPECT_EQ(drawn, rules);
  for (const std::string& name : names) {
    EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](const auto& f) {
      return (f.routine + " " + f.detail).find(name) != std::string::npos;
    })) << name;
  }
  if (!row.right) return;
  emu::kernel_reset();
  Ctx ctx;
  row.right(ctx);
  for (const auto& f : emu::verifier::take_findings()) ADD_FAILURE() << emu::verifier::describe(f);
}

INSTANTIATE_TEST_SUITE_P(Rows, Misuse, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.what); });

}  // namespace
