// The I/O manager where the driver does not take it: the SL_INVOKE_ON_* bits
// of a three-deep stack, cancellation at rest, packets it builds (every
// transfer method, a synchronous read), churn; handles shared by a duplicate,
// exclusive devices, every form of a name; the hardware key, interfaces,
// links, properties and a WMI data block.  (The misuses are the verifier's
// rows; a walk a routine stops, and a remove lock waited on, the driver's.)
#include "io_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <span>
#include <thread>

using emu::verifier::Rule;

namespace {

using iotest::Fn;
using Order = std::vector<std::string>;

// ---- The completion walk ---------------------------------------------------------------

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

PIRP g_parked = nullptr;

NTSTATUS park(PIRP irp) {
  IoMarkIrpPending(irp);
  g_parked = irp;
  return STATUS_PENDING;
}

// A three-deep stack: A on B on C, each a device of one test driver.  A and B
// pass requests down with a completion routine (or A skips, when asked); C
// does what the test sets in `bottom`.
struct Stack : ::testing::Test {
  emu::Driver driver = iotest::load_fn_driver();
  std::vector<Call> log;
  RoutineSpec ra{"A"}, rb{"B"}, top{"top", STATUS_MORE_PROCESSING_REQUIRED};
  UCHAR bits_a = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL, bits_b = bits_a;
  bool a_skips = false;
  Fn fa, fb, bottom;
  PDEVICE_OBJECT a = nullptr, b = nullptr, c = nullptr;

  void SetUp() override {
    g_parked = nullptr;
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
  // Sends a packet of the test's own down the stack; its routine is `top`.
  PIRP send(NTSTATUS expected) {
    log.clear();
    PIRP irp = IoAllocateIrp(a->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, Record, &top, TRUE, TRUE, TRUE);
    EXPECT_EQ(emu::call_driver(a, irp), expected);
    return irp;
  }
  Order order() const {
    Order out;
    for (auto& call : log) out.push_back(call.who);
    return out;
  }
};

Fn completes_with(NTSTATUS status, ULONG_PTR information = 0) {
  return [=](PDEVICE_OBJECT, PIRP irp) { return iotest::complete(irp, status, information); };
}

TEST_F(Stack, InvokeBitsSelectRoutinesBySuccessErrorAndCancel) {
  // A only on success, B only on error: a failure reaches B's routine only,
  // a success A's only.
  bits_a = SL_INVOKE_ON_SUCCESS;
  bits_b = SL_INVOKE_ON_ERROR;
  bottom = completes_with(STATUS_DEVICE_NOT_READY);
  IoFreeIrp(send(STATUS_DEVICE_NOT_READY));
  EXPECT_EQ(order(), (Order{"B", "top"}));
  EXPECT_EQ(log[0].device, b);  // each routine with its device and location, the allocator's past the top
  EXPECT_EQ(log[0].location, 2);
  EXPECT_EQ(log[1].device, nullptr);
  EXPECT_EQ(log[1].location, 4);
  bottom = completes_with(STATUS_SUCCESS);
  IoFreeIrp(send(STATUS_SUCCESS));
  EXPECT_EQ(order(), (Order{"A", "top"}));

  // Cancelled: a routine set for cancel only runs although the status is an
  // error; one set for success only does not.  The cancel routine runs once
  // (at rest, a packet has no device); without one a packet only gets the flag.
  bits_b = SL_INVOKE_ON_CANCEL;
  bottom = [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP p) NTAPI {
      IoReleaseCancelSpinLock(p->CancelIrql);
      iotest::complete(p, STATUS_CANCELLED);
    });
    return park(irp);
  };
  PIRP irp = send(STATUS_PENDING);
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(IoCancelIrp(g_parked));
  EXPECT_EQ(order(), (Order{"B", "top"}));
  EXPECT_EQ(log.back().status, STATUS_CANCELLED);
  EXPECT_FALSE(IoCancelIrp(irp));  // the routine was taken away the first time
  EXPECT_EQ(order(), (Order{"B", "top"}));
  IoSetCancelRoutine(irp, [](PDEVICE_OBJECT dev, PIRP p) NTAPI {
    EXPECT_EQ(dev, nullptr);  // at rest: no stack location, no device
    IoReleaseCancelSpinLock(p->CancelIrql);
  });
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  IoFreeIrp(irp);
}

