// Request packets: the completion walk through a three-deep stack, the
// SL_INVOKE_ON_* bits, STATUS_MORE_PROCESSING_REQUIRED, PendingReturned,
// cancellation, IoBuild* packets, and what a request costs.
#include "io_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using emu::verifier::Rule;

namespace {

using iotest::Fn;

struct Call {
  std::string who;
  PDEVICE_OBJECT device;
  BOOLEAN pending_returned;
  CHAR location;
  NTSTATUS status;
};

struct RoutineSpec {
  std::string name;
  NTSTATUS result = STATUS_CONTINUE_COMPLETION;  // or STATUS_MORE_PROCESSING_REQUIRED
  bool propagate_pending = true;
  std::vector<Call>* log = nullptr;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT dev, PIRP irp, PVOID context) {
  auto* spec = static_cast<RoutineSpec*>(context);
  spec->log->push_back({spec->name, dev, irp->PendingReturned, irp->CurrentLocation, irp->IoStatus.Status});
  if (spec->propagate_pending && irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
    IoMarkIrpPending(irp);
  return spec->result;
}

// A three-deep stack: A on B on C, each a device of one test driver.  A and B
// pass requests down with a completion routine (or skip, when asked); C does
// what the test sets in `bottom`.
struct Stack : ::testing::Test {
  emu::Driver driver = iotest::load_fn_driver();
  std::vector<Call> log;
  RoutineSpec ra{"A"}, rb{"B"}, top{"top", STATUS_MORE_PROCESSING_REQUIRED};
  UCHAR bits_a = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
  UCHAR bits_b = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
  bool a_skips = false;
  Fn fa, fb, bottom;
  PDEVICE_OBJECT a = nullptr, b = nullptr, c = nullptr;

  void SetUp() override {
    ra.log = rb.log = top.log = &log;
    fa = [this](PDEVICE_OBJECT, PIRP irp) { return pass(irp, b, a_skips, ra, bits_a); };
    fb = [this](PDEVICE_OBJECT, PIRP irp) { return pass(irp, c, false, rb, bits_b); };
    c = iotest::make_device(driver.object(), &bottom);
    b = iotest::make_device(driver.object(), &fb, c);
    a = iotest::make_device(driver.object(), &fa, b);
    ASSERT_EQ(a->StackSize, 3);
  }

  void TearDown() override {
    iotest::drop_device(a, b);
    iotest::drop_device(b, c);
    iotest::drop_device(c);
    driver.unload();
  }

  static NTSTATUS pass(PIRP irp, PDEVICE_OBJECT lower, bool skip, RoutineSpec& spec, UCHAR bits) {
    if (skip) {
      IoSkipCurrentIrpStackLocation(irp);
    } else {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Record, &spec, (bits & SL_INVOKE_ON_SUCCESS) != 0,
                             (bits & SL_INVOKE_ON_ERROR) != 0, (bits & SL_INVOKE_ON_CANCEL) != 0);
    }
    return IoCallDriver(lower, irp);
  }

  PIRP make_irp() {
    PIRP irp = IoAllocateIrp(a->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Record, &top, TRUE, TRUE, TRUE);
    return irp;
  }

  std::vector<std::string> order() const {
    std::vector<std::string> out;
    for (auto& call : log) out.push_back(call.who);
    return out;
  }
};

using Order = std::vector<std::string>;

TEST_F(Stack, CompletionRoutinesRunBottomUpWithTheirOwnDeviceAndLocation) {
  bottom = [](PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, STATUS_SUCCESS, 7); };
  PIRP irp = make_irp();
  EXPECT_EQ(emu::call_driver(a, irp), STATUS_SUCCESS);
  ASSERT_EQ(order(), (Order{"B", "A", "top"}));
  EXPECT_EQ(log[0].device, b);
  EXPECT_EQ(log[0].location, 2);
  EXPECT_EQ(log[1].device, a);
  EXPECT_EQ(log[1].location, 3);
  EXPECT_EQ(log[2].device, nullptr);  // the allocator's own routine: past the top
  EXPECT_EQ(log[2].location, 4);
  EXPECT_EQ(irp->IoStatus.Information, 7u);
  EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);  // back where it started: reusable
  IoFreeIrp(irp);
  EXPECT_EQ(emu::outstanding_irps(), 0u);
}

