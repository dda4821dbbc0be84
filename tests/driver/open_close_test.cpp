// Open, cleanup and close: one client at a time, every thread and line the
// open raises is taken down again by cleanup, and a failed open leaves the
// port exactly as it found it.
#include <atomic>
#include <thread>

#include "serial/notify.h"
#include "support/port_fixture.h"

namespace vrmdm_test::lifecycle {
namespace {

class OpenCloseTest : public LifecycleFixture {
 protected:
  void StartScripted(usb::cdc::Variant variant) {
    ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::started, variant));
  }

  std::vector<PKTHREAD> Threads() const {
    return {ext_->pReadFunctionThread, ext_->pWaitMaskFunctionThread, ext_->pPollingFunctionThread,
            ext_->pWriteFunctionThread, ext_->pInterruptPollingFunctionThread};
  }

  // Nothing of an open is left: no thread, packet, handshake record or count.
  void ExpectClosedState(size_t irpsBefore) {
    for (PKTHREAD t : Threads()) EXPECT_EQ(t, nullptr);
    EXPECT_EQ(ext_->BulkInIrp, nullptr);
    EXPECT_EQ(ext_->InterruptIrp, nullptr);
    EXPECT_EQ(ext_->HandFlow, nullptr);
    EXPECT_EQ(Shared(&ext_->OpenCount), 0);
    EXPECT_EQ(Shared(&ext_->DeviceOpened), 0);
    EXPECT_EQ(emu::outstanding_irps(), irpsBefore);
    EXPECT_TRUE(emu::is_quiescent()) << "a thread, timer or work item outlived the open";
  }
};

class OpenThreadsTest : public OpenCloseTest, public testing::WithParamInterface<usb::cdc::Variant> {};

TEST_P(OpenThreadsTest, OpenStartsTheThreadsAndRaisesTheLinesCleanupUndoesBoth) {
  StartScripted(GetParam());
  const bool interrupt = GetParam() != usb::cdc::Variant::acm_nointr;
  const size_t irpsBefore = emu::outstanding_irps();

  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round);
    emu::Handle port = emu::open(u"\\DosDevices\\COM5");
    ASSERT_EQ(port.status(), STATUS_SUCCESS);
    // The open reports DSR on with its change; a reopen also the carrier's
    // change, as the close left it.
    if (round == 0) {
      EXPECT_EQ(ModemStatusOf(ext_), (ULONG)(SERIAL_MSR_DSR | SERIAL_MSR_DDSR));
    } else {
      emu::IoResult status = port.ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
      EXPECT_EQ(FromBytes<ULONG>(status.output) &
                    (SERIAL_MSR_DSR | SERIAL_MSR_DCD | SERIAL_MSR_DDSR | SERIAL_MSR_DDCD),
                (ULONG)(SERIAL_MSR_DSR | SERIAL_MSR_DDSR | SERIAL_MSR_DDCD));
    }
    EXPECT_EQ(model_->control_line_state(), usb::cdc::CONTROL_LINE_DTR | usb::cdc::CONTROL_LINE_RTS);
    EXPECT_EQ(ext_->ModemControl, MODEM_CONTROL_DTR | MODEM_CONTROL_RTS);

    std::vector<PKTHREAD> threads = Threads();
    for (size_t i = 0; i < threads.size(); i++) {
      if (i == 4 && !interrupt) {
        EXPECT_EQ(threads[i], nullptr) << "no interrupt pipe, no interrupt thread";
        continue;
      }
      ASSERT_NE(threads[i], nullptr) << i;
      EXPECT_FALSE(ThreadEnded(threads[i])) << i;
      EXPECT_TRUE(WaitUntil([&] { return KeQueryPriorityThread(threads[i]) == LOW_REALTIME_PRIORITY; })) << i;
    }
    EXPECT_NE(ext_->BulkInIrp, nullptr);
    EXPECT_EQ(ext_->InterruptIrp != nullptr, interrupt);
    ASSERT_NE(ext_->HandFlow, nullptr);
    EXPECT_EQ(ext_->HandFlow->ControlHandShake, (ULONG)(SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE));
    EXPECT_EQ(ext_->HandFlow->FlowReplace, (ULONG)SERIAL_RTS_HANDSHAKE);
    EXPECT_EQ(ext_->HandFlow->XonLimit, 2048);
    EXPECT_EQ(ext_->HandFlow->XoffLimit, 512);

    EXPECT_TRUE(ClosedCleanly(port.close()));
    EXPECT_EQ(model_->control_line_state(), 0);
    EXPECT_EQ(ext_->ModemControl & (MODEM_CONTROL_DTR | MODEM_CONTROL_RTS), 0u);
    // The close reports DSR off and the carrier on, each with its change.
    if (round == 0) {
      EXPECT_EQ(ModemStatusOf(ext_), (ULONG)(SERIAL_MSR_DCD | SERIAL_MSR_DDCD | SERIAL_MSR_DDSR));
    }
    ExpectClosedState(irpsBefore);
  }
  // Each open raised both lines and each cleanup dropped them; open sent no
  // line coding of its own.
  std::vector<uint16_t> sent;
  for (auto& r : ClassRequests(*model_, usb::cdc::SET_CONTROL_LINE_STATE)) sent.push_back(r.setup.wValue);
  EXPECT_EQ(sent, (std::vector<uint16_t>{3, 0, 3, 0}));
  EXPECT_FALSE(model_->line_coding().has_value());
}

