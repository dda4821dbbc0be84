// Wait-on-mask: which events complete a waiting request, the modem-status
// change bits, the queue's limit and its order under cancellation, and
// exactly-once completion when cancellation races the evaluations.
#include <random>

#include "datapath_support.h"

namespace vrmdm_test {
namespace {

constexpr ULONG kDsr = MODEM_STATUS_DSR, kDcd = MODEM_STATUS_DCD;
constexpr ULONG kDsrChanged = MODEM_STATUS_DSR_CHANGED, kDcdChanged = MODEM_STATUS_DCD_CHANGED;

class WaitMaskTest : public OpenDataPathTest {
 protected:
  void SetModemStatus(ULONG value) {
    Locked([&] { return ext_->ModemStatus = value; });
  }
};

TEST_F(WaitMaskTest, ModemStatusUpdateFollowsTheLineTable) {
  struct Row {
    ULONG before, lines, after;
  };
  const Row rows[] = {
      // DSR: an unchanged line leaves its change bit as it is (a change not
      // yet reported stays); set/clear sets line and change, clear/set
      // clears the line and sets change.
      {kDsr | kDsrChanged, kDsr, kDsr | kDsrChanged},
      {kDsr, kDsr, kDsr},
      {0, kDsr, kDsr | kDsrChanged},
      {kDsrChanged, 0, kDsrChanged},
      {kDsr, 0, kDsrChanged},
      // The same for DCD.
      {kDcd | kDcdChanged, kDcd, kDcd | kDcdChanged},
      {0, kDcd, kDcd | kDcdChanged},
      {kDcdChanged, 0, kDcdChanged},
      {kDcd, 0, kDcdChanged},
      // Both at once; argument bits other than DSR and DCD are ignored.
      {kDsr, 0xFFFFFFFFu & ~kDsr, kDsrChanged | kDcd | kDcdChanged},
      {kDsr | kDcd, 0xFFFFFFFFu, kDsr | kDcd},
  };
  for (const Row& row : rows) {
    SetModemStatus(row.before);
    UpdateModemStatus(ext_, row.lines);
    EXPECT_EQ(ModemStatus(), row.after) << std::hex << "before " << row.before << " lines " << row.lines;
  }
}

TEST_F(WaitMaskTest, ALineChangeIsKeptOnlyUnderItsEventAndOnlyUntilTheNextMask) {
  // A serial port's event history: a change is kept for a waiter only while
  // the mask holds its event, and a new mask starts with none kept.  A
  // change reported goes; one not asked for stays.
  constexpr ULONG RXCHAR = SERIAL_EV_RXCHAR, RLSD = SERIAL_EV_RLSD, DSR = SERIAL_EV_DSR;
  struct Row {
    const char* what;
    ULONG from;  // the lines before
    ULONG maskAtChange;
    ULONG lines;  // the new DSR/DCD lines
    std::vector<ULONG> masksAfter;
    ULONG reported;  // by the next wait, 0: none
    ULONG left;      // the modem status once reported
    bool twice = false;
  } rows[] = {
      {"carrier under RXCHAR, then 0, then RLSD", 0, RXCHAR, kDcd, {0, RLSD}, 0, 0},
      {"carrier under RLSD, RLSD set again", 0, RLSD, kDcd, {RLSD}, 0, 0},
      {"carrier under RLSD, DSR added", 0, RLSD, kDcd, {DSR}, 0, 0},
      {"carrier and DSR under DSR, RLSD added", 0, DSR, kDsr | kDcd, {RLSD}, 0, 0},
      {"carrier and DSR under DSR", 0, DSR, kDsr | kDcd, {}, DSR, kDsr | kDcd | kDcdChanged},
      {"carrier under RLSD", 0, RLSD, kDcd, {}, RLSD, kDcd},
      {"carrier on, DSR off under RLSD", kDsr, RLSD, kDcd, {}, RLSD, kDcd | kDsrChanged},
      // The same lines twice: the second says nothing new, and takes nothing back.
      {"carrier twice under RLSD", 0, RLSD, kDcd, {}, RLSD, kDcd, true},
  };
  FreezeClock();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    SetModemStatus(row.from);
    SetWaitMask(0);
    SetWaitMask(row.maskAtChange);
    UpdateModemStatus(ext_, row.lines);
    if (row.twice) UpdateModemStatus(ext_, row.lines);
    SettleWorkers();  // the wait-mask thread's look, with no request to tell
    for (ULONG mask : row.masksAfter) SetWaitMask(mask);
    auto w = WaitOnMask();
    if (row.reported != 0) {
      ASSERT_TRUE(StepUntil([&] { return w->completed(); }, 5ms, 3));
      EXPECT_TRUE(Ended(w, STATUS_SUCCESS, sizeof(ULONG)));
      EXPECT_EQ(EventsOf(w), row.reported);
      EXPECT_EQ(ModemStatus(), row.left);
      w = WaitOnMask();  // reported once: nothing more to report
    }
    SettleWorkers();
    emu::clock::advance(20ms);
    EXPECT_FALSE(w->completed()) << "reported a change from before the client asked, or twice";
    SetWaitMask(0);
    ASSERT_TRUE(w->wait(2000ms));
    EXPECT_EQ(EventsOf(w), 0u);
  }
}

TEST_F(WaitMaskTest, ReceivedDataIsReportedButLeftInTheRing) {
  SetWaitMask(SERIAL_EV_RXCHAR);
  FreezeClock();
  auto w = WaitOnMask();
  Deliver("z");  // the evaluation after the stored transfer reports it
  ASSERT_TRUE(w->wait(2000ms));
  EXPECT_EQ(EventsOf(w), (ULONG)SERIAL_EV_RXCHAR);
  EXPECT_EQ(RingCount(), 1u);
  // Unread data completes every new wait at the next look.
  auto w2 = WaitOnMask();
  ASSERT_TRUE(StepUntil([&] { return w2->completed(); }, 1ms, 3));
  EXPECT_EQ(EventsOf(w2), (ULONG)SERIAL_EV_RXCHAR);
  EXPECT_EQ(RingCount(), 1u);
}

TEST_F(WaitMaskTest, DataAndDcdChangeCompleteOneRequestWithBothEvents) {
  SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RLSD);
  FreezeClock();
  Deliver("d");  // stored while no request waits
  SetModemStatus(kDsr);
  UpdateModemStatus(ext_, kDsr | kDcd);
  // The change wakes the wait-mask thread: let its look (with no request to
  // tell) pass before the requests come, so only the call below evaluates.
  SettleWorkers();
  auto w = WaitOnMask();
  auto w2 = WaitOnMask();
  EvaluateWaitMask(ext_);
  ASSERT_TRUE(w->wait(2000ms));
  EXPECT_EQ(EventsOf(w), (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_RLSD));
  EXPECT_FALSE(w2->completed());
  EXPECT_EQ(ModemStatus() & kDcdChanged, 0u);
}

