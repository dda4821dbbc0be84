// Each of the I/O manager's verifier checks, caught on a deliberately wrong
// routine: the finding is asserted (and names the routine at fault) and then
// taken, so the test passes only when the check fires.
#include "io_test_util.h"

#include <gtest/gtest.h>

#include <thread>

using emu::verifier::Rule;

namespace {

using iotest::take;

// ---- Deliberately wrong routines ----------------------------------------------------

// The second completion touches only the I/O manager: the packet itself is
// gone after the first (and poisoned under ASan).
NTSTATUS NTAPI CompleteTwice(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

VOID NTAPI NeverRuns(PDEVICE_OBJECT, PIRP) {}

NTSTATUS NTAPI CompleteWithCancelRoutineSet(PDEVICE_OBJECT, PIRP irp) {
  IoSetCancelRoutine(irp, NeverRuns);
  return iotest::complete(irp, STATUS_SUCCESS);
}

PIRP g_parked = nullptr;

NTSTATUS NTAPI PendWithoutMark(PDEVICE_OBJECT, PIRP irp) {
  g_parked = irp;
  return STATUS_PENDING;
}

NTSTATUS NTAPI PendProperly(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  g_parked = irp;
  return STATUS_PENDING;
}

NTSTATUS NTAPI ReturnRaised(PDEVICE_OBJECT, PIRP irp) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return iotest::complete(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI CompletionReturnsRaised(PDEVICE_OBJECT, PIRP, PVOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return STATUS_MORE_PROCESSING_REQUIRED;
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

bool names(const std::vector<emu::verifier::Finding>& found, std::string_view routine) {
  for (auto& f : found)
    if (f.routine.find(routine) != std::string::npos || f.detail.find(routine) != std::string::npos)
      return true;
  return false;
}

struct Verify : ::testing::Test {
  emu::Driver driver = iotest::load_fn_driver();
  iotest::Fn fn = [](PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, STATUS_SUCCESS); };
  PDEVICE_OBJECT dev = nullptr;

  void SetUp() override {
    g_parked = nullptr;
    dev = iotest::make_device(driver.object(), &fn, nullptr, u"\\Device\\VerifyMe");
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\VERIFYME");
    RtlInitUnicodeString(&target, u"\\Device\\VerifyMe");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  }

  void TearDown() override {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\VERIFYME");
    IoDeleteSymbolicLink(&link);
    if (dev != nullptr) iotest::drop_device(dev);
    driver.unload();
  }

  void use(UCHAR major, PDRIVER_DISPATCH routine) { driver.object()->MajorFunction[major] = routine; }
};

TEST_F(Verify, CompletionTwiceNamesTheRoutineThatCompletedAgain) {
  use(IRP_MJ_WRITE, CompleteTwice);
  emu::Handle h = emu::open(u"VERIFYME");
  emu::IoResult r = h.write("x");
  EXPECT_EQ(r.status, STATUS_SUCCESS);  // the first completion stands
  auto found = take(Rule::irp_completed_twice);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(names(found, "CompleteTwice")) << found[0].detail;
}

TEST_F(Verify, CompletionWithACancelRoutineStillSet) {
  use(IRP_MJ_READ, CompleteWithCancelRoutineSet);
  emu::Handle h = emu::open(u"VERIFYME");
  h.read(1);
  auto found = take(Rule::irp_completed_with_cancel_routine);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(names(found, "CompleteWithCancelRoutineSet"));
  EXPECT_TRUE(names(found, "NeverRuns"));
}

TEST_F(Verify, PendingWithoutTheMark) {
  use(IRP_MJ_READ, PendWithoutMark);
  emu::Handle h = emu::open(u"VERIFYME");
  emu::RequestPtr r = h.read_async(1);
  iotest::complete(g_parked, STATUS_SUCCESS);
  ASSERT_TRUE(r->wait());
  auto found = take(Rule::pending_not_marked);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(names(found, "PendWithoutMark"));

  // The same request marked: nothing to report, whichever comes first.
  use(IRP_MJ_READ, PendProperly);
  r = h.read_async(1);
  iotest::complete(g_parked, STATUS_SUCCESS);
  ASSERT_TRUE(r->wait());
  EXPECT_TRUE(take(Rule::pending_not_marked).empty());
}

TEST_F(Verify, DispatchAndCompletionRoutinesReturningAtAnotherIrql) {
  use(IRP_MJ_WRITE, ReturnRaised);
  emu::Handle h = emu::open(u"VERIFYME");
  h.write("x");
  auto found = take(Rule::irql_changed);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(names(found, "ReturnRaised"));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // put back so the test goes on sanely

  use(IRP_MJ_INTERNAL_DEVICE_CONTROL, Succeed);
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(irp, CompletionReturnsRaised, nullptr, TRUE, TRUE, TRUE);
  IofCallDriver(dev, irp);
  found = take(Rule::irql_changed);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(names(found, "CompletionReturnsRaised"));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  IoFreeIrp(irp);
}

TEST_F(Verify, FreeingAPacketALowerDriverStillHolds) {
  use(IRP_MJ_INTERNAL_DEVICE_CONTROL, PendProperly);
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoSetCompletionRoutine(
      irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
      nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(dev, irp), STATUS_PENDING);
  IoFreeIrp(irp);  // wrong: the device has it
  auto found = take(Rule::irp_freed_while_owned);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find("VerifyMe"), std::string::npos);
  // The packet was not freed: the device completes it and it is freed right.
  iotest::complete(g_parked, STATUS_SUCCESS);
  IoFreeIrp(irp);
  EXPECT_EQ(emu::outstanding_irps(), 0u);
}

TEST_F(Verify, FreeingThePacketOfTheIoManagerAndFreeingTwice) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP built = IoBuildDeviceIoControlRequest(0, dev, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoFreeIrp(built);
  EXPECT_EQ(take(Rule::irp_freed_by_driver).size(), 1u);
  use(IRP_MJ_INTERNAL_DEVICE_CONTROL, Succeed);
  IofCallDriver(dev, built);  // still alive: it completes and is freed by the I/O manager
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);

  PIRP irp = IoAllocateIrp(1, FALSE);
  IoFreeIrp(irp);
  IoFreeIrp(irp);
  EXPECT_EQ(take(Rule::irp_freed_twice).size(), 1u);
}

TEST_F(Verify, DriverPacketCompletedPastItsTop) {
  use(IRP_MJ_INTERNAL_DEVICE_CONTROL, Succeed);
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IofCallDriver(dev, irp);  // no routine of its own stops completion
  EXPECT_EQ(take(Rule::irp_completed_past_top).size(), 1u);
  IoFreeIrp(irp);
}

TEST_F(Verify, ReturnedStatusDiffersFromTheCompletedOne) {
  use(IRP_MJ_WRITE, CompleteOneReturnAnother);
  use(IRP_MJ_READ, ReturnWithoutCompleting);
  emu::Handle h = emu::open(u"VERIFYME");
  EXPECT_EQ(h.write("x").status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(take(Rule::status_mismatch).size(), 1u);
  emu::RequestPtr r = h.read_async(1);
  EXPECT_EQ(take(Rule::status_returned_without_completion).size(), 1u);
  iotest::complete(g_parked, STATUS_SUCCESS);
  EXPECT_TRUE(r->wait());
}

// ---- Remove locks --------------------------------------------------------------------------

TEST(VerifyRemoveLock, ReleasedMoreOftenThanAcquired) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0x4b4c5352, 0, 0);
  int tag;
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);
  IoReleaseRemoveLock(&lock, &tag);
  IoReleaseRemoveLock(&lock, &tag);
  EXPECT_EQ(take(Rule::remove_lock_over_released).size(), 1u);
  int other;
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);
  IoReleaseRemoveLock(&lock, &other);  // a tag that was never acquired
  EXPECT_EQ(take(Rule::remove_lock_over_released).size(), 1u);
  IoReleaseRemoveLock(&lock, &tag);
  EXPECT_EQ(lock.Common.IoCount, 1);  // the bias only: the bad releases changed nothing
}

