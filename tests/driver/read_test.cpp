// Reads: immediate completion from the ring, the current read under its total
// time-out on the emulator's clock, the queue behind it, cancellation, purge
// and the timer's bookkeeping.
#include "datapath_support.h"

namespace vrmdm_test {
namespace {

using ReadTest = OpenDataPathTest;

TEST_F(ReadTest, MaxUlongIntervalExpiresAtOnceThroughTheTimer) {
  // An interval of MAXULONG with no totals is stored as the read constant;
  // the read then expires at once, not after MAXULONG milliseconds.
  SetTimeouts(0, 0, MAXULONG);
  FreezeClock();
  auto r = port_->read_async(4);
  EXPECT_EQ(r->returned(), STATUS_PENDING);
  ASSERT_TRUE(Ends(r, STATUS_SUCCESS, 0u));  // with no clock movement
}

// Queued reads wait their turn: a queued one cancelled leaves the others in
// arrival order; the current one ended by its time-out or cancelled promotes
// the next with a fresh timer; data goes to the reads in arrival order.
TEST_F(ReadTest, QueuedReadsArePromotedInOrderWithAFreshTimer) {
  SetTimeouts(500, 0);
  FreezeClock();
  std::vector<emu::RequestPtr> r;
  for (int i = 0; i < 6; i++) r.push_back(port_->read_async(2));
  EXPECT_EQ(r[0]->returned(), STATUS_PENDING);
  EXPECT_TRUE(r[2]->cancel());
  ASSERT_TRUE(Ends(r[2], STATUS_CANCELLED, 0u));
  // Each read is timed from its promotion, not from its arrival.
  auto timesOut = [&](const emu::RequestPtr& read) {
    emu::clock::advance(499ms);
    EXPECT_FALSE(read->completed());
    EXPECT_EQ(ArmedTimers(), 1);
    emu::clock::advance(1ms);
    ASSERT_TRUE(Ends(read, STATUS_SUCCESS, 0u));  // the total time-out ends an empty read without data
  };
  timesOut(r[0]);
  timesOut(r[1]);
  emu::clock::advance(100ms);
  EXPECT_TRUE(r[3]->cancel());
  ASSERT_TRUE(Ends(r[3], STATUS_CANCELLED));
  timesOut(r[4]);
  EXPECT_FALSE(r[5]->completed());

  // Data goes to the reads in arrival order as it comes, the clock standing.
  auto last = port_->read_async(2);
  Queue("abcdef");
  ASSERT_TRUE(r[5]->wait(2000ms));
  EXPECT_EQ(AsText(r[5]->output()), "ab");
  ASSERT_TRUE(last->wait(2000ms));
  EXPECT_EQ(AsText(last->output()), "cd");
  EXPECT_EQ(RingCount(), 2u);
  EXPECT_TRUE(WaitUntil([&] { return ArmedTimers() == 0; }));
}

// A read the ring can serve completes in the dispatch routine; one of no
// bytes is left to the read thread, and takes nothing.
TEST_F(ReadTest, ZeroLengthReadIsLeftToTheReadThreadOthersCompleteAtOnce) {
  Deliver("qabc");
  FreezeClock();
  auto r = port_->read_async(0);
  EXPECT_EQ(r->returned(), STATUS_PENDING);
  ASSERT_TRUE(StepUntil([&] { return r->completed(); }, 1ms, 3));
  EXPECT_TRUE(Ended(r, STATUS_SUCCESS, 0u));
  EXPECT_EQ(RingCount(), 4u);
  auto now = port_->read_async(10);
  EXPECT_EQ(now->returned(), STATUS_SUCCESS);
  EXPECT_EQ(AsText(now->output()), "qabc");
  EXPECT_EQ(RingCount(), 0u);
}

TEST_F(ReadTest, UnreportedEventCharacterHoldsReadsForTheReadThread) {
  SetWaitMask(SERIAL_EV_RXFLAG | SERIAL_EV_RXCHAR);
  SetEventChar('!');
  FreezeClock();
  Deliver("hi!");
  ASSERT_EQ(RxFlagSeen(), TRUE);

  auto r = port_->read_async(8);
  EXPECT_EQ(r->returned(), STATUS_PENDING);  // data there, but the event comes first
  auto w = WaitOnMask();
  EXPECT_EQ(w->returned(), STATUS_PENDING);
  ASSERT_TRUE(StepUntil([&] { return w->completed(); }, 1ms, 3));
  EXPECT_TRUE(Ended(w, STATUS_SUCCESS));
  EXPECT_EQ(EventsOf(w), (ULONG)(SERIAL_EV_RXFLAG | SERIAL_EV_RXCHAR));
  ASSERT_TRUE(r->wait(2000ms));
  EXPECT_EQ(AsText(r->output()), "hi!");
  EXPECT_EQ(RxFlagSeen(), FALSE);
}

TEST_F(ReadTest, PurgeEndsTheCurrentReadWithSuccessAndQueuedOnesAsCancelled) {
  SetTimeouts(500, 0);
  FreezeClock();
  auto a = port_->read_async(4);
  auto b = port_->read_async(4);
  auto c = port_->read_async(4);
  Purge(SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR);
  ASSERT_TRUE(Ends(a, STATUS_SUCCESS, 0u) && Ends(b, STATUS_CANCELLED) && Ends(c, STATUS_CANCELLED));
  EXPECT_EQ(ArmedTimers(), 0);
  EXPECT_NE(KeReadStateEvent(&ext_->evTimersIdle), 0);
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_REQUEST_NODE), 0u);
}