INSTANTIATE_TEST_SUITE_P(Variants, OpenThreadsTest,
                         testing::Values(usb::cdc::Variant::acm, usb::cdc::Variant::acm_nointr),
                         [](const testing::TestParamInfo<usb::cdc::Variant>& info) {
                           return info.param == usb::cdc::Variant::acm ? "WithInterruptPipe"
                                                                       : "WithoutInterruptPipe";
                         });

// Two opens racing admit exactly one client; no other open, by the DOS name
// or the device's own, gets in until it is closed, and the refusals leave it
// working.
TEST_F(OpenCloseTest, OnlyOneClientAtATimeUntilTheFirstIsClosed) {
  StartScripted(usb::cdc::Variant::acm_nointr);
  for (int round = 0; round < 30; round++) {
    SCOPED_TRACE(round);
    std::atomic<int> ready{0};
    emu::Handle handles[2];
    auto opener = [&](int i) {
      ready++;
      while (ready.load() < 2) {
      }
      handles[i] = emu::open(u"COM5");
    };
    std::thread a(opener, 0), b(opener, 1);
    a.join();
    b.join();
    int opened = handles[0].is_open() + handles[1].is_open();
    ASSERT_EQ(opened, 1) << std::hex << handles[0].status() << " " << handles[1].status();
    emu::Handle& first = handles[handles[0].is_open() ? 0 : 1];
    EXPECT_EQ(handles[handles[0].is_open() ? 1 : 0].status(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Shared(&ext_->OpenCount), 1);
    if (round == 0) {
      EXPECT_EQ(emu::open(DeviceNameFor(1)).status(), STATUS_ACCESS_DENIED);
      EXPECT_EQ(first.write("AT\r").information, 3u);
      EXPECT_TRUE(WaitUntil([&] { return model_->out_data(usb::cdc::BULK_OUT_ENDPOINT).size() == 3; }));
    }
    EXPECT_TRUE(ClosedCleanly(first.close()));
    EXPECT_EQ(Shared(&ext_->OpenCount), 0);
  }
}

TEST_F(OpenCloseTest, EveryFailedOpenUnwindsAndThePortOpensAfterwards) {
  StartScripted(usb::cdc::Variant::acm);
  const size_t irpsBefore = emu::outstanding_irps();
  const size_t poolBefore = emu::pool::outstanding(POOL_TAG_DRIVER);

  struct Case {
    std::string what;
    std::function<void()> arm;
    NTSTATUS expected;
  };
  std::vector<Case> cases;
  for (size_t n = 1; n <= 5; n++) {
    cases.push_back({"thread " + std::to_string(n) + " not created",
                     [n] { emu::faults::fail_thread_creation(n); }, STATUS_INSUFFICIENT_RESOURCES});
  }
  cases.push_back(
      {"no bulk-IN packet", [] { emu::faults::fail_irp_allocation(1); }, STATUS_INSUFFICIENT_RESOURCES});
  cases.push_back(
      {"no interrupt packet", [] { emu::faults::fail_irp_allocation(2); }, STATUS_INSUFFICIENT_RESOURCES});
  cases.push_back({"no handshake record", [] { emu::faults::fail_tag(POOL_TAG_DRIVER); }, STATUS_NO_MEMORY});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    emu::trace::clear();
    c.arm();
    emu::Handle failed = emu::open(u"COM5");
    emu::faults::clear();
    EXPECT_EQ(failed.status(), c.expected);
    EXPECT_FALSE(failed.is_open());
    // The threads that did start were stopped and waited for before the
    // open returned; nothing of the attempt is left.
    ExpectClosedState(irpsBefore);
    EXPECT_EQ(emu::pool::outstanding(POOL_TAG_DRIVER), poolBefore);
    if (c.what == "thread 5 not created") {
      EXPECT_TRUE(emu::trace::contains("pInterruptPollingFunction  Error "));
    }

    emu::Handle port = emu::open(u"COM5");
    ASSERT_EQ(port.status(), STATUS_SUCCESS);
    EXPECT_EQ(port.write("AT\r").status, STATUS_SUCCESS);
    port.close();
    ExpectClosedState(irpsBefore);
  }
}

