// What clients really do to a port, in the order they do it: send a request
// while another thread closes the handle, poll the modem status while
// waiting for the carrier, stop and restart the device, pull it out under
// queued waits, sleep the machine when resources are short.  Each sequence must end every request exactly
// once and leave a port that reopens and carries data.
#include <atomic>
#include <algorithm>
#include <span>
#include <thread>

#include "serial/notify.h"
#include "serial/waitmask.h"
#include "support/port_fixture.h"

namespace vrmdm_test::lifecycle {
namespace {

constexpr uint8_t kNotify = usb::cdc::NOTIFY_ENDPOINT;
constexpr uint8_t kBulkIn = usb::cdc::BULK_IN_ENDPOINT;
constexpr uint8_t kBulkOut = usb::cdc::BULK_OUT_ENDPOINT;

// One file object of the port, driven request by request the way the I/O
// manager drives it when a request races the closing of its handle: the
// request reaches the driver after the file's cleanup and before its close.
class RawFile {
 public:
  struct Result {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    bool completed = false;
  };

  explicit RawFile(PDEVICE_OBJECT device) : device_(device) {
    file_.Type = IO_TYPE_FILE;
    file_.Size = sizeof(FILE_OBJECT);
    file_.DeviceObject = device;
  }

  // Sends one request with a buffer of `length` bytes and waits (bounded)
  // for it.  A request the driver never completes is kept, so that nothing
  // is freed under it, and reported by the caller's checks.
  Result Send(UCHAR major, ULONG length = 0, ULONG code = 0, std::span<const uint8_t> input = {}) {
    auto buffer = std::make_unique<std::vector<uint8_t>>(std::max<ULONG>(length, 1), 'A');
    std::copy_n(input.begin(), std::min<size_t>(input.size(), buffer->size()), buffer->begin());
    PIRP irp = IoAllocateIrp(device_->StackSize, FALSE);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = &file_;
    irp->Tail.Overlay.OriginalFileObject = &file_;
    irp->AssociatedIrp.SystemBuffer = length != 0 ? buffer->data() : nullptr;
    if (major == IRP_MJ_READ) sp->Parameters.Read.Length = length;
    if (major == IRP_MJ_WRITE) sp->Parameters.Write.Length = length;
    if (major == IRP_MJ_DEVICE_CONTROL) {
      sp->Parameters.DeviceIoControl.IoControlCode = code;
      sp->Parameters.DeviceIoControl.OutputBufferLength = length;
      sp->Parameters.DeviceIoControl.InputBufferLength = (ULONG)input.size();
    }
    auto done = std::make_unique<KEVENT>();
    KeInitializeEvent(done.get(), NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, Completed, done.get(), TRUE, TRUE, TRUE);

    Result result;
    (void)emu::call_driver(device_, irp);
    LARGE_INTEGER limit;
    limit.QuadPart = -10000LL * 5000;  // 5 s
    result.completed =
        KeWaitForSingleObject(done.get(), Executive, KernelMode, FALSE, &limit) == STATUS_SUCCESS;
    if (!result.completed) {
      abandoned_.push_back({irp, std::move(buffer), std::move(done)});
      return result;
    }
    result.status = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return result;
  }

  // Requests never completed; each still holds its packet.
  size_t Abandoned() const { return abandoned_.size(); }

 private:
  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  struct Left {
    PIRP irp;
    std::unique_ptr<std::vector<uint8_t>> buffer;
    std::unique_ptr<KEVENT> done;
  };
  PDEVICE_OBJECT device_;
  FILE_OBJECT file_{};
  std::vector<Left> abandoned_;
};

class ClientSequencesTest : public LifecycleFixture {
 protected:
  PluggedDevice& StartScripted() {
    PluggedDevice& dev = PlugScripted(usb::cdc::Variant::acm, u"COM5");
    EXPECT_EQ(Start(dev), STATUS_SUCCESS);
    return dev;
  }