// A timer run that was already under way when its read left, and that finds
// the timer armed again for the next read, must leave that read and its
// arming alone.
TEST_F(ReadTest, StaleTimerRunLeavesTheNextCurrentReadAlone) {
  SetTimeouts(500, 0);
  FreezeClock();
  auto r = port_->read_async(4);
  ASSERT_EQ(ArmedTimers(), 1);
  emu::run_at_irql(DISPATCH_LEVEL, [&] { ReadTimeoutDpc(ext_->ReadTimerDpc, ext_, nullptr, nullptr); });
  EXPECT_EQ(ArmedTimers(), 1);
  EXPECT_EQ(KeReadStateEvent(&ext_->evTimersIdle), 0);
  EXPECT_FALSE(r->completed());
  emu::clock::advance(499ms);
  EXPECT_FALSE(r->completed());
  emu::clock::advance(1ms);
  ASSERT_TRUE(Ends(r, STATUS_SUCCESS));
  EXPECT_TRUE(WaitUntil([&] { return ArmedTimers() == 0; }));
  EXPECT_NE(KeReadStateEvent(&ext_->evTimersIdle), 0);
}

// A handle closed with its read waiting (interval and total time-outs)
// leaves no arming behind, and an open counts armings afresh whatever the
// last handle left (here a count planted as a broken sequence would leave
// it): the new handle's reads time out, the timer falls idle after them,
// and its close does not wait for an arming that never ends.
TEST_F(ReadTest, AReopenedPortCountsItsReadTimersAfresh) {
  SetTimeouts(500, 0, 20);
  auto r = port_->read_async(4);
  ASSERT_EQ(r->returned(), STATUS_PENDING);
  port_->close();
  ASSERT_TRUE(r->completed());
  EXPECT_EQ(ArmedTimers(), 0);
  InterlockedExchange(&ext_->ArmedTimerCount, 1);
  port_ = &Open();
  ASSERT_TRUE(port_->is_open());
  if (ArmedTimers() != 0) {
    ADD_FAILURE() << "the open kept an arming count of " << ArmedTimers();
    InterlockedExchange(&ext_->ArmedTimerCount, 0);  // lets cleanup through
  }
  SetTimeouts(300, 0, 20);
  FreezeClock();
  for (int i = 0; i < 2; i++) {
    auto again = port_->read_async(4);
    emu::clock::advance(299ms);
    EXPECT_FALSE(again->completed());
    emu::clock::advance(1ms);
    ASSERT_TRUE(Ends(again, STATUS_SUCCESS, 0u));
    emu::ke::flush_dpcs();
    EXPECT_EQ(ArmedTimers(), 0);
    EXPECT_NE(KeReadStateEvent(&ext_->evTimersIdle), 0);
  }
}

TEST(RequestListTest, RemoveIrpKeepsTheOrderOfTheOthers) {
  REQUEST_LIST list;
  RequestListInit(&list);
  PIRP irps[4];
  for (int i = 0; i < 4; i++) {
    irps[i] = reinterpret_cast<PIRP>(uintptr_t(0x1000 * (i + 1)));  // never dereferenced
    ASSERT_TRUE(RequestListInsertTail(&list, irps[i]));
  }
  auto order = [&] {
    std::vector<PIRP> seen;
    for (PREQUEST_NODE n = list.Next; n != (PREQUEST_NODE)&list; n = n->Next) seen.push_back(n->Irp);
    return seen;
  };
  PIRP stranger = reinterpret_cast<PIRP>(uintptr_t(0x9000));
  EXPECT_FALSE(RequestListRemoveIrp(&list, stranger));
  EXPECT_EQ(order(), (std::vector<PIRP>{irps[0], irps[1], irps[2], irps[3]}));
  EXPECT_TRUE(RequestListRemoveIrp(&list, irps[2]));
  EXPECT_EQ(order(), (std::vector<PIRP>{irps[0], irps[1], irps[3]}));
  while (PREQUEST_NODE n = RequestListRemoveHead(&list)) RequestNodeFree(n);
  EXPECT_TRUE(RequestListIsEmpty(&list));
  EXPECT_FALSE(RequestListRemoveIrp(&list, irps[0]));
  EXPECT_EQ(emu::pool::outstanding(POOL_TAG_REQUEST_NODE), 0u);
}

TEST_F(ReadTest, NoNodeForAQueuedReadFailsItWithoutPending) {
  SetTimeouts(500, 0);
  FreezeClock();
  auto a = port_->read_async(4);
  emu::faults::fail_tag(POOL_TAG_REQUEST_NODE);
  auto b = port_->read_async(4);
  emu::faults::clear();
  ASSERT_TRUE(Ends(b, STATUS_INSUFFICIENT_RESOURCES));
  EXPECT_EQ(b->returned(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(a->completed());
}

}  // namespace
}  // namespace vrmdm_test
