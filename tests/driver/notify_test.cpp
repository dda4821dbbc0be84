// The removal-notification request: one parked at a time, handed back once
// by surprise removal or by cancellation, whichever gets it first.
#include <atomic>
#include <thread>

#include "port_test_helpers.h"

namespace vrmdm_test {
namespace {

using NotifyTest = OpenPortTest;

emu::RequestPtr Park(emu::Handle& port) { return port.ioctl_async(IOCTL_REMOVAL_NOTIFY, {}, sizeof(ULONG)); }

// A parked request ends exactly one of two ways.
void ExpectRemovedOrCancelled(const emu::RequestPtr& r) {
  ASSERT_TRUE(r->wait());
  EXPECT_TRUE(Ended(r, STATUS_CANCELLED, 0u) ||
              (Ended(r, STATUS_SUCCESS) && r->output() == AsBytes<ULONG>(REMOVAL_NOTIFY_SURPRISE_REMOVED)));
}

TEST_F(NotifyTest, OneSlotRefusesASecondRequestUntilTheFirstIsCancelled) {
  auto first = Park(*port_);
  EXPECT_EQ(first->returned(), STATUS_PENDING);
  EXPECT_FALSE(first->completed());

  // Refused with the reason in its buffer (an error status: the I/O manager
  // copies no output back, so only the reported length is visible here).
  emu::IoResult second = Ioctl(IOCTL_REMOVAL_NOTIFY, {}, 4);
  EXPECT_TRUE(Answers(second, STATUS_UNSUCCESSFUL, 4u));
  EXPECT_FALSE(first->completed());

  EXPECT_TRUE(first->cancel());
  ASSERT_TRUE(Ends(first, STATUS_CANCELLED, 0u, emu::request_wait_limit()));

  auto third = Park(*port_);
  EXPECT_EQ(third->returned(), STATUS_PENDING);
  EXPECT_FALSE(third->completed());
  EXPECT_EQ(port_->cancel_io(), 1u);
  ASSERT_TRUE(Ends(third, STATUS_CANCELLED, std::nullopt, emu::request_wait_limit()));
}

TEST_F(NotifyTest, SurpriseRemovalHandsTheParkedRequestBack) {
  auto parked = Park(*port_);
  ASSERT_FALSE(parked->completed());
  ASSERT_EQ(dev_->node->surprise_remove(), STATUS_SUCCESS);
  ASSERT_TRUE(Ends(parked, STATUS_SUCCESS, 4u, emu::request_wait_limit()));
  EXPECT_EQ(FromBytes<ULONG>(parked->output()), REMOVAL_NOTIFY_SURPRISE_REMOVED);

  // Nothing more parks on a removed device, no open gets in (and a refused
  // one counts no client), and the removal is not held up.
  EXPECT_EQ(Ioctl(IOCTL_REMOVAL_NOTIFY, {}, 4).status, STATUS_NOT_SUPPORTED);
  port_->close();
  EXPECT_FALSE(emu::open(u"COM5").is_open()) << "the DOS name is gone";
  EXPECT_EQ(emu::open(DeviceNameFor(1)).status(), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(InterlockedCompareExchange(&ext()->OpenCount, 0, 0), 0);
  EXPECT_EQ(dev_->node->remove(), STATUS_SUCCESS);
  dev_->removed = true;
  EXPECT_EQ(dev_->node->fdo(), nullptr);
}

TEST_F(NotifyTest, CancellationRacingTheParkingEndsEveryRequestOnce) {
  // A canceller spins over the port's pending requests while requests are
  // parked one after another: some are cancelled before their cancel routine
  // is set, some after.  Each must end cancelled, once, and free the slot.
  std::atomic<bool> stop{false};
  std::thread canceller([&] {
    while (!stop.load()) port_->cancel_io();
  });
  for (int round = 0; round < 3000; ++round) {
    auto r = Park(*port_);
    if (!r->wait(std::chrono::seconds(5))) {
      ADD_FAILURE() << "round " << round << ": never cancelled";
      break;
    }
    if (r->status() != STATUS_CANCELLED) {
      ADD_FAILURE() << "round " << round << ": status " << std::hex << r->status();
      break;
    }
  }
  stop = true;
  canceller.join();
  EXPECT_EQ(emu::verifier::count(), 0u);
}

using NotifyRemovalRaceTest = DriverFixture;

// Surprise removal racing, every other round, the cancellation of a parked
// request (which ends one way or the other) or the parking itself (the
// request is refused, or parked and handed back; it never stays parked on a
// removed device).
TEST_F(NotifyRemovalRaceTest, SurpriseRemovalRacingCancellationOrTheParking) {
  int removed = 0, cancelled = 0, refused = 0;
  for (int round = 0; round < 600 && !HasFailure(); ++round) {
    SCOPED_TRACE(round);
    const bool cancel = round % 2 == 0;
    ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::open));
    emu::RequestPtr r;
    if (cancel) {
      r = Park(*port_);
      ASSERT_FALSE(r->completed());
    }
    std::atomic<int> ready{0};
    std::thread remover([&] {
      ready++;
      while (ready.load() < 2) {
      }
      EXPECT_EQ(dev_->node->surprise_remove(), STATUS_SUCCESS);
    });
    ready++;
    while (ready.load() < 2) {
    }
    if (cancel) {
      r->cancel();
    } else {
      r = Park(*port_);
    }
    remover.join();
    ASSERT_TRUE(r->wait(std::chrono::seconds(5))) << "left parked after removal";
    if (!cancel && r->status() == STATUS_NOT_SUPPORTED) {
      EXPECT_EQ(r->information(), 0u);
      refused++;
    } else if (cancel) {
      ExpectRemovedOrCancelled(r);
      (r->status() == STATUS_SUCCESS ? removed : cancelled)++;
    } else {
      EXPECT_EQ(r->status(), STATUS_SUCCESS);
      EXPECT_EQ(FromBytes<ULONG>(r->output()), REMOVAL_NOTIFY_SURPRISE_REMOVED);
    }
    port_->close();
    EXPECT_EQ(dev_->node->remove(), STATUS_SUCCESS);  // no RemoveLock acquisition left behind
    dev_->removed = true;
  }
  RecordProperty("removed", removed);
  RecordProperty("cancelled", cancelled);
  RecordProperty("refused", refused);
}

}  // namespace
}  // namespace vrmdm_test