TEST(VerifyRemoveLock, AcquiredAfterReleaseAndWait) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0x4b4c5352, 0, 0);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
  IoReleaseRemoveLockAndWait(&lock, nullptr);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
  auto found = take(Rule::remove_lock_acquired_after_remove);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find("io_verifier_test.cpp"), std::string::npos);  // where, from the macro
}

// ---- Deleting devices ----------------------------------------------------------------------

struct DeleteWhileLive : ::testing::Test {
  emu::Driver driver = iotest::load_fn_driver();
  iotest::Fn fn = [](PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, STATUS_SUCCESS); };
};

TEST_F(DeleteWhileLive, TimerInTheExtension) {
  PDEVICE_OBJECT dev = nullptr;
  ASSERT_EQ(IoCreateDevice(driver.object(), sizeof(KTIMER), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev),
            STATUS_SUCCESS);
  auto timer = static_cast<PKTIMER>(dev->DeviceExtension);
  KeInitializeTimer(timer);
  LARGE_INTEGER due;
  due.QuadPart = -10LL * 1000 * 1000 * 100;  // 100 s
  KeSetTimer(timer, due, nullptr);
  IoDeleteDevice(dev);
  EXPECT_EQ(take(Rule::timer_freed_while_queued).size(), 1u);
  driver.unload();
}