  // The port opens and carries bytes both ways.
  static void ExpectPortWorks(PluggedDevice& dev) {
    emu::Handle handle = emu::open(u"\\DosDevices\\COM5");
    ASSERT_EQ(handle.status(), STATUS_SUCCESS);
    SetReadTimeout(handle, 50);
    ExpectAtOk(handle, *dev.as<usb::ScriptedDevice>());
    EXPECT_TRUE(ClosedCleanly(handle.close()));
  }

  static emu::RequestPtr WaitOnMask(emu::Handle& port) {
    return port.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
  }
  static void SetWaitMask(emu::Handle& port, ULONG mask) {
    ASSERT_EQ(port.ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(mask)).status, STATUS_SUCCESS);
  }
};

// ---- The handle goes ------------------------------------------------------------------

TEST_F(ClientSequencesTest, RequestsArrivingAfterCleanupAreRefusedAtOnce) {
  // Another thread's WriteFile, ReadFile, WaitCommEvent, notification
  // request or line change (EscapeCommFunction, SetCommState) loses the race
  // with CloseHandle: it reaches the driver after the cleanup.  It ends at
  // once as a request the cleanup had ended would, no line it raises stays
  // up on the closed port, and the close still comes.
  const ULONG dtr = 1;
  SERIAL_HANDFLOW handFlow{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 2048, 512};
  struct Case {
    const char* what;
    UCHAR major;
    ULONG length;
    ULONG code;
    std::vector<uint8_t> input;
  } cases[] = {
      {"write", IRP_MJ_WRITE, 3, 0, {}},
      {"read", IRP_MJ_READ, 16, 0, {}},
      {"wait-on-mask", IRP_MJ_DEVICE_CONTROL, sizeof(ULONG), IOCTL_SERIAL_WAIT_ON_MASK, {}},
      {"removal notification", IRP_MJ_DEVICE_CONTROL, sizeof(ULONG), IOCTL_REMOVAL_NOTIFY, {}},
      {"DTR raised", IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_SET_DTR, {}},
      {"RTS raised", IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_SET_RTS, {}},
      {"DTR dropped", IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_CLR_DTR, {}},
      {"modem control", IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_SET_MODEM_CONTROL, AsBytes(dtr)},
      {"handshake", IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_SET_HANDFLOW, AsBytes(handFlow)},
  };
  PluggedDevice& dev = StartScripted();
  auto* model = dev.as<usb::ScriptedDevice>();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    model->take_out_data(kBulkOut);
    RawFile file(dev.fdo());
    ASSERT_EQ(file.Send(IRP_MJ_CREATE).status, STATUS_SUCCESS);
    ASSERT_EQ(file.Send(IRP_MJ_CLEANUP).status, STATUS_SUCCESS);
    ASSERT_EQ(model->control_line_state(), std::optional<uint16_t>(0));

    RawFile::Result late =
        file.Send(c.major, std::max<ULONG>(c.length, (ULONG)c.input.size()), c.code, c.input);
    EXPECT_TRUE(late.completed) << "left pending with nothing to serve it";
    EXPECT_TRUE(Answers(late, STATUS_CANCELLED, 0u));
    EXPECT_TRUE(model->out_data(kBulkOut).empty()) << "a late write went out";
    EXPECT_EQ(model->control_line_state(), std::optional<uint16_t>(0))
        << "a line stays up on the closed port";

    EXPECT_EQ(file.Send(IRP_MJ_CLOSE).status, STATUS_SUCCESS);
    ASSERT_EQ(file.Abandoned(), 0u);
    ExpectPortWorks(dev);
  }
}

// ---- The modem lines ---------------------------------------------------------------------

