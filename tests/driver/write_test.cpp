// Writes (their order on the wire is the pacing suite's): the bus's outcome
// passed to the client, writes longer than one transfer, the write time-out
// against a device that takes part or none of a write, the "ATS7=" switch
// of the CONNECT filter, and the transmit abort.
#include "datapath_support.h"

namespace vrmdm_test {
namespace {

class WriteTest : public OpenDataPathTest {
 protected:
  BOOLEAN SuppressConnect() {
    return Locked([&] { return ext_->SuppressConnect; });
  }
  // Waits until the device holds the next queued write (sent at once, clock
  // or not) and the write thread waits for it: its time-out runs from here.
  void SendNext() {
    ASSERT_TRUE(usb::wait_pending(dev_->pdo, kBulkOut, 1));
    ASSERT_TRUE(emu::ke::wait_for_waiters(&ext_->evWriteDone, 1));
  }
};

// A write goes out whole, in order, however long, in transfers the pipe
// takes; one that the device stops taking ends at the write time-out with
// STATUS_TIMEOUT and the bytes that went out, as a serial port's write
// does, so a client's retry sends only the rest.  The next write goes out
// whole after it.  A transfer the bus fails gives the bus's status and no
// bytes.
TEST_F(WriteTest, WritesGoOutWholeOrTimeOutWithTheBytesSent) {
  struct Row {
    const char* name;
    size_t length;
    std::optional<size_t> taken;  // what the device takes before it stops (nothing: all)
    bool fails = false;           // the bus fails the transfer
  };
  const Row rows[] = {
      {"Short", 5, std::nullopt},
      {"OneMebibyte", 1 << 20, std::nullopt},
      {"TimesOutPartWay", 5, 3},
      {"TimesOutWithNothingTaken", 5, 0},
      {"LongTimesOutInItsSecondTransfer", 1 << 20, (100 << 10) + 5},
      {"LongTimesOutOnATransferBoundary", 3 << 16, 1 << 16},
      {"FailedTransfer", 4, 0, true},
  };
  SetTimeouts(0, 50);
  FreezeClock();
  uint32_t seed = 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string data(row.length, '\0');
    for (char& c : data) c = char((seed = seed * 1103515245u + 12345u) >> 16);
    model_->take_out_data(kBulkOut);
    model_->limit_out(kBulkOut, row.taken);
    if (row.fails) {
      model_->limit_out(kBulkOut, std::nullopt);
      usb::inject_fault(dev_->pdo, kBulkOut,
                        usb::Fault::error(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_TIMEOUT));
    }
    auto w = port_->write_async(data);
    if (row.taken && !row.fails) {
      ASSERT_TRUE(WaitUntil([&] { return model_->out_data(kBulkOut).size() == *row.taken; }));
      SendNext();
      emu::clock::advance(49ms);
      EXPECT_FALSE(w->completed());
      emu::clock::advance(1ms);
    }
    const size_t sent = row.taken.value_or(row.length);
    ASSERT_TRUE(Ends(w,
                     row.fails   ? STATUS_IO_TIMEOUT
                     : row.taken ? STATUS_TIMEOUT
                                 : STATUS_SUCCESS,
                     sent, 10s));
    EXPECT_TRUE(OnTheWire() == data.substr(0, sent)) << "the bytes sent, in order, each once";
    EXPECT_EQ(PendingWrites(), 0);

    model_->limit_out(kBulkOut, std::nullopt);
    model_->take_out_data(kBulkOut);
    auto next = port_->write_async("next");
    ASSERT_TRUE(Ends(next, STATUS_SUCCESS, std::nullopt, 10s));
    EXPECT_EQ(OnTheWire(), "next");
  }
  // Each transfer within the pipe's maximum transfer size: the bus refuses
  // a longer one outright.
  EXPECT_EQ(usb::selected_max_transfer_size(dev_->pdo, kBulkOut), std::optional<ULONG>(1u << 16));
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
  ASSERT_TRUE(Ends(first, STATUS_TIMEOUT));