// A client closes with reads, waits, writes and a removal notification still
// pending: cleanup ends each once, the close waits for none, and the port
// reopens.
TEST_F(OpenCloseTest, CleanupEndsEveryRequestStillPendingOnThePort) {
  StartScripted(usb::cdc::Variant::acm_nointr);
  emu::Handle port = emu::open(u"COM5");
  ASSERT_EQ(port.status(), STATUS_SUCCESS);
  ASSERT_EQ(port.ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes<ULONG>(SERIAL_EV_CTS)).status, STATUS_SUCCESS);

  // A device that takes no data: one write on the bus, two behind it.
  model_->limit_out(usb::cdc::BULK_OUT_ENDPOINT, 0);
  std::vector<emu::RequestPtr> writes;
  for (int i = 0; i < 3; i++) writes.push_back(port.write_async("ATDT123\r"));
  ASSERT_TRUE(usb::wait_pending(dev_->pdo, usb::cdc::BULK_OUT_ENDPOINT, 1));

  // From here only the stop path may end anything: no read time-out fires.
  emu::clock::freeze();
  std::vector<emu::RequestPtr> reads, waits;
  for (int i = 0; i < 3; i++) reads.push_back(port.read_async(16));
  for (int i = 0; i < 2; i++) waits.push_back(port.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)));
  for (auto& r : reads) ASSERT_EQ(r->returned(), STATUS_PENDING);
  for (auto& w : waits) ASSERT_EQ(w->returned(), STATUS_PENDING);
  auto notify = port.ioctl_async(IOCTL_REMOVAL_NOTIFY, {}, sizeof(ULONG));
  ASSERT_EQ(notify->returned(), STATUS_PENDING);

  EXPECT_TRUE(ClosedCleanly(port.close())) << "close waits for no request";

  ASSERT_TRUE(Ended(reads[0], STATUS_SUCCESS, 0u));  // the current read ends without data
  for (size_t i = 1; i < reads.size(); i++) ASSERT_TRUE(Ended(reads[i], STATUS_CANCELLED));
  for (auto& w : waits) ASSERT_TRUE(Ended(w, STATUS_CANCELLED, 0u));
  for (auto& w : writes) ASSERT_TRUE(Ended(w, STATUS_CANCELLED, 0u));
  ASSERT_TRUE(Ended(notify, STATUS_CANCELLED, 0u));
  EXPECT_EQ(ext_->NotifyIrp, nullptr);
  EXPECT_TRUE(model_->out_data(usb::cdc::BULK_OUT_ENDPOINT).empty());
  EXPECT_EQ(Shared(&ext_->ArmedTimerCount), 0);
  EXPECT_TRUE(emu::is_quiescent());

  // The port reopens and writes, and no request kept its hold on the device.
  emu::clock::unfreeze();
  model_->limit_out(usb::cdc::BULK_OUT_ENDPOINT, std::nullopt);
  emu::Handle again = emu::open(u"COM5");
  ASSERT_EQ(again.status(), STATUS_SUCCESS);
  EXPECT_EQ(again.write("AT\r").information, 3u);
  EXPECT_EQ(again.close().close, STATUS_SUCCESS);
  EXPECT_EQ(dev_->node->query_remove(), STATUS_SUCCESS);
  EXPECT_EQ(dev_->node->remove(), STATUS_SUCCESS);
  dev_->removed = true;
}

}  // namespace
}  // namespace vrmdm_test::lifecycle
