// Power requests and the restart of an open port after power-up.
#include <atomic>
#include <thread>

#include "port_test_helpers.h"

namespace vrmdm_test {
namespace {

namespace cdc = emu::usb::cdc;

// Every driver of the stack starts the next power request once per request:
// this driver and the bus driver below it.
constexpr size_t kStartNextPerRequest = 2;

// The recorded device state, read as the driver's threads read it.
DEVICE_POWER_STATE DeviceState(PDEVICE_EXTENSION ext) {
  return (DEVICE_POWER_STATE)InterlockedOr((volatile LONG*)&ext->DevicePowerState, 0);
}

// A power request's outcome, with the next power request started by every
// driver of the stack.
::testing::AssertionResult Answered(const emu::PowerResult& r, NTSTATUS status) {
  if (r.status == status && r.start_next_power == kStartNextPerRequest) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << std::hex << r.status << std::dec << ", next started " << r.start_next_power;
}

class PowerTest : public OpenPortTest {
 protected:
  // Brings the device to D3 through the system's sleep state.
  void PowerDown() {
    ASSERT_EQ(dev_->node->set_system_power(PowerSystemSleeping3).status, STATUS_SUCCESS);
    ASSERT_EQ(DeviceState(ext()), PowerDeviceD3);
  }
  // The same, then waits until both polling threads have ended by themselves
  // on the errors of the powered-down device.
  void PowerDownAndLetPollingEnd() {
    PKTHREAD polling = ext()->pPollingFunctionThread;
    PKTHREAD interrupt = ext()->pInterruptPollingFunctionThread;
    ASSERT_NE(polling, nullptr);
    ASSERT_NE(interrupt, nullptr);
    PowerDown();
    ASSERT_TRUE(WaitUntil([&] { return ThreadEnded(polling) && ThreadEnded(interrupt); }));
  }
  // Whether any power-up restart ran since the trace was last cleared, once
  // every queued work item has run.
  bool RestartRan() {
    EXPECT_TRUE(emu::wait_work_items());
    return emu::trace::contains("[PowerThreadRoutine] start");
  }
};

// ---- System to device state -------------------------------------------------------------

TEST_F(PowerTest, SystemStatesBecomeTheDeviceStatesOfTheCapabilities) {
  ext()->DeviceCapabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  ext()->DeviceCapabilities.DeviceState[PowerSystemSleeping2] = PowerDeviceD1;
  struct Step {
    SYSTEM_POWER_STATE system;
    DEVICE_POWER_STATE device;
  } steps[] = {
      {PowerSystemSleeping1, PowerDeviceD2},
      {PowerSystemSleeping2, PowerDeviceD1},
      {PowerSystemHibernate, PowerDeviceD3},
      {PowerSystemWorking, PowerDeviceD0},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "S" << (s.system - 1));
    const size_t asked = emu::power_requests().size();
    EXPECT_TRUE(Answered(dev_->node->set_system_power(s.system), STATUS_SUCCESS));
    auto requests = emu::power_requests();
    ASSERT_EQ(requests.size(), asked + 1);
    EXPECT_EQ(requests.back().target, dev_->pdo);
    EXPECT_EQ(requests.back().minor, IRP_MN_SET_POWER);
    EXPECT_EQ(requests.back().state.DeviceState, s.device);
    // The system request completed only once its device request had.
    EXPECT_EQ(requests.back().status, STATUS_SUCCESS);
    EXPECT_EQ(ext()->SystemPowerState, s.system);
    EXPECT_EQ(DeviceState(ext()), s.device);
    EXPECT_EQ(emu::reported_device_power(dev_->fdo()), s.device);
  }
  ASSERT_TRUE(emu::wait_work_items());
}

TEST_F(PowerTest, RequestsForTheCurrentStateAndQueriesGoDownUntouched) {
  EXPECT_TRUE(Answered(dev_->node->set_device_power(PowerDeviceD0), STATUS_SUCCESS));
  EXPECT_EQ(DeviceState(ext()), PowerDeviceD0);

  for (SYSTEM_POWER_STATE s : {PowerSystemSleeping3, PowerSystemShutdown}) {
    EXPECT_TRUE(Answered(dev_->node->query_system_power(s), STATUS_SUCCESS));
  }
  EXPECT_TRUE(Answered(dev_->node->query_device_power(PowerDeviceD3), STATUS_SUCCESS));
  // Queries change nothing and ask for nothing.
  EXPECT_EQ(DeviceState(ext()), PowerDeviceD0);
  EXPECT_FALSE(RestartRan());
}

// ---- Power-down and power-up of an open port ------------------------------------------------

// Each sleep of an open port ends only its polling threads and queues
// nothing; each wake restarts it: the line coding, then the line state, each
// sent once, and new polling threads that carry data and the modem lines.
// Every wake needs a restart of its own: one still marked as running would
// skip the next.
TEST_F(PowerTest, EachPowerUpResendsTheLineAndReplacesThePollingThreads) {
  Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, AsBytes<ULONG>(38400));
  SERIAL_LINE_CONTROL line{STOP_BITS_2, ODD_PARITY, 7};
  Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(line));
  Ioctl(IOCTL_SERIAL_CLR_RTS);
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    emu::trace::clear();
    ASSERT_NO_FATAL_FAILURE(PowerDownAndLetPollingEnd());
    for (PKTHREAD t :
         {ext()->pReadFunctionThread, ext()->pWriteFunctionThread, ext()->pWaitMaskFunctionThread}) {
      EXPECT_FALSE(ThreadEnded(t));
    }
    EXPECT_FALSE(RestartRan());

    const size_t before = model().control_requests().size();
    ASSERT_EQ(dev_->node->set_system_power(PowerSystemWorking).status, STATUS_SUCCESS);
    ASSERT_TRUE(emu::wait_work_items());
    auto all = model().control_requests();
    ASSERT_EQ(all.size(), before + 2) << "the power-up did not restart the port";
    EXPECT_EQ(all[before].setup.bRequest, cdc::SET_LINE_CODING);
    EXPECT_EQ(cdc::LineCoding::from(std::span<const uint8_t, 7>(all[before].data.data(), 7)),
              (cdc::LineCoding{38400, 2, 1, 7}));
    EXPECT_EQ(all[before + 1].setup.bRequest, cdc::SET_CONTROL_LINE_STATE);
    EXPECT_EQ(all[before + 1].setup.wValue, cdc::CONTROL_LINE_DTR);
    EXPECT_TRUE(emu::trace::contains("[PowerThreadRoutine] deviceExtension->DevicePowerState = 1"));

    ASSERT_NE(ext()->pPollingFunctionThread, nullptr);
    ASSERT_NE(ext()->pInterruptPollingFunctionThread, nullptr);
    EXPECT_FALSE(ThreadEnded(ext()->pPollingFunctionThread));
    EXPECT_FALSE(ThreadEnded(ext()->pInterruptPollingFunctionThread));
    const std::string text = "cycle " + std::to_string(cycle);
    model().queue_in(cdc::BULK_IN_ENDPOINT, text);
    EXPECT_EQ(ReadAtLeast(*port_, text.size()), text);
    const bool carrier = cycle % 2 == 0;
    Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);  // clear the change bits
    model().notify_serial_state(cdc::SERIAL_STATE_DSR | (carrier ? cdc::SERIAL_STATE_DCD : 0));
    EXPECT_TRUE(WaitUntil([&] {
      return ((FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4).output) & 0x80) != 0) == carrier;
    }));
  }
  EXPECT_EQ(port_->write("AT\r").information, 3u);
  EXPECT_EQ(model().out_data(cdc::BULK_OUT_ENDPOINT), (std::vector<uint8_t>{'A', 'T', '\r'}));
}