  SendNext();  // the device still takes nothing
  emu::clock::advance(49ms);
  EXPECT_FALSE(second->completed());
  EXPECT_FALSE(third->completed());
  emu::clock::advance(1ms);
  ASSERT_TRUE(Ends(second, STATUS_TIMEOUT));

  model_->limit_out(kBulkOut, std::nullopt);
  ASSERT_TRUE(StepUntil([&] { return third->completed(); }));
  EXPECT_TRUE(Ended(third, STATUS_SUCCESS));
  EXPECT_EQ(OnTheWire(), "third");
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

// A write the driver refuses (no system buffer, no node to queue it) is not
// queued and never reached the modem: it switches nothing, and the next
// write goes out.
TEST_F(WriteTest, RefusedWritesAreNotQueuedAndSwitchNothing) {
  EXPECT_EQ(port_->write(std::string_view()).status, STATUS_UNSUCCESSFUL);
  ASSERT_EQ(SuppressConnect(), FALSE);
  for (const char* command : {"ATS7=1\r", "ATS7=0\r"}) {
    SCOPED_TRACE(command);
    BOOLEAN before = SuppressConnect();
    emu::faults::fail_tag(POOL_TAG_REQUEST_NODE);
    auto r = port_->write_async(command);
    emu::faults::clear();
    ASSERT_TRUE(r->wait());
    EXPECT_EQ(r->returned(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(r->information(), 0u);
    EXPECT_EQ(PendingWrites(), 0);
    EXPECT_EQ(SuppressConnect(), before);
    model_->take_out_data(kBulkOut);
    ASSERT_EQ(port_->write(command).status, STATUS_SUCCESS);
    EXPECT_EQ(OnTheWire(), command);
    EXPECT_NE(SuppressConnect(), before);
  }
}

// A write cancelled alone ends at once and leaves the others; CancelIo and a
// transmit abort each end the write on the bus and every queued one.
// Nothing ended reaches the wire, and the port writes (and reads) on.
TEST_F(WriteTest, CancelAndTransmitAbortEndTheWriteOnTheBusAndTheQueuedOnes) {
  FreezeClock();  // the 100 s write time-out never runs out
  for (bool abort : {false, true}) {
    SCOPED_TRACE(abort ? "transmit abort" : "CancelIo");
    model_->limit_out(kBulkOut, 0);  // the device takes no data
    auto onBus = port_->write_async("bus");
    auto b = port_->write_async("b");
    auto c = port_->write_async("c");
    auto d = port_->write_async("d");
    SendNext();
    ASSERT_TRUE(c->cancel());
    ASSERT_TRUE(c->wait(2000ms));
    EXPECT_FALSE(onBus->completed() || b->completed() || d->completed());
    if (abort) {
      Deliver("rx");
      Purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXCLEAR);
      EXPECT_EQ(RingCount(), 0u) << "the receive clear given with the abort";
    } else {
      EXPECT_EQ(port_->cancel_io(), 3u);
    }
    for (auto* r : {&c, &onBus, &b, &d}) ASSERT_TRUE(Ends(*r, STATUS_CANCELLED, 0u));
    EXPECT_EQ(PendingWrites(), 0);
    EXPECT_EQ(emu::pool::outstanding(POOL_TAG_REQUEST_NODE), 0u);
    model_->limit_out(kBulkOut, std::nullopt);
    auto after = port_->write_async("after");
    ASSERT_TRUE(StepUntil([&] { return after->completed(); }));
    EXPECT_EQ(after->status(), STATUS_SUCCESS);
    EXPECT_EQ(model_->take_out_data(kBulkOut), (std::vector<uint8_t>{'a', 'f', 't', 'e', 'r'}));
  }
  Deliver("in");
  EXPECT_EQ(AsText(port_->read(8).output), "in");
}

}  // namespace
}  // namespace vrmdm_test