TEST_F(Stack, InvokeBitsSelectRoutinesBySuccessErrorAndCancel) {
  // A only on success, B only on error: a failure reaches B's routine only.
  bits_a = SL_INVOKE_ON_SUCCESS;
  bits_b = SL_INVOKE_ON_ERROR;
  bottom = [](PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, STATUS_DEVICE_NOT_READY); };
  PIRP irp = make_irp();
  EXPECT_EQ(emu::call_driver(a, irp), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(order(), (Order{"B", "top"}));
  IoFreeIrp(irp);

  // The same bits on success: only A's.
  log.clear();
  bottom = [](PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, STATUS_SUCCESS); };
  irp = make_irp();
  EXPECT_EQ(emu::call_driver(a, irp), STATUS_SUCCESS);
  EXPECT_EQ(order(), (Order{"A", "top"}));
  IoFreeIrp(irp);

  // Cancelled: a routine set for cancel only runs although the status is an
  // error; one set for success only does not.
  log.clear();
  bits_a = SL_INVOKE_ON_SUCCESS;
  bits_b = SL_INVOKE_ON_CANCEL;
  static PIRP parked;
  parked = nullptr;
  bottom = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP p) NTAPI {
      IoReleaseCancelSpinLock(p->CancelIrql);
      iotest::complete(p, STATUS_CANCELLED);
    });
    parked = irp;
    return STATUS_PENDING;
  };
  irp = make_irp();
  EXPECT_EQ(emu::call_driver(a, irp), STATUS_PENDING);
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(IoCancelIrp(parked));
  EXPECT_EQ(order(), (Order{"B", "top"}));
  EXPECT_EQ(log.back().status, STATUS_CANCELLED);
  EXPECT_TRUE(irp->Cancel);
  IoFreeIrp(irp);
}

TEST_F(Stack, MoreProcessingRequiredStopsTheWalkUntilCompletedAgain) {
  rb.result = STATUS_MORE_PROCESSING_REQUIRED;
  bottom = [](PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, STATUS_SUCCESS); };
  PIRP irp = make_irp();
  EXPECT_EQ(emu::call_driver(a, irp), STATUS_SUCCESS);
  EXPECT_EQ(order(), (Order{"B"}));
  EXPECT_EQ(irp->CurrentLocation, 2);  // the packet is B's again, at B's location
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, b);
  // B finishes its work and completes the packet a second time: legal.
  irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(order(), (Order{"B", "A", "top"}));
  EXPECT_EQ(log.back().status, STATUS_UNSUCCESSFUL);
  IoFreeIrp(irp);
}

TEST_F(Stack, PendingReturnedIsPropagatedThroughALevelWithoutRoutine) {
  a_skips = true;  // A passes on with its location skipped: the I/O manager marks for it
  static PIRP parked;
  parked = nullptr;
  bottom = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    parked = irp;
    return STATUS_PENDING;
  };
  PIRP irp = make_irp();
  EXPECT_EQ(emu::call_driver(a, irp), STATUS_PENDING);
  std::thread([] { iotest::complete(parked, STATUS_SUCCESS, 3); }).join();
  ASSERT_EQ(order(), (Order{"B", "top"}));
  EXPECT_TRUE(log[0].pending_returned);
  EXPECT_TRUE(log[1].pending_returned);
  EXPECT_TRUE(iotest::take_checks().empty());
  IoFreeIrp(irp);
}

TEST_F(Stack, AMiddleRoutineThatForgetsToPropagatePendingIsCaught) {
  rb.propagate_pending = false;  // B returns IoCallDriver's STATUS_PENDING unmarked
  static PIRP parked;
  parked = nullptr;
  bottom = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    parked = irp;
    return STATUS_PENDING;
  };
  PIRP irp = make_irp();
  EXPECT_EQ(emu::call_driver(a, irp), STATUS_PENDING);
  iotest::complete(parked, STATUS_SUCCESS);
  auto found = iotest::take(Rule::pending_not_marked);
  EXPECT_GE(found.size(), 1u);
  EXPECT_FALSE(log.empty());
  EXPECT_FALSE(log.back().pending_returned);  // the top never learns it pended
  IoFreeIrp(irp);
}