TEST_F(PowerTest, RestartDoesNotHangOnAPollingThreadWaitingInARead) {
  // The device stays in D0 (the driver only believes it was in D1), so the
  // polling thread sits in a read the modem never answers.
  ASSERT_TRUE(emu::usb::wait_pending(dev_->pdo, cdc::BULK_IN_ENDPOINT, 1));
  PKTHREAD old = ext()->pPollingFunctionThread;
  ObReferenceObject(old);  // the restart drops the port's reference
  SetPowerState(PowerDeviceD1);
  ASSERT_EQ(dev_->node->set_device_power(PowerDeviceD0).status, STATUS_SUCCESS);
  ASSERT_TRUE(emu::wait_work_items(std::chrono::seconds(10)));
  EXPECT_TRUE(ThreadEnded(old));
  ObDereferenceObject(old);

  // The replacement's reads are not taken for cancelled.
  model().queue_in(cdc::BULK_IN_ENDPOINT, "still here");
  EXPECT_EQ(ReadAtLeast(*port_, 10), "still here");
}

TEST_F(PowerTest, PowerUpRacingCleanupNeverInterleaves) {
  for (int round = 0; round < 40 && !HasFailure(); ++round) {
    SCOPED_TRACE(round);
    if (round > 0) {
      port_ = &Open();
      ASSERT_EQ(port_->status(), STATUS_SUCCESS);
    }
    PowerDown();
    std::atomic<int> ready{0};
    emu::PowerResult up;
    std::thread power([&] {
      ready++;
      while (ready.load() < 2) {
      }
      up = dev_->node->set_system_power(PowerSystemWorking);
    });
    ready++;
    while (ready.load() < 2) {
    }
    emu::CloseResult closed = port_->close();
    power.join();
    EXPECT_EQ(up.status, STATUS_SUCCESS);
    EXPECT_EQ(closed.cleanup, STATUS_SUCCESS);
    ASSERT_TRUE(emu::wait_work_items());
    // Whatever the order, the closed port has no thread left.
    EXPECT_EQ(ext()->pPollingFunctionThread, nullptr);
    EXPECT_EQ(ext()->pInterruptPollingFunctionThread, nullptr);
    ASSERT_TRUE(emu::wait_quiescent());
  }
}