// PendingReturned reaches the top through a level without a routine (the
// I/O manager marks for it); a middle routine that forgets to propagate it
// is caught, and the top never learns the packet pended.
TEST_F(Stack, PendingReturnedIsPropagatedAndAForgettingRoutineIsCaught) {
  a_skips = true;
  bottom = [](PDEVICE_OBJECT, PIRP irp) { return park(irp); };
  PIRP irp = send(STATUS_PENDING);
  std::thread([] { iotest::complete(g_parked, STATUS_SUCCESS, 3); }).join();
  ASSERT_EQ(order(), (Order{"B", "top"}));
  EXPECT_TRUE(log[0].pending_returned);
  EXPECT_TRUE(log[1].pending_returned);
  EXPECT_EQ(emu::verifier::count(), 0u);
  IoFreeIrp(irp);

  a_skips = false;
  rb.propagate_pending = false;  // B returns IoCallDriver's STATUS_PENDING unmarked
  irp = send(STATUS_PENDING);
  iotest::complete(g_parked, STATUS_SUCCESS);
  const auto found = emu::verifier::take_findings();
  EXPECT_FALSE(found.empty());
  for (const auto& f : found) EXPECT_EQ(f.rule, Rule::pending_not_marked) << emu::verifier::describe(f);
  ASSERT_EQ(order(), (Order{"B", "A", "top"}));
  EXPECT_FALSE(log.back().pending_returned);
  IoFreeIrp(irp);
}

// ---- A device of a test driver, opened through its DOS name ----------------------------

struct Port : ::testing::Test {
  emu::Driver driver = iotest::load_fn_driver();
  std::mutex mutex;
  Order seen;  // the major functions that reached the device
  Fn handler = completes_with(STATUS_SUCCESS);
  Fn fn = [this](PDEVICE_OBJECT dev, PIRP irp) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      seen.push_back(std::to_string(IoGetCurrentIrpStackLocation(irp)->MajorFunction));
    }
    return handler(dev, irp);
  };
  PDEVICE_OBJECT dev = nullptr;

  void SetUp() override {
    dev = iotest::make_device(driver.object(), &fn, nullptr, u"\\Device\\EmuLoop1");
    ASSERT_EQ(iotest::link(u"\\DosDevices\\EMULOOP1", u"\\Device\\EmuLoop1"), STATUS_SUCCESS);
  }
  void TearDown() override {
    iotest::unlink(u"\\DosDevices\\EMULOOP1");
    iotest::drop_device(dev);
    driver.unload();
  }
};

const std::string kCreate = std::to_string(IRP_MJ_CREATE), kCleanup = std::to_string(IRP_MJ_CLEANUP),
                  kClose = std::to_string(IRP_MJ_CLOSE), kControl = std::to_string(IRP_MJ_DEVICE_CONTROL);

TEST_F(Port, OpenFindsTheDeviceThroughEveryFormOfItsNameAndExclusiveAdmitsOne) {
  EXPECT_EQ(emu::open(u"\\DosDevices\\NOPE").status(), STATUS_OBJECT_NAME_NOT_FOUND);
  for (std::u16string_view name : {u"\\DosDevices\\EMULOOP1", u"\\??\\emuloop1", u"\\\\.\\EMULOOP1",
                                   u"EMULOOP1", u"\\Device\\EmuLoop1"}) {
    EXPECT_TRUE(emu::open(name).is_open()) << std::string(name.begin(), name.end());
  }
  EXPECT_EQ(seen.size(), 15u);  // create, cleanup, close for each
  dev->Flags |= DO_EXCLUSIVE;
  emu::Handle first = emu::open(u"EMULOOP1");
  EXPECT_TRUE(first.is_open());
  EXPECT_EQ(emu::open(u"EMULOOP1").status(), STATUS_ACCESS_DENIED);
  first.close();
  EXPECT_TRUE(emu::open(u"EMULOOP1").is_open());
}

