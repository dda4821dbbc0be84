// Writes: order on the wire, the bus's outcome passed to the client, the
// write time-out against a device that never finishes, the "ATS7=" switch of
// the CONNECT filter, and the transmit abort.
#include "datapath_support.h"

namespace vrmdm_test {
namespace {

class WriteTest : public DataPathTest {
 protected:
  void SetUp() override {
    DataPathTest::SetUp();
    OpenScripted();
  }
  std::string OnTheWire() { return AsText(model_->out_data(kBulkOut)); }
  BOOLEAN SuppressConnect() {
    return Locked([&] { return ext_->SuppressConnect; });
  }
  LONG PendingWrites() { return InterlockedCompareExchange(&ext_->PendingWriteCount, 0, 0); }
  // Lets the write thread take the next queued write and waits until the
  // device holds it.
  // The write thread sends a queued write at once, clock or not; its
  // time-out runs from when it waits for the write on the bus.
  void SendNext() {
    ASSERT_TRUE(usb::wait_pending(dev_->pdo, kBulkOut, 1));
    ASSERT_TRUE(emu::ke::wait_for_waiters(&ext_->evWriteDone, 1));
  }
};

TEST_F(WriteTest, WritesReachTheDeviceOneAtATimeInArrivalOrder) {
  auto a = port_->write_async("first,");
  auto b = port_->write_async("second,");
  auto c = port_->write_async("third");
  EXPECT_EQ(a->returned(), STATUS_PENDING);
  for (auto& [r, n] : {std::pair{a, 6u}, {b, 7u}, {c, 5u}}) {
    ASSERT_TRUE(r->wait());
    EXPECT_EQ(r->status(), STATUS_SUCCESS);
    EXPECT_EQ(r->information(), n);
  }
  EXPECT_EQ(OnTheWire(), "first,second,third");
  EXPECT_EQ(model_->out_transfers(kBulkOut), 3u);
  EXPECT_EQ(PendingWrites(), 0);
}

TEST_F(WriteTest, FailedTransferGivesTheBusStatusAndNoBytes) {
  usb::inject_fault(dev_->pdo, kBulkOut,
                    usb::Fault::error(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_TIMEOUT));
  auto bad = port_->write("lost");
  EXPECT_EQ(bad.status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(bad.information, 0u);
  auto good = port_->write("0123456789");
  EXPECT_EQ(good.status, STATUS_SUCCESS);
  EXPECT_EQ(good.information, 10u);
  EXPECT_EQ(OnTheWire(), "0123456789");
}

TEST_F(WriteTest, RefusedWritesAreNotQueued) {
  auto empty = port_->write(std::string_view());  // no system buffer
  EXPECT_EQ(empty.status, STATUS_UNSUCCESSFUL);
  emu::faults::fail_tag(POOL_TAG_REQUEST_NODE);
  auto r = port_->write_async("nomem");
  emu::faults::clear();
  ASSERT_TRUE(r->wait());
  EXPECT_EQ(r->returned(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(r->information(), 0u);
  EXPECT_EQ(PendingWrites(), 0);
  EXPECT_EQ(port_->write("ok").status, STATUS_SUCCESS);
  EXPECT_EQ(OnTheWire(), "ok");
}

TEST_F(WriteTest, TimeOutCancelsATransferTheDeviceNeverFinishes) {
  SetTimeouts(0, 50);
  model_->limit_out(kBulkOut, 0);  // the device never takes the data
  FreezeClock();
  auto stuck = port_->write_async("stuck");
  auto next = port_->write_async("next");
  SendNext();
  emu::clock::advance(49ms);
  EXPECT_FALSE(stuck->completed());
  EXPECT_FALSE(next->completed());
  emu::clock::advance(1ms);
  ASSERT_TRUE(stuck->wait(2000ms));
  EXPECT_EQ(stuck->status(), STATUS_CANCELLED);
  EXPECT_EQ(stuck->information(), 0u);
  model_->limit_out(kBulkOut, std::nullopt);
  ASSERT_TRUE(StepUntil([&] { return next->completed(); }));
  EXPECT_EQ(next->status(), STATUS_SUCCESS);
  EXPECT_EQ(next->information(), 4u);
  EXPECT_EQ(OnTheWire(), "next");
  EXPECT_EQ(PendingWrites(), 0);
}

// The completion of a write cancelled on time-out must not be taken for that
// of the write sent after it: the next write is still timed, and cancelled,
// on its own, and no third write goes out while it is on the bus.
TEST_F(WriteTest, LateCompletionOfACancelledWriteIsNotTakenForTheNext) {
  SetTimeouts(0, 50);
  model_->limit_out(kBulkOut, 0);  // the device never takes the data
  FreezeClock();
  auto first = port_->write_async("first");
  auto second = port_->write_async("second");
  auto third = port_->write_async("third");
  SendNext();
  emu::clock::advance(50ms);
  ASSERT_TRUE(first->wait(2000ms));
  EXPECT_EQ(first->status(), STATUS_CANCELLED);

  SendNext();  // the device still takes nothing
  emu::clock::advance(49ms);
  EXPECT_FALSE(second->completed());
  EXPECT_FALSE(third->completed());
  emu::clock::advance(1ms);
  ASSERT_TRUE(second->wait(2000ms));
  EXPECT_EQ(second->status(), STATUS_CANCELLED);

  model_->limit_out(kBulkOut, std::nullopt);
  ASSERT_TRUE(StepUntil([&] { return third->completed(); }));
  EXPECT_EQ(third->status(), STATUS_SUCCESS);
  EXPECT_EQ(OnTheWire(), "third");
}

TEST_F(WriteTest, DefaultWriteTimeOutIsOneHundredSeconds) {
  model_->limit_out(kBulkOut, 0);  // the device never takes the data
  FreezeClock();
  auto w = port_->write_async("slow");
  SendNext();
  emu::clock::jump(99'998ms);
  EXPECT_FALSE(w->completed());
  emu::clock::jump(2ms);
  ASSERT_TRUE(w->wait(2000ms));
  EXPECT_EQ(w->status(), STATUS_CANCELLED);
}

TEST_F(WriteTest, Ats7CommandSwitchesTheConnectFilter) {
  struct Step {
    std::string_view write;
    int expect;  // -1: unchanged from before
  };
  const Step steps[] = {
      {"ATS7=1\r", 1},   {"ATS7=0\r", 0}, {"ATS7=1\r", 1},  {"ATS7=1", 0},   {"ATS7=1\r", 1},
      {"ATS7=10\r", 0},  {"ATS7=1\r", 1}, {"ats7=0\r", -1}, {"ATS7", -1},    {"AT\r", -1},
      {"XATS7=0\r", -1}, {"ATS7=", 0},    {"ATS7=1x", 1},   {"ATS7=2\r", 0}, {"ATS7=1\n", 1},
  };
  BOOLEAN before = SuppressConnect();
  std::string all;
  for (const Step& s : steps) {
    auto r = port_->write(s.write);
    ASSERT_EQ(r.status, STATUS_SUCCESS) << s.write;
    BOOLEAN now = SuppressConnect();
    EXPECT_EQ(now, s.expect < 0 ? before : (BOOLEAN)s.expect) << "after \"" << s.write << "\"";
    before = now;
    all += s.write;
  }
  EXPECT_EQ(OnTheWire(), all);  // the commands themselves go to the modem
}

TEST_F(WriteTest, Ats7SwitchHoldsEvenWhenTheWriteIsRefused) {
  ASSERT_EQ(SuppressConnect(), FALSE);
  emu::faults::fail_tag(POOL_TAG_REQUEST_NODE);
  auto r = port_->write("ATS7=1\r");
  emu::faults::clear();
  EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(SuppressConnect(), TRUE);
}

TEST_F(WriteTest, TransmitAbortEndsTheWriteOnTheBusAndTheQueuedOnes) {
  model_->limit_out(kBulkOut, 0);  // the device never takes the data
  FreezeClock();
  auto onBus = port_->write_async("bus");
  auto q1 = port_->write_async("q1");
  auto q2 = port_->write_async("q2");
  SendNext();
  Purge(SERIAL_PURGE_TXABORT);
  for (auto* r : {&q1, &q2, &onBus}) {
    ASSERT_TRUE((*r)->wait(2000ms));
    EXPECT_EQ((*r)->status(), STATUS_CANCELLED);
    EXPECT_EQ((*r)->information(), 0u);
  }
  EXPECT_EQ(PendingWrites(), 0);
  model_->limit_out(kBulkOut, std::nullopt);
  auto after = port_->write_async("after");
  ASSERT_TRUE(StepUntil([&] { return after->completed(); }));
  EXPECT_EQ(after->status(), STATUS_SUCCESS);
  EXPECT_EQ(OnTheWire(), "after");
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_REQUEST_NODE), 0u);
}

TEST_F(WriteTest, ClosingThePortDoesNotWaitOutAStuckWrite) {
  model_->limit_out(kBulkOut, 0);  // the device never takes the data
  FreezeClock();                   // a 100 s time-out that never runs out
  auto w = port_->write_async("stuck");
  auto queued = port_->write_async("queued");
  SendNext();
  auto closed = port_->close();
  EXPECT_EQ(closed.cleanup, STATUS_SUCCESS);
  ASSERT_TRUE(w->wait(2000ms));
  EXPECT_EQ(w->status(), STATUS_CANCELLED);
  ASSERT_TRUE(queued->wait(2000ms));
  EXPECT_EQ(queued->status(), STATUS_CANCELLED);
}

}  // namespace
}  // namespace vrmdm_test