using PowerWithoutInterruptPipeTest = DriverFixture;

// A port without an interrupt pipe gets only its bulk polling back at
// power-up; once closed it gets no restart, and the modem no request.
TEST_F(PowerWithoutInterruptPipeTest, PowerUpRestartsOnlyTheBulkPollingAndNothingOnceClosed) {
  PluggedDevice& dev = PlugScripted(cdc::Variant::acm_nointr);
  ASSERT_EQ(Start(dev), STATUS_SUCCESS);
  emu::Handle& port = Open();
  ASSERT_EQ(port.status(), STATUS_SUCCESS);
  ASSERT_EQ(dev.ext()->pInterruptPollingFunctionThread, nullptr);
  ASSERT_EQ(dev.node->set_system_power(PowerSystemSleeping3).status, STATUS_SUCCESS);
  ASSERT_EQ(dev.node->set_system_power(PowerSystemWorking).status, STATUS_SUCCESS);
  ASSERT_TRUE(emu::wait_work_items());
  EXPECT_TRUE(emu::trace::contains("[kt_mdm] [PowerThreadRoutine] create pPollingFunctionThread"));
  EXPECT_FALSE(emu::trace::contains("UsingInterruptPipe"));
  EXPECT_EQ(dev.ext()->pInterruptPollingFunctionThread, nullptr);
  auto* model = dev.as<emu::usb::ScriptedDevice>();
  model->queue_in(cdc::BULK_IN_ENDPOINT, "ok");
  EXPECT_EQ(ReadAtLeast(port, 2), "ok");

  port.close();
  emu::trace::clear();
  const size_t before = model->control_requests().size();
  ASSERT_EQ(dev.node->set_system_power(PowerSystemSleeping3).status, STATUS_SUCCESS);
  ASSERT_EQ(dev.node->set_system_power(PowerSystemWorking).status, STATUS_SUCCESS);
  ASSERT_TRUE(emu::wait_work_items());
  EXPECT_FALSE(emu::trace::contains("[PowerThreadRoutine] start"));
  EXPECT_EQ(model->control_requests().size(), before);
}

// ---- Failures below --------------------------------------------------------------------------

class PowerFailureTest : public DriverFixture {};