// ---- Cancellation ------------------------------------------------------------------

TEST(IoCancel, WithoutCancelRoutineOnlyTheFlagIsSet) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  IoFreeIrp(irp);
}

TEST(IoCancel, CancelRoutineRunsAtDispatchHoldingTheCancelLockOnce) {
  static KIRQL inside, handed;
  static int runs;
  runs = 0;
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoSetCancelRoutine(irp, [](PDEVICE_OBJECT dev, PIRP p) NTAPI {
    ++runs;
    inside = KeGetCurrentIrql();
    handed = p->CancelIrql;
    EXPECT_EQ(dev, nullptr);  // the packet is at rest: no device holds it
    EXPECT_EQ(p->CancelRoutine, nullptr);
    IoReleaseCancelSpinLock(p->CancelIrql);
  });
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_FALSE(IoCancelIrp(irp));  // the routine was taken away the first time
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(inside, DISPATCH_LEVEL);
  EXPECT_EQ(handed, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  IoFreeIrp(irp);
}

// ---- Packets the I/O manager builds ------------------------------------------------

struct Built : ::testing::Test {
  emu::Driver driver = iotest::load_fn_driver();
  Fn fn;
  PDEVICE_OBJECT dev = nullptr;
  void SetUp() override { dev = iotest::make_device(driver.object(), &fn); }
  void TearDown() override {
    iotest::drop_device(dev);
    driver.unload();
  }
};

TEST_F(Built, DeviceControlCopiesInAndBackOnlyWhatWasReported) {
  fn = [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 3u);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[2], 3);
    for (int i = 0; i < 8; ++i) buffer[i] = static_cast<UCHAR>(0x40 + i);
    return iotest::complete(irp, STATUS_SUCCESS, 5);
  };
  UCHAR in[3] = {1, 2, 3};
  UCHAR out[8];
  memset(out, 0xEE, sizeof out);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = STATUS_PENDING;
  constexpr ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
  PIRP irp = IoBuildDeviceIoControlRequest(code, dev, in, sizeof in, out, sizeof out, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(IofCallDriver(dev, irp), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 5u);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(out[0], 0x40);
  EXPECT_EQ(out[4], 0x44);
  EXPECT_EQ(out[5], 0xEE);                 // beyond Information: untouched
  EXPECT_EQ(emu::outstanding_irps(), 0u);  // freed by the I/O manager
}

TEST_F(Built, InternalRequestCompletedLaterSignalsTheEventFromAnotherThread) {
  static PIRP parked;
  parked = nullptr;
  static PVOID type3;
  fn = [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    type3 = sp->Parameters.DeviceIoControl.Type3InputBuffer;
    IoMarkIrpPending(irp);
    parked = irp;
    return STATUS_PENDING;
  };
  int urb = 42;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  constexpr ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_NEITHER, FILE_ANY_ACCESS);
  PIRP irp = IoBuildDeviceIoControlRequest(code, dev, &urb, 0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  EXPECT_EQ(IofCallDriver(dev, irp), STATUS_PENDING);
  EXPECT_EQ(type3, &urb);
  std::thread completer([] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    iotest::complete(parked, STATUS_DEVICE_NOT_READY, 0);
    KeLowerIrql(old);
  });
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  completer.join();
  EXPECT_EQ(iosb.Status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(emu::outstanding_irps(), 0u);
}

TEST_F(Built, SynchronousFsdReadOnABufferedDevice) {
  fn = [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(sp->MajorFunction, IRP_MJ_READ);
    EXPECT_EQ(sp->Parameters.Read.Length, 4u);
    memcpy(irp->AssociatedIrp.SystemBuffer, "ab", 2);
    return iotest::complete(irp, STATUS_SUCCESS, 2);
  };
  char buffer[4] = {'x', 'x', 'x', 'x'};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, dev, buffer, 4, nullptr, &event, &iosb);
  EXPECT_EQ(IofCallDriver(dev, irp), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, 4), "abxx");
  EXPECT_EQ(iosb.Information, 2u);
}