// Cleanup comes with the last handle of a file, close only once its last
// request is done, wherever that happens.
TEST_F(Port, CleanupWaitsForTheLastHandleAndCloseForTheLastRequest) {
  handler = [](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) return park(irp);
    return iotest::complete(irp, STATUS_SUCCESS);
  };
  emu::Handle h = emu::open(u"EMULOOP1");
  emu::Handle second = h.duplicate();
  emu::RequestPtr held = h.ioctl_async(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, 0), {}, 0);
  EXPECT_EQ(held->returned(), STATUS_PENDING);
  EXPECT_EQ(h.close().cleanup, STATUS_PENDING);  // another handle shares the file: nothing is sent
  EXPECT_EQ(seen, (Order{kCreate, kControl}));
  emu::CloseResult last = second.close();
  EXPECT_EQ(last.cleanup, STATUS_SUCCESS);
  EXPECT_EQ(last.close, STATUS_PENDING);
  EXPECT_EQ(seen, (Order{kCreate, kControl, kCleanup}));
  EXPECT_FALSE(held->completed());
  std::thread([] { iotest::complete(g_parked, STATUS_SUCCESS); }).join();
  ASSERT_TRUE(held->wait());
  EXPECT_TRUE(second.wait_closed());
  EXPECT_EQ(seen, (Order{kCreate, kControl, kCleanup, kClose}));
  EXPECT_EQ(emu::outstanding_irps(), 0u);
}

// Fills the whole output with (input[i % in] + i), found where the method
// puts it (system buffer, locked MDL, the requester's own pointers);
// STATUS_INVALID_PARAMETER when the packet is not built as Windows builds it.
NTSTATUS fill_any(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL) return iotest::complete(irp, STATUS_SUCCESS);
  const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
  const ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
  const UCHAR* input = nullptr;
  PUCHAR output = nullptr;
  PMDL mdl = irp->MdlAddress;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
      if (mdl != nullptr) return iotest::complete(irp, STATUS_INVALID_PARAMETER);
      input = output = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      input = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
      if ((mdl != nullptr) != (out != 0)) return iotest::complete(irp, STATUS_INVALID_PARAMETER);
      if (mdl == nullptr) break;
      if (MmGetMdlByteCount(mdl) != out || !(mdl->MdlFlags & MDL_PAGES_LOCKED) || mdl->Next != nullptr ||
          ((mdl->MdlFlags & MDL_WRITE_OPERATION) != 0) != (METHOD_FROM_CTL_CODE(code) == METHOD_OUT_DIRECT) ||
          MmGetMdlVirtualAddress(mdl) != irp->UserBuffer)
        return iotest::complete(irp, STATUS_INVALID_PARAMETER);
      output =
          static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute));
      break;
    default:  // METHOD_NEITHER
      if (mdl != nullptr || irp->AssociatedIrp.SystemBuffer != nullptr)
        return iotest::complete(irp, STATUS_INVALID_PARAMETER);
      input = static_cast<const UCHAR*>(sp->Parameters.DeviceIoControl.Type3InputBuffer);
      output = static_cast<PUCHAR>(irp->UserBuffer);
      break;
  }
  if ((in != 0 && input == nullptr) || (out != 0 && output == nullptr))
    return iotest::complete(irp, STATUS_INVALID_PARAMETER);
  UCHAR copy[64] = {};  // buffered input and output share one buffer
  const ULONG kept = std::min<ULONG>(in, sizeof copy);
  if (kept != 0) RtlCopyMemory(copy, input, kept);
  for (ULONG i = 0; i < out; ++i) output[i] = static_cast<UCHAR>((kept ? copy[i % kept] : 0) + i);
  // A packet the test built reports five bytes at most: of a buffered one
  // no more may come back.
  return iotest::complete(irp, STATUS_SUCCESS, sp->FileObject != nullptr ? out : std::min<ULONG>(out, 5));
}