TEST_F(ClientSequencesTest, ACarrierChangeWaitsForTheWaiterWhateverComesBetween) {
  // The carrier rises while no wait is queued; then something that says
  // nothing new about the lines happens; then the client waits for
  // SERIAL_EV_RLSD.  The change must still be reported.
  struct Case {
    const char* what;
    std::function<void()> between;
  };
  const Case cases[] = {
      {"the same notification again", [&] { model_->notify_serial_state(0x03); }},
      {"another notification with the same byte 8",
       [&] {
         model_->queue_packet(kNotify, std::vector<uint8_t>{0xA1, 0x2A, 0, 0, 0, 0, 2, 0, 0x03, 0});
       }},
      {"a short serial-state notification",
       [&] {
         model_->queue_packet(kNotify, std::vector<uint8_t>{0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x03});
       }},
      {"a failed interrupt read",
       [&] {
         usb::inject_fault(dev_->pdo, kNotify,
                           usb::Fault::error(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL));
       }},
      {"GET_MODEMSTATUS polling",
       [&] {
         for (int i = 0; i < 3; i++) {
           emu::IoResult r = port_->ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
           EXPECT_EQ(r.status, STATUS_SUCCESS);
           EXPECT_NE(FromBytes<ULONG>(r.output) & SERIAL_MSR_DCD, 0u);
         }
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::open));
    SetWaitMask(*port_, SERIAL_EV_RLSD);

    model_->notify_serial_state(usb::cdc::SERIAL_STATE_DCD | usb::cdc::SERIAL_STATE_DSR);
    ASSERT_TRUE(WaitUntil([&] { return (ModemStatusOf(ext_) & SERIAL_MSR_DCD) != 0; }));
    c.between();
    // DSR drops behind it: once that shows, everything before it was handled.
    model_->notify_serial_state(usb::cdc::SERIAL_STATE_DCD);
    ASSERT_TRUE(WaitUntil([&] { return (ModemStatusOf(ext_) & SERIAL_MSR_DSR) == 0; }));
    EXPECT_NE(ModemStatusOf(ext_) & SERIAL_MSR_DCD, 0u);

    auto wait = WaitOnMask(*port_);
    ASSERT_TRUE(Ends(wait, STATUS_SUCCESS, std::nullopt, 5000ms)) << "the carrier change was lost";
    EXPECT_EQ(FromBytes<ULONG>(wait->output()), (ULONG)SERIAL_EV_RLSD);
    // Reported once: the next wait has nothing to report.
    auto next = WaitOnMask(*port_);
    EXPECT_FALSE(next->wait(30ms));
    port_->close();
    ASSERT_TRUE(Ended(next, STATUS_CANCELLED));
    Remove(*dev_);
  }
}

TEST_F(ClientSequencesTest, TheInterruptThreadOutlivesAFailingPipeWithoutSpinning) {
  ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::open));
  PKTHREAD thread = ext_->pInterruptPollingFunctionThread;
  ASSERT_TRUE(usb::wait_pending(dev_->pdo, kNotify, 1));

  // A stall halts the pipe in D0: the thread resets it and reads on, so the
  // next notification still reaches the modem status.
  auto notifyResets = [&] { return PipeResets(*model_, kNotify); };
  const auto resets = notifyResets();
  usb::inject_fault(dev_->pdo, kNotify, usb::Fault::stall());
  model_->notify_serial_state(0x03);
  ASSERT_TRUE(WaitUntil([&] { return (ModemStatusOf(ext_) & SERIAL_MSR_DCD) != 0; }))
      << "the thread ended on the halt";
  // The stall takes the pending read, or the next one when the device has
  // already taken that read: the reset may come after the notification.
  ASSERT_TRUE(WaitUntil([&] { return notifyResets() > resets; })) << "the halted pipe was not reset";
  model_->notify_serial_state(0x02);  // the carrier drops: read after the reset
  ASSERT_TRUE(WaitUntil([&] { return (ModemStatusOf(ext_) & SERIAL_MSR_DCD) == 0; }))
      << "the thread stopped reading after the reset";
  EXPECT_FALSE(ThreadEnded(thread));

  // A pipe that fails every read costs one read per pause, counted over a
  // stretch of frozen time.
  ASSERT_TRUE(usb::wait_pending(dev_->pdo, kNotify, 1));
  usb::inject_fault(dev_->pdo, kNotify,
                    usb::Fault::error(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL, -1));
  emu::clock::freeze();
  model_->notify_serial_state(0x03);  // wakes the read, which fails
  ASSERT_TRUE(WaitUntil([] { return emu::trace::contains("ntStatus = C0000001 DevicePowerState"); }));
  // Each millisecond, the thread is let back to its pause before time goes on.
  PKEVENT pause = &ext_->evKill_pInterruptPollingFunction;
  ASSERT_TRUE(emu::ke::wait_for_waiters(pause, 1));
  const size_t before = emu::trace::count("[ReadInterrupt] UrbStatus");
  for (int ms = 0; ms < 100; ms++) {
    emu::clock::advance(1ms);
    ASSERT_TRUE(emu::ke::wait_for_waiters(pause, 1));
  }
  const size_t passes = emu::trace::count("[ReadInterrupt] UrbStatus") - before;
  printf("[ interrupt ] %zu failed reads in 100 ms of frozen time\n", passes);
  EXPECT_GE(passes, 9u) << "the thread stopped reading";
  EXPECT_LE(passes, 11u);
  emu::clock::unfreeze();
  usb::clear_faults(dev_->pdo);
  model_->notify_serial_state(0x00);
  EXPECT_TRUE(WaitUntil([&] { return (ModemStatusOf(ext_) & SERIAL_MSR_DCD) == 0; }));
  EXPECT_FALSE(ThreadEnded(thread));
}