TEST_F(PowerFailureTest, FailuresBelowLeaveTheRecordedStates) {
  std::atomic<bool> failDevice{false}, failSystem{false};
  emu::PdoConfig config;
  config.power = [&](PDEVICE_OBJECT pdo, PIRP irp) -> NTSTATUS {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool isDevice = stack->Parameters.Power.Type == DevicePowerState;
    if (stack->MinorFunction == IRP_MN_SET_POWER && ((isDevice && failDevice) || (!isDevice && failSystem))) {
      PoStartNextPowerIrp(irp);
      irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return STATUS_DEVICE_NOT_READY;
    }
    return emu::pdo_default_power(pdo, irp);
  };
  auto node = emu::create_pdo(config);
  node->set_port_name(u"COM7");
  ASSERT_EQ(node->add_device(driver_), STATUS_SUCCESS);
  auto* ext = (PDEVICE_EXTENSION)node->fdo()->DeviceExtension;
  ASSERT_EQ(node->query_capabilities(), STATUS_SUCCESS);
  ASSERT_EQ(DeviceState(ext), PowerDeviceD3);

  // The device request fails: the system request fails with it.
  failDevice = true;
  emu::PowerResult r = node->set_system_power(PowerSystemWorking);
  EXPECT_TRUE(Answered(r, STATUS_DEVICE_NOT_READY));
  EXPECT_EQ(DeviceState(ext), PowerDeviceD3);
  EXPECT_EQ(ext->SystemPowerState, PowerSystemWorking);
  EXPECT_NE(emu::reported_device_power(node->fdo()), std::optional<DEVICE_POWER_STATE>(PowerDeviceD0));
  EXPECT_TRUE(Answered(node->set_device_power(PowerDeviceD0), STATUS_DEVICE_NOT_READY));
  EXPECT_EQ(DeviceState(ext), PowerDeviceD3);

  // The system request fails below: no device request is asked for.
  failDevice = false;
  failSystem = true;
  const size_t asked = emu::power_requests().size();
  r = node->set_system_power(PowerSystemSleeping1);
  EXPECT_TRUE(Answered(r, STATUS_DEVICE_NOT_READY));
  EXPECT_EQ(emu::power_requests().size(), asked);
  EXPECT_EQ(ext->SystemPowerState, PowerSystemWorking);

  // Nothing failing: D0 at last.
  failSystem = false;
  EXPECT_EQ(node->set_system_power(PowerSystemWorking).status, STATUS_SUCCESS);
  EXPECT_EQ(DeviceState(ext), PowerDeviceD0);
  EXPECT_TRUE(emu::wait_work_items());
  EXPECT_FALSE(emu::trace::contains("[PowerThreadRoutine] start"));  // nobody had the port open

  EXPECT_EQ(node->remove(), STATUS_SUCCESS);
  EXPECT_EQ(node->fdo(), nullptr);
}

// ---- A power-up that could not be asked for ---------------------------------------------------

class OwedPowerUpTest : public PowerTest {
 protected:
  // Wakes the system with the record of the system request failing and,
  // when asked, the work item that would ask for the power-up again.
  // Each fault strikes once, so what runs after the request is not failed.
  emu::PowerResult WakeWithoutRecord(bool failRetryWorkItem) {
    emu::trace::clear();
    emu::faults::fail_nth_allocation(1);
    if (failRetryWorkItem) emu::faults::fail_work_item(1);
    emu::PowerResult r = dev_->node->set_system_power(PowerSystemWorking);
    EXPECT_TRUE(emu::wait_work_items());
    EXPECT_EQ(emu::faults::injected(emu::faults::Site::pool_allocation), 1u);
    EXPECT_TRUE(emu::trace::contains("device power request not made"));
    emu::faults::clear();
    return r;
  }
};

// The system request completes all the same; the power-up owed comes from
// the work item at once, or, when that work item could not be had either,
// from the next write (refused meanwhile) or the next open, and is owed no
// more.
TEST_F(OwedPowerUpTest, TheDeviceIsPoweredUpByTheWorkItemAWriteOrAReopen) {
  enum class By { work_item, write, reopen };
  for (By by : {By::work_item, By::write, By::reopen}) {
    SCOPED_TRACE(int(by));
    ASSERT_NO_FATAL_FAILURE(PowerDownAndLetPollingEnd());
    emu::PowerResult r = WakeWithoutRecord(by != By::work_item);
    EXPECT_TRUE(Answered(r, STATUS_SUCCESS));
    if (by == By::write) {
      ASSERT_EQ(DeviceState(ext()), PowerDeviceD3);
      const size_t sent = model().out_data(cdc::BULK_OUT_ENDPOINT).size();
      EXPECT_EQ(port_->write("AT\r").status, STATUS_DEVICE_POWERED_OFF);
      EXPECT_EQ(model().out_data(cdc::BULK_OUT_ENDPOINT).size(), sent);
    } else if (by == By::reopen) {
      ASSERT_EQ(DeviceState(ext()), PowerDeviceD3);
      ASSERT_EQ(port_->close().cleanup, STATUS_SUCCESS);
      port_ = &Open();
      ASSERT_EQ(port_->status(), STATUS_SUCCESS);
      EXPECT_EQ(DeviceState(ext()), PowerDeviceD0);
    }
    ASSERT_TRUE(by == By::reopen || RestartRan());
    ASSERT_TRUE(emu::wait_work_items());
    EXPECT_EQ(DeviceState(ext()), PowerDeviceD0);
    EXPECT_EQ(ext()->DevicePowerOwed, 0);
    ExpectAtOk(*port_, model());
  }
}

}  // namespace
}  // namespace vrmdm_test