std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Each transfer method reaches the driver as Windows builds it, from a
// handle and from IoBuildDeviceIoControlRequest, and the bytes the driver
// writes there come back (of a built buffered one, or a built read, only
// those reported).  The MDLs are the I/O manager's and freed with the
// request; without one the request never reaches the driver.
TEST_F(Port, EveryTransferMethodDeliversTheOutputWhereTheMethodPutsIt) {
  handler = fill_any;
  emu::Handle h = emu::open(u"\\DosDevices\\EMULOOP1");
  ASSERT_TRUE(h.is_open());
  const std::string input = "abc";
  for (ULONG method : {METHOD_BUFFERED, METHOD_IN_DIRECT, METHOD_OUT_DIRECT, METHOD_NEITHER}) {
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x806, method, FILE_ANY_ACCESS);
    for (ULONG out : {0u, 5u, 2u * PAGE_SIZE + 17u}) {
      SCOPED_TRACE("method " + std::to_string(method) + ", output " + std::to_string(out));
      std::vector<uint8_t> want(out);
      for (ULONG i = 0; i < out; ++i) want[i] = static_cast<uint8_t>(input[i % input.size()] + i);
      emu::IoResult r = h.ioctl(code, bytes(input), out);
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(r.information, out);
      EXPECT_EQ(r.output, want);

      std::vector<uint8_t> built(out + 2, 0xEE);  // unaligned, so the MDL starts inside a page
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{};
      PIRP irp =
          IoBuildDeviceIoControlRequest(code, dev, const_cast<char*>(input.data()), ULONG(input.size()),
                                        built.data() + 1, out, FALSE, &done, &iosb);
      ASSERT_NE(irp, nullptr);
      EXPECT_EQ(IoCallDriver(dev, irp), STATUS_SUCCESS);
      EXPECT_EQ(KeReadStateEvent(&done), 1);
      EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
      EXPECT_EQ(iosb.Information, std::min<ULONG>(out, 5));
      if (method == METHOD_BUFFERED) std::fill(want.begin() + iosb.Information, want.end(), 0xEE);
      EXPECT_EQ(std::vector<uint8_t>(built.begin() + 1, built.end() - 1), want);
      EXPECT_EQ(built.front(), 0xEE);
      EXPECT_EQ(built.back(), 0xEE);
      EXPECT_EQ(emu::pool::outstanding(emu::pool::tag("Mdl ")), 0u);
    }
  }
  const ULONG out_direct = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x806, METHOD_OUT_DIRECT, 0);
  emu::faults::fail_nth(emu::faults::Site::mdl_allocation, 0);
  EXPECT_EQ(h.ioctl(out_direct, bytes(input), 8).status, STATUS_INSUFFICIENT_RESOURCES);
  uint8_t built[8];
  EXPECT_EQ(IoBuildDeviceIoControlRequest(out_direct, dev, nullptr, 0, built, sizeof built, FALSE, nullptr,
                                          nullptr),
            nullptr);
  EXPECT_EQ(emu::faults::injected(emu::faults::Site::mdl_allocation), 2u);
  emu::faults::clear();
  EXPECT_EQ(emu::outstanding_irps(), 0u);
  EXPECT_EQ(h.ioctl(out_direct, bytes(input), 8).status, STATUS_SUCCESS) << "the handle still works";

  // A synchronous read the I/O manager built copies back only what was
  // reported, and frees the packet itself.
  h.close();
  handler = [](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, 4u);
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
  EXPECT_EQ(emu::outstanding_irps(), 0u);
}

// Packets freed on several threads at once, with a quarantine so small that
// each free evicts (really frees) a packet another thread freed a moment
// before: the table's bookkeeping must never touch a packet after handing it
// over.  ASan and TSan builds report any such touch.
TEST_F(Port, PacketChurnFromSeveralThreadsKeepsTheBookkeepingSound) {
  const std::size_t previous = emu::set_irp_quarantine(1);
  constexpr int kThreads = 3, kRounds = 4000;
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds && !::testing::Test::HasFailure(); ++i) {
        if ((i + t) % 2 == 0) {
          PIRP irp = IoAllocateIrp(2, FALSE);
          EXPECT_NE(irp, nullptr);
          if (irp != nullptr) IoFreeIrp(irp);
          continue;
        }
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
      finished++;
    });
  }
  std::size_t seen_most = 0;  // a reader of the table alongside
  while (finished.load() < kThreads) seen_most = std::max(seen_most, emu::outstanding_irps());
  for (auto& thread : threads) thread.join();
  emu::set_irp_quarantine(previous);
  EXPECT_LE(seen_most, static_cast<std::size_t>(kThreads));
  EXPECT_EQ(emu::outstanding_irps(), 0u);
}