TEST_F(WaitMaskTest, MasksWithoutReportableEventsNeverComplete) {
  FreezeClock();
  SetModemStatus(0);
  SetWaitMask(0);
  auto w = WaitOnMask();
  Deliver("data");
  UpdateModemStatus(ext_, kDsr | kDcd);
  emu::clock::advance(20ms);
  EXPECT_FALSE(w->completed());

  // RXFLAG needs an event character, not just data.
  SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_RING | SERIAL_EV_BREAK | SERIAL_EV_ERR | SERIAL_EV_TXEMPTY |
              SERIAL_EV_RXFLAG);
  ASSERT_TRUE(Ends(w, STATUS_SUCCESS));  // a new mask ends the waiting request, with no event
  EXPECT_EQ(EventsOf(w), 0u);
  auto w2 = WaitOnMask();
  UpdateModemStatus(ext_, 0);
  Deliver("plain");
  emu::clock::advance(20ms);
  EXPECT_FALSE(w2->completed());
}

TEST_F(WaitMaskTest, QueueTakesNinetyNineRequestsAndRefusesTheHundredth) {
  FreezeClock();
  SetWaitMask(0);
  std::vector<emu::RequestPtr> waits;
  for (int i = 0; i < 99; i++) {
    waits.push_back(WaitOnMask());
    ASSERT_EQ(waits.back()->returned(), STATUS_PENDING) << i;
  }
  EXPECT_EQ(QueuedWaits(), 99u);
  auto refused = WaitOnMask();
  ASSERT_TRUE(Ends(refused, STATUS_INSUFFICIENT_RESOURCES, 0u));
  EXPECT_EQ(refused->returned(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(QueuedWaits(), 99u);

  // Cleanup ends every queued request as cancelled.
  emu::clock::unfreeze();
  port_->close();
  for (auto& w : waits) ASSERT_TRUE(Ends(w, STATUS_CANCELLED));
}

TEST_F(WaitMaskTest, CancellingTheThirdOfFiveRotatesTheOthers) {
  FreezeClock();  // no evaluation may rotate the queue meanwhile
  SetWaitMask(0);
  std::vector<emu::RequestPtr> w;
  for (int i = 0; i < 5; i++) w.push_back(WaitOnMask());
  ASSERT_TRUE(w[2]->cancel());
  ASSERT_TRUE(Ends(w[2], STATUS_CANCELLED, 0u));
  // Each mask change ends the head request only, with no event: the order
  // is now 4, 5, 1, 2.
  const int order[] = {3, 4, 0, 1};
  for (size_t k = 0; k < 4; k++) {
    SetWaitMask(k % 2 == 0 ? SERIAL_EV_RING : 0);  // an event that never comes, or none
    ASSERT_TRUE(Ends(w[order[k]], STATUS_SUCCESS, sizeof(ULONG))) << "position " << k;
    EXPECT_EQ(EventsOf(w[order[k]]), 0u);
    for (size_t j = k + 1; j < 4; j++) {
      EXPECT_FALSE(w[order[j]]->completed()) << "position " << j << " ended early";
    }
  }
  EXPECT_EQ(QueuedWaits(), 0u);
}

// Cancellation racing the three evaluators (the polling thread after each
// transfer, the read thread every millisecond, the wait-mask thread every
// 5 ms): each request ends exactly once, as an event or as cancelled.
TEST_F(WaitMaskTest, CancelRacingTheEvaluationsCompletesEachRequestOnce) {
  SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_RLSD);
  const int rounds = kSanitized ? 400 : 3000;
  std::mt19937 rng(99);
  int events = 0, cancelled = 0;
  for (int round = 0; round < rounds; round++) {
    std::vector<emu::RequestPtr> waits;
    int count = 1 + rng() % 3;
    for (int i = 0; i < count; i++) waits.push_back(WaitOnMask());
    const unsigned what = rng() % 3;  // data, a carrier change or nothing
    if (what == 0) Queue("e");
    if (what == 1) UpdateModemStatus(ext_, (rng() & 1) ? kDcd : 0);
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
    if (rng() % 2) {
      waits[rng() % waits.size()]->cancel();
    } else {
      port_->cancel_io();
    }
    for (auto& w : waits) {
      if (!w->completed()) w->cancel();
      ASSERT_TRUE(w->wait(5000ms)) << "round " << round;
      if (w->status() == STATUS_CANCELLED) {
        ASSERT_EQ(w->information(), 0u);
        cancelled++;
      } else {
        ASSERT_EQ(w->status(), STATUS_SUCCESS);
        ASSERT_NE(EventsOf(w), 0u);
        events++;
      }
    }
    TakeRing();
  }
  EXPECT_GT(events, 0);
  EXPECT_GT(cancelled, 0);
  EXPECT_EQ(QueuedWaits(), 0u);
  EXPECT_EQ(emu::verifier::count(), 0u);
}

}  // namespace
}  // namespace vrmdm_test