// A routine running may let its device be deleted (the item's reference keeps
// the device; a removal waiting on the routine's remove lock does exactly
// that); an item still queued may not, since its routine would run for a
// deleted device.  The emulator runs at most 8 workers: with 8 routines
// blocked, the 9th item stays queued.
TEST_F(DeleteWhileLive, WorkItemQueuedButNotRunning) {
  PDEVICE_OBJECT dev = iotest::make_device(driver.object(), &fn);
  static KEVENT release;
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  constexpr int kItems = 9;
  for (int i = 0; i < kItems; ++i) {
    PIO_WORKITEM item = IoAllocateWorkItem(dev);
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT, PVOID context) NTAPI {
          KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
          IoFreeWorkItem(static_cast<PIO_WORKITEM>(context));
        },
        DelayedWorkQueue, item);
  }
  ASSERT_TRUE(emu::ke::wait_for_waiters(&release, kItems - 1));
  IoDeleteDevice(dev);
  auto findings = take(Rule::device_deleted_with_work_item);
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_NE(findings[0].detail.find(" 1 work item(s) queued"), std::string::npos) << findings[0].detail;
  KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  EXPECT_TRUE(emu::wait_work_items());
  iotest::take_checks();  // the items were not freed yet at the deletion either
  driver.unload();
}

TEST_F(DeleteWhileLive, WorkItemNeverFreed) {
  PDEVICE_OBJECT dev = iotest::make_device(driver.object(), &fn);
  PIO_WORKITEM item = IoAllocateWorkItem(dev);
  IoDeleteDevice(dev);
  EXPECT_EQ(take(Rule::work_item_leaked).size(), 1u);
  IoFreeWorkItem(item);
  IoFreeWorkItem(item);
  EXPECT_EQ(take(Rule::work_item_unknown).size(), 1u);
  driver.unload();
}

TEST_F(DeleteWhileLive, ThreadRunningOnTheExtension) {
  PDEVICE_OBJECT dev = nullptr;
  ASSERT_EQ(IoCreateDevice(driver.object(), sizeof(KEVENT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev),
            STATUS_SUCCESS);
  static KEVENT stop;
  KeInitializeEvent(&stop, NotificationEvent, FALSE);
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(
                &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                [](PVOID) NTAPI {
                  KeWaitForSingleObject(&stop, Executive, KernelMode, FALSE, nullptr);
                  PsTerminateSystemThread(STATUS_SUCCESS);
                },
                dev->DeviceExtension),
            STATUS_SUCCESS);
  ZwClose(handle);
  IoDeleteDevice(dev);
  EXPECT_EQ(take(Rule::thread_outlives_object).size(), 1u);
  KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
  EXPECT_TRUE(emu::wait_quiescent());
  driver.unload();
}

TEST_F(DeleteWhileLive, DeviceWithAnotherAttachedAbove) {
  PDEVICE_OBJECT lower = iotest::make_device(driver.object(), &fn, nullptr, u"\\Device\\Lower");
  PDEVICE_OBJECT upper = iotest::make_device(driver.object(), &fn, lower, u"\\Device\\Upper");
  IoDeleteDevice(lower);
  auto found = take(Rule::device_deleted_with_attached_device);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_NE(found[0].detail.find("Upper"), std::string::npos);
  IoDetachDevice(lower);  // the memory stays while referenced: detaching is still safe
  IoDeleteDevice(upper);
  driver.unload();
}

// ---- Unload, reset ----------------------------------------------------------------------------