// ---- Plug and Play names, the hardware key, WMI -------------------------------------

// A function device of a test driver on a PDO: requests it does not take go
// down to the PDO.
struct OnPdo : ::testing::Test {
  emu::Driver driver = iotest::load_fn_driver();
  std::shared_ptr<emu::DeviceNode> node = emu::create_pdo({.enumerator = u"USB",
                                                           .device_id = u"VID_1&PID_2",
                                                           .instance_id = u"3",
                                                           .name = u"\\Device\\USBPDO-42"});
  Fn own;  // may return STATUS_NOT_SUPPORTED to pass the request down
  Fn fn = [this](PDEVICE_OBJECT device, PIRP irp) {
    NTSTATUS status = own ? own(device, irp) : STATUS_NOT_SUPPORTED;
    if (status != STATUS_NOT_SUPPORTED) return status;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(node->pdo(), irp);
  };
  PDEVICE_OBJECT fdo = iotest::make_device(driver.object(), &fn, node->pdo());

  void TearDown() override {
    if (fdo != nullptr) iotest::drop_device(fdo, node->pdo());
    node.reset();
    driver.unload();
  }
};

// Only a PDO with a hardware key opens it; links collide and go once; the
// PDO's name property tells the room it needs; an interface is refused to a
// device other than a PDO, its name is the caller's to free and its link
// follows its state; the bus dropping the PDO takes its registrations along.
TEST_F(OnPdo, HardwareKeyLinksNamePropertyAndInterfaces) {
  EXPECT_EQ(node->hardware_key_path(),
            u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1&PID_2\\3\\Device Parameters");
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(node->pdo(), PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key),
            STATUS_SUCCESS);
  ZwClose(key);
  EXPECT_EQ(IoOpenDeviceRegistryKey(fdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
            STATUS_INVALID_DEVICE_REQUEST);
  auto keyless = emu::create_pdo({.instance_id = u"9", .hardware_key = false});
  EXPECT_FALSE(NT_SUCCESS(IoOpenDeviceRegistryKey(keyless->pdo(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key)));

  UNICODE_STRING com, target;
  RtlInitUnicodeString(&com, u"\\DosDevices\\COM42");
  RtlInitUnicodeString(&target, u"\\Device\\USBPDO-42");
  EXPECT_EQ(IoCreateUnprotectedSymbolicLink(&com, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&com, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(emu::symbolic_link_target(u"\\??\\com42"), u"\\Device\\USBPDO-42");
  EXPECT_EQ(IoDeleteSymbolicLink(&com), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&com), STATUS_OBJECT_NAME_NOT_FOUND);
  WCHAR name[64];
  ULONG length = 0;
  EXPECT_EQ(IoGetDeviceProperty(node->pdo(), DevicePropertyPhysicalDeviceObjectName, 4, name, &length),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, sizeof(u"\\Device\\USBPDO-42"));
  ASSERT_EQ(
      IoGetDeviceProperty(node->pdo(), DevicePropertyPhysicalDeviceObjectName, sizeof name, name, &length),
      STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name)), u"\\Device\\USBPDO-42");

  own = completes_with(STATUS_SUCCESS);
  static const GUID comport = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
  UNICODE_STRING link{};
  ASSERT_EQ(IoRegisterDeviceInterface(node->pdo(), &comport, nullptr, &link), STATUS_SUCCESS);
  std::u16string text(reinterpret_cast<const char16_t*>(link.Buffer), link.Length / 2);
  EXPECT_EQ(text, u"\\??\\USB#VID_1&PID_2#3#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
  EXPECT_EQ(IoRegisterDeviceInterface(fdo, &comport, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);
  ASSERT_EQ(emu::device_interfaces(&comport).size(), 1u);
  EXPECT_FALSE(emu::device_interfaces(&comport)[0].enabled);
  EXPECT_EQ(emu::open(text).status(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_TRUE(emu::device_interfaces(&comport)[0].enabled);
  EXPECT_TRUE(emu::open(text).is_open());  // the interface reaches the top of the PDO's stack
  EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
  EXPECT_FALSE(emu::device_interfaces(&comport)[0].enabled);
  RtlFreeUnicodeString(&link);
  iotest::drop_device(fdo, node->pdo());
  fdo = nullptr;
  node.reset();  // the bus drops the device: its registrations go with it
  EXPECT_TRUE(emu::device_interfaces(&comport).empty());
}

// {5D8B3C1E-2F41-4C0A-9B6E-7A1D2C3B4E5F}
const GUID kBlock = {0x5d8b3c1e, 0x2f41, 0x4c0a, {0x9b, 0x6e, 0x7a, 0x1d, 0x2c, 0x3b, 0x4e, 0x5f}};
WMIGUIDREGINFO g_guids[] = {{&kBlock, 1, 0}};
UNICODE_STRING g_registry_path;
PDEVICE_OBJECT g_wmi_pdo;

NTSTATUS NTAPI QueryRegInfo(PDEVICE_OBJECT, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* path,
                            PUNICODE_STRING, PDEVICE_OBJECT* pdo) {
  *flags = WMIREG_FLAG_INSTANCE_PDO;
  *path = &g_registry_path;
  *pdo = g_wmi_pdo;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryDataBlock(PDEVICE_OBJECT dev, PIRP irp, ULONG, ULONG, ULONG count, PULONG lengths,
                              ULONG avail, PUCHAR buffer) {
  if (count != 1 || avail < sizeof(ULONG))
    return WmiCompleteRequest(dev, irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), IO_NO_INCREMENT);
  const ULONG value = 0x1000;
  RtlCopyMemory(buffer, &value, sizeof value);
  lengths[0] = sizeof value;
  return WmiCompleteRequest(dev, irp, STATUS_SUCCESS, sizeof value, IO_NO_INCREMENT);
}

// The WMI library answering for one data block with contents (the driver's
// has none): the block's instances, the buffers too small, the instance not
// found.
TEST_F(OnPdo, WmiLibraryAnswersForTheDataBlock) {
  static WMILIB_CONTEXT context{1, g_guids, QueryRegInfo, QueryDataBlock, nullptr, nullptr, nullptr, nullptr};
  RtlInitUnicodeString(&g_registry_path, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\FnTest");
  g_wmi_pdo = node->pdo();
  own = [](PDEVICE_OBJECT dev, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_SYSTEM_CONTROL)
      return STATUS_NOT_SUPPORTED;
    SYSCTL_IRP_DISPOSITION disposition;
    NTSTATUS status = WmiSystemControl(&context, dev, irp, &disposition);
    if (disposition == IrpProcessed) return status;
    if (disposition == IrpNotCompleted) return iotest::complete(irp, status, irp->IoStatus.Information);
    return STATUS_NOT_SUPPORTED;
  };
  ASSERT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_REGISTER), STATUS_SUCCESS);
  emu::wmi::RegInfo small = emu::wmi::query_reginfo(fdo, 8);
  EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_GT(small.size_needed, 8u);

  emu::wmi::DataResult all = emu::wmi::query_all_data(fdo, kBlock);
  ASSERT_EQ(all.status, STATUS_SUCCESS);
  ASSERT_EQ(all.instances.size(), 1u);
  EXPECT_EQ(all.instances[0], (std::vector<uint8_t>{0x00, 0x10, 0x00, 0x00}));
  emu::wmi::DataResult one = emu::wmi::query_single_instance(fdo, kBlock, 0);
  EXPECT_EQ(one.status, STATUS_SUCCESS);
  EXPECT_EQ(one.instances.at(0), all.instances[0]);
  EXPECT_EQ(emu::wmi::query_single_instance(fdo, kBlock, 1).status, STATUS_WMI_INSTANCE_NOT_FOUND);
  emu::wmi::DataResult tight = emu::wmi::query_all_data(fdo, kBlock, sizeof(WNODE_ALL_DATA));
  EXPECT_TRUE(tight.too_small);
  EXPECT_GT(tight.size_needed, static_cast<ULONG>(sizeof(WNODE_ALL_DATA)));
  EXPECT_EQ(IoWMIRegistrationControl(fdo, WMIREG_ACTION_DEREGISTER), STATUS_SUCCESS);  // deletion checks it
}

}  // namespace