// ---- The device goes ---------------------------------------------------------------------

TEST_F(ClientSequencesTest, StopAndStartKeepThePortAndItsNames) {
  PluggedDevice& dev = StartScripted();
  const std::u16string name = DeviceNameFor(1);

  // Stopped and started again, twice: the same names, published once.
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    ASSERT_EQ(dev.node->query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(dev.node->stop(), STATUS_SUCCESS);
    EXPECT_EQ(emu::open(u"COM5").status(), STATUS_DEVICE_NOT_READY);
    ASSERT_EQ(dev.node->start(), STATUS_SUCCESS);
    EXPECT_EQ(emu::symbolic_link_target(u"\\DosDevices\\COM5"), name);
    EXPECT_TRUE(emu::registry::get_value(kSerialComm, name).has_value());
    EXPECT_EQ(ComPortsEnabled(dev.pdo), 1u);
    EXPECT_TRUE(emu::wmi::is_registered(dev.fdo()));
    ExpectPortWorks(dev);
  }
}

TEST_F(ClientSequencesTest, AStopOrARemovalIsRefusedWhileThePortIsOpen) {
  using Query = NTSTATUS (emu::DeviceNode::*)();
  struct Case {
    const char* what;
    Query query, cancel;
  } cases[] = {
      {"stop", &emu::DeviceNode::query_stop, &emu::DeviceNode::cancel_stop},
      {"removal", &emu::DeviceNode::query_remove, &emu::DeviceNode::cancel_remove},
  };
  PluggedDevice& dev = StartScripted();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Open: refused, and cancelled by the system; the port works on.
    emu::Handle port = emu::open(u"COM5");
    ASSERT_EQ(port.status(), STATUS_SUCCESS);
    EXPECT_EQ(((*dev.node).*c.query)(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(((*dev.node).*c.cancel)(), STATUS_SUCCESS);
    EXPECT_EQ(port.write("AT\r").information, 3u);
    EXPECT_EQ(port.close().close, STATUS_SUCCESS);

    // Closed: opens are refused until it is cancelled, which leaves the port as it was.
    ASSERT_EQ(((*dev.node).*c.query)(), STATUS_SUCCESS);
    EXPECT_EQ(emu::open(u"COM5").status(), STATUS_DEVICE_NOT_READY) << "opened while it was pending";
    ASSERT_EQ(((*dev.node).*c.cancel)(), STATUS_SUCCESS);
    ExpectPortWorks(dev);
  }
}

TEST_F(ClientSequencesTest, ARemovalNeverWaitsOnAnOpenPort) {
  // A removal that comes with the port open all the same (a handle the
  // system does not count) stops the port's threads before it waits for
  // them: it ends, and nothing of the port is left behind.
  PluggedDevice& dev = StartScripted();
  RawFile file(dev.fdo());
  ASSERT_EQ(file.Send(IRP_MJ_CREATE).status, STATUS_SUCCESS);
  std::atomic<bool> removed{false};
  std::thread remover([&] {
    EXPECT_EQ(dev.node->remove(), STATUS_SUCCESS);
    removed = true;
  });
  if (!WaitUntil([&] { return removed.load(); })) {
    remover.detach();
    FAIL() << "the removal waits for the open port's threads for good";
  }
  remover.join();
  dev.removed = true;
  EXPECT_EQ(dev.node->fdo(), nullptr);
}

TEST_F(ClientSequencesTest, AFailedRestartLeavesTheDeviceToTheRemovalThatWaitsForItsUsers) {
  PluggedDevice& dev = StartScripted();
  ExpectPortWorks(dev);
  PDEVICE_OBJECT fdo = dev.fdo();
  PDEVICE_EXTENSION ext = dev.ext();
  ASSERT_EQ(dev.node->query_stop(), STATUS_SUCCESS);
  ASSERT_EQ(dev.node->stop(), STATUS_SUCCESS);

  // The port name is no longer usable: the restart fails.  Someone still
  // holds the device (as a worker thread or a parked request would).
  dev.node->set_hardware_value(u"PortName", REG_DWORD, {5, 0, 0, 0});
  static int holder;
  ASSERT_EQ(IoAcquireRemoveLock(&ext->RemoveLock, &holder), STATUS_SUCCESS);
  EXPECT_EQ(dev.node->start(/*remove_on_failure=*/false), STATUS_UNSUCCESSFUL);
  ASSERT_EQ(dev.node->fdo(), fdo) << "deleted by the failed start";
  EXPECT_NE(ext->RingBuffer, nullptr) << "freed by the failed start";
  EXPECT_FALSE(emu::symbolic_link_target(u"\\DosDevices\\COM5").has_value());
  EXPECT_FALSE(emu::registry::get_value(kSerialComm, DeviceNameFor(1)).has_value());

  std::atomic<bool> removed{false};
  std::thread remover([&] {
    EXPECT_EQ(dev.node->remove(), STATUS_SUCCESS);
    removed = true;
  });
  EXPECT_TRUE(emu::ke::wait_for_waiters(&ext->RemoveLock.Common.RemoveEvent, 1))
      << "removal did not wait for the device's user";
  EXPECT_FALSE(removed.load());
  IoReleaseRemoveLock(&ext->RemoveLock, &holder);
  remover.join();
  dev.removed = true;
  EXPECT_EQ(dev.node->fdo(), nullptr);
}

// ---- The machine sleeps ------------------------------------------------------------------

TEST_F(ClientSequencesTest, APowerUpRestartStartsNothingOnADeviceRemovedUnderIt) {
  // The restart has looked at the port and waits for its line coding, which
  // the modem does not answer, when the modem is pulled out.
  ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::open));
  ASSERT_EQ(dev_->node->set_system_power(PowerSystemSleeping3).status, STATUS_SUCCESS);
  ASSERT_TRUE(WaitUntil([&] { return ThreadEnded(ext_->pPollingFunctionThread); }));
  usb::inject_fault(dev_->pdo, 0, usb::Fault::never_complete());
  emu::trace::clear();
  ASSERT_EQ(dev_->node->set_system_power(PowerSystemWorking).status, STATUS_SUCCESS);
  ASSERT_TRUE(usb::wait_pending(dev_->pdo, 0, 1)) << "the restart sent no line coding";
  // Removed while the restart waits; the modem's leaving then ends its wait.
  ASSERT_EQ(dev_->node->surprise_remove(), STATUS_SUCCESS);
  usb::unplug(dev_->pdo);
  ASSERT_TRUE(emu::wait_work_items());

  EXPECT_FALSE(emu::trace::contains("create pPollingFunctionThread"));
  for (PKTHREAD thread : {ext_->pPollingFunctionThread, ext_->pInterruptPollingFunctionThread}) {
    EXPECT_TRUE(thread == nullptr || ThreadEnded(thread)) << "a polling thread runs for a removed device";
  }
  EXPECT_EQ(port_->close().close, STATUS_SUCCESS);
  EXPECT_EQ(dev_->node->remove(), STATUS_SUCCESS);
  dev_->removed = true;
}