TEST(VerifyUnload, DeviceLinkAndPoolLeftBehind) {
  emu::Driver driver = iotest::load_fn_driver(u"\\Driver\\Leaky");
  iotest::Fn fn;
  iotest::make_device(driver.object(), &fn, nullptr, u"\\Device\\Leaky");
  UNICODE_STRING link, target;
  RtlInitUnicodeString(&link, u"\\DosDevices\\LEAKY");
  RtlInitUnicodeString(&target, u"\\Device\\Leaky");
  IoCreateSymbolicLink(&link, &target);
  void* block = ExAllocatePoolWithTag(NonPagedPool, 24, emu::pool::tag("Leak"));
  driver.unload();
  auto checks = iotest::take_checks();
  EXPECT_TRUE(iotest::has(checks, Rule::device_leaked_at_unload));
  EXPECT_TRUE(iotest::has(checks, Rule::link_leaked_at_unload));
  EXPECT_TRUE(iotest::has(checks, Rule::pool_leak));
  ExFreePool(block);
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(emu::find_device(u"\\Device\\Leaky"));
  emu::io_reset();
  emu::verifier::take_findings();
}

TEST(VerifyUnload, PacketOutstandingAtReset) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  ASSERT_NE(irp, nullptr);
  emu::io_reset();
  auto found = take(Rule::irp_outstanding_at_reset);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].object, irp);
}

TEST(VerifyUnload, FailedDriverEntryMustLeaveNothing) {
  emu::Driver driver = emu::load_driver(
      [](PDRIVER_OBJECT, PUNICODE_STRING) NTAPI -> NTSTATUS {
        ExAllocatePoolWithTag(PagedPool, 16, emu::pool::tag("M2k "));
        return STATUS_INSUFFICIENT_RESOURCES;
      },
      u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Failing");
  EXPECT_FALSE(driver.loaded());
  EXPECT_EQ(driver.entry_status(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(take(Rule::pool_leak).size(), 1u);
  for (const auto& block : emu::pool::blocks(emu::pool::tag("M2k ")))
    ExFreePool(const_cast<void*>(block.address));
}

// The MDL discipline: map only what is locked, lock and unlock once each,
// unlock before freeing, free only MDLs.  Each misuse is one finding naming
// this test's routine, and leaves the MDL usable.
TEST(VerifyMdl, MappingUnlockingAndFreeingOutOfOrderAreFindings) {
  alignas(PAGE_SIZE) static UCHAR buffer[4 * PAGE_SIZE];
  PUCHAR start = buffer + 100;
  PMDL mdl = IoAllocateMdl(start, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  EXPECT_EQ(static_cast<SIZE_T>(mdl->Size), sizeof(MDL) + 3 * sizeof(PFN_NUMBER));  // spans three pages
  EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
  EXPECT_EQ(MmGetMdlByteOffset(mdl), 100u);

  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority),
            nullptr);
  EXPECT_EQ(take(Rule::mdl_map_unlocked).size(), 1u);
  MmUnlockPages(mdl);
  EXPECT_EQ(take(Rule::mdl_unlock_unlocked).size(), 1u);

  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  EXPECT_EQ(take(Rule::mdl_locked_twice).size(), 1u);
  EXPECT_EQ(MmGetMdlPfnArray(mdl)[2] - MmGetMdlPfnArray(mdl)[0], 2u);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), start);
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);

  // A partial MDL of the second page, mapped through its parent's lock.
  PMDL part = IoAllocateMdl(buffer + PAGE_SIZE, PAGE_SIZE, FALSE, FALSE, nullptr);
  ASSERT_NE(part, nullptr);
  IoBuildPartialMdl(mdl, part, buffer + PAGE_SIZE, PAGE_SIZE);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), buffer + PAGE_SIZE);
  IoBuildPartialMdl(mdl, part, buffer, 16);  // before the source's first byte
  EXPECT_EQ(take(Rule::mdl_partial_range).size(), 1u);
  IoFreeMdl(part);

  IoFreeMdl(mdl);  // still locked
  auto freed_locked = take(Rule::mdl_freed_locked);
  ASSERT_EQ(freed_locked.size(), 1u);
  EXPECT_NE(freed_locked[0].routine.find("MappingUnlockingAndFreeing"), std::string::npos)
      << freed_locked[0].routine;
  IoFreeMdl(mdl);
  EXPECT_EQ(take(Rule::mdl_unknown).size(), 1u);
  EXPECT_EQ(emu::pool::outstanding(emu::pool::tag("Mdl ")), 0u);
}

}  // namespace