TEST_F(Built, AllocationFaultsAreInjectable) {
  emu::faults::fail_irp_allocation(1);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  PIRP irp = IoAllocateIrp(2, FALSE);
  EXPECT_NE(irp, nullptr);
  IoFreeIrp(irp);
  emu::faults::fail_irp_allocation(1);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  EXPECT_EQ(IoBuildDeviceIoControlRequest(0, dev, nullptr, 0, nullptr, 0, TRUE, &event, &iosb), nullptr);
  emu::faults::clear();
}

TEST_F(Built, ReusedPacketStartsOverAtItsTop) {
  fn = [](PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, STATUS_SUCCESS); };
  PIRP irp = IoAllocateIrp(dev->StackSize, FALSE);
  for (int round = 0; round < 3; ++round) {
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoSetCompletionRoutine(
        irp, [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(dev, irp), STATUS_SUCCESS);
  }
  IoFreeIrp(irp);
  EXPECT_TRUE(iotest::take_checks().empty());
}

// Packets freed on several threads at once, with a quarantine so small that
// each free evicts (really frees) a packet another thread freed a moment
// before: the table's bookkeeping must never touch a packet after handing it
// over.  ASan and TSan builds report any such touch.
TEST_F(Built, PacketChurnFromSeveralThreadsKeepsTheBookkeepingSound) {
  fn = [](PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, STATUS_SUCCESS, 0); };
  const std::size_t previous = emu::set_irp_quarantine(1);
  constexpr int kThreads = 3;
  constexpr int kRounds = 4000;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds && !::testing::Test::HasFailure(); ++i) {
        if ((i + t) % 2 == 0) {
          PIRP irp = IoAllocateIrp(2, FALSE);
          EXPECT_NE(irp, nullptr);
          if (irp != nullptr) IoFreeIrp(irp);
        } else {
          // Freed by the I/O manager when its completion reaches the top.
          KEVENT event;
          KeInitializeEvent(&event, NotificationEvent, FALSE);
          IO_STATUS_BLOCK iosb{};
          PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, 0),
                                                   dev, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
          EXPECT_NE(irp, nullptr);
          if (irp != nullptr) {
            EXPECT_EQ(IofCallDriver(dev, irp), STATUS_SUCCESS);
          }
        }
      }
      finished++;
    });
  }
  // A reader of the table alongside.
  std::size_t seen = 0;
  while (finished.load() < kThreads) seen = std::max(seen, emu::outstanding_irps());
  for (auto& thread : threads) thread.join();
  emu::set_irp_quarantine(previous);
  EXPECT_LE(seen, static_cast<std::size_t>(kThreads));
  EXPECT_EQ(emu::outstanding_irps(), 0u);
  EXPECT_TRUE(iotest::take_checks().empty());
}

// What one request costs when passed down one level and completed: the
// upper device skips its location, the lower completes at once, the
// allocator's routine stops completion and the packet is reused.
TEST_F(Built, CostOfARequestPassedDownOneLevelAndCompleted) {
  fn = [](PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, STATUS_SUCCESS, 1); };
  static PDEVICE_OBJECT lower;
  lower = dev;
  Fn upper_fn = [](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
  };
  PDEVICE_OBJECT upper = iotest::make_device(driver.object(), &upper_fn, dev);
  static long completed;
  completed = 0;
  PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
  constexpr int kRounds = 20000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRounds; ++i) {
    IoReuseIrp(irp, STATUS_SUCCESS);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
          ++completed;
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(upper, irp);
  }
  double us =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / kRounds;
  IoFreeIrp(irp);
  iotest::drop_device(upper, dev);
  EXPECT_EQ(completed, kRounds);
  std::printf("[ cost     ] request passed down one level and completed: %.2f us\n", us);
}

}  // namespace