TEST_F(ClientSequencesTest, APowerUpRestartShortOfResourcesIsRetriedAndFailsRequestsMeanwhile) {
  using emu::faults::Site;
  struct Case {
    const char* what;
    Site site;
    size_t n;       // 0: every call until the faults are cleared
    bool recovers;  // by itself, before any request comes
  } cases[] = {
      {"one thread not created", Site::thread_creation, 1, true},
      {"no thread for a while", Site::thread_creation, 0, false},
      {"no work item for a while", Site::work_item_allocation, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::open));
    SetReadTimeout(*port_, 20);
    SetWaitMask(*port_, SERIAL_EV_RLSD);
    ASSERT_EQ(dev_->node->set_system_power(PowerSystemSleeping3).status, STATUS_SUCCESS);
    ASSERT_TRUE(WaitUntil([&] { return ThreadEnded(ext_->pPollingFunctionThread); }));
    auto wait = WaitOnMask(*port_);  // for a carrier that only the interrupt thread could report

    emu::faults::fail_nth(c.site, c.n);
    ASSERT_EQ(dev_->node->set_system_power(PowerSystemWorking).status, STATUS_SUCCESS);
    ASSERT_TRUE(emu::wait_work_items());
    if (!c.recovers) {
      ASSERT_TRUE(wait->completed()) << "left waiting for an event nothing can report";
      EXPECT_TRUE(wait->status() == STATUS_DEVICE_NOT_READY) << std::hex << wait->status();
      emu::IoResult read = port_->read(16);
      EXPECT_EQ(read.status, STATUS_DEVICE_NOT_READY);
      EXPECT_EQ(port_->write("AT\r").status, STATUS_DEVICE_NOT_READY);
      EXPECT_EQ(WaitOnMask(*port_)->status(), STATUS_DEVICE_NOT_READY);
      // The resources are back: a refusal brings the restart back (one of
      // those above may already have).
      emu::faults::clear();
      ASSERT_TRUE(emu::wait_work_items());
      NTSTATUS again = port_->read(16).status;
      if (c.site == Site::work_item_allocation) {
        EXPECT_EQ(again, STATUS_DEVICE_NOT_READY) << "no restart could have been queued yet";
      } else {
        EXPECT_TRUE(again == STATUS_DEVICE_NOT_READY || again == STATUS_SUCCESS) << std::hex << again;
      }
      ASSERT_TRUE(emu::wait_work_items());
    }
    emu::faults::clear();
    EXPECT_FALSE(ThreadEnded(ext_->pPollingFunctionThread));
    EXPECT_FALSE(ThreadEnded(ext_->pInterruptPollingFunctionThread));

    model_->queue_in(kBulkIn, "RING\r\n");
    EXPECT_EQ(ReadAtLeast(*port_, 6), "RING\r\n");
    if (c.recovers) {
      EXPECT_FALSE(wait->completed());
    } else {
      wait = WaitOnMask(*port_);
    }
    model_->notify_serial_state(0x03);
    ASSERT_TRUE(wait->wait(5000ms));
    EXPECT_EQ(FromBytes<ULONG>(wait->output()), (ULONG)SERIAL_EV_RLSD);
    EXPECT_EQ(port_->close().close, STATUS_SUCCESS);
    Remove(*dev_);
  }
}

}  // namespace
}  // namespace vrmdm_test::lifecycle
