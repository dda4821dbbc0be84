// The modem pulled out from under a busy port: every request ends exactly
// once, cleanup and close run, the removal finishes and nothing is left
// behind.
#include <thread>

#include "serial/notify.h"
#include "support/port_fixture.h"

namespace vrmdm_test::lifecycle {
namespace {

using RemovalTest = LifecycleFixture;

enum class Order {
  SurpriseRemovalThenClose,  // the system's order when the modem is pulled out
  CloseRacingRemoval,        // the client closes while surprise removal runs
  RemovalWaitsForTheHandle,  // removal asked while the port is still open
};

class RemovalUnderLoadTest : public RemovalTest, public testing::WithParamInterface<Order> {};

TEST_P(RemovalUnderLoadTest, EveryRequestEndsOnceAndTheDeviceGoes) {
  const int rounds = 4;
  for (int round = 0; round < rounds; round++) {
    SCOPED_TRACE(round);
    ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::open));
    PDEVICE_OBJECT fdo = dev_->fdo();

    auto notify = port_->ioctl_async(IOCTL_REMOVAL_NOTIFY, {}, sizeof(ULONG));
    ASSERT_EQ(notify->returned(), STATUS_PENDING);
    ASSERT_EQ(port_->ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes<ULONG>(SERIAL_EV_CTS)).status, STATUS_SUCCESS);
    model_->limit_out(usb::cdc::BULK_OUT_ENDPOINT, 0);
    std::vector<emu::RequestPtr> writes, reads, waits;
    for (int i = 0; i < 3; i++) writes.push_back(port_->write_async("ATDT5551234\r"));
    for (int i = 0; i < 3; i++) reads.push_back(port_->read_async(64));
    for (int i = 0; i < 3; i++)
      waits.push_back(port_->ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)));
    ASSERT_TRUE(usb::wait_pending(dev_->pdo, usb::cdc::BULK_OUT_ENDPOINT, 1));

    // Names the requests not yet completed, for a removal left pending.
    auto unfinished = [&] {
      std::string names;
      auto note = [&](const char* kind, const std::vector<emu::RequestPtr>& requests) {
        for (size_t i = 0; i < requests.size(); i++) {
          if (!requests[i]->completed()) names += std::string(" ") + kind + std::to_string(i);
        }
      };
      if (!notify->completed()) names += " notify";
      note("write", writes);
      note("read", reads);
      note("wait", waits);
      return names.empty() ? std::string(" none") : names;
    };

    usb::unplug(dev_->pdo);
    emu::CloseResult closed;
    switch (GetParam()) {
      case Order::SurpriseRemovalThenClose:
        ASSERT_EQ(dev_->node->surprise_remove(), STATUS_SUCCESS);
        closed = port_->close();
        ASSERT_EQ(dev_->node->remove(), STATUS_SUCCESS);
        break;
      case Order::CloseRacingRemoval: {
        std::thread closer([&] { closed = port_->close(); });
        EXPECT_EQ(dev_->node->surprise_remove(), STATUS_SUCCESS);
        closer.join();
        // A request that another thread (the surprise removal, the write
        // thread) completed while the cleanup ran lets go of the file only
        // after its completion is seen; if it lets go last, the close comes
        // from a work item after close() returned, as the I/O manager sends
        // it.  The removal waits for that close, which a request never
        // completed would hold off for good.
        if (closed.close == STATUS_PENDING) {
          ASSERT_TRUE(port_->wait_closed(5000ms)) << "requests not completed:" << unfinished();
          closed.close = port_->close_status();
        }
        ASSERT_EQ(dev_->node->remove(), STATUS_SUCCESS) << "requests not completed:" << unfinished();
        break;
      }
      case Order::RemovalWaitsForTheHandle:
        ASSERT_EQ(dev_->node->surprise_remove(), STATUS_SUCCESS);
        EXPECT_EQ(dev_->node->remove(), STATUS_PENDING);
        EXPECT_EQ(dev_->node->fdo(), fdo) << "nothing is deleted under an open handle";
        closed = port_->close();
        EXPECT_EQ(dev_->node->deferred_remove_status(), STATUS_SUCCESS);
        break;
    }
    dev_->removed = true;
    EXPECT_TRUE(ClosedCleanly(closed));
    EXPECT_EQ(dev_->node->fdo(), nullptr);

    ASSERT_TRUE(notify->completed());
    if (GetParam() == Order::CloseRacingRemoval && notify->status() == STATUS_CANCELLED) {
      EXPECT_EQ(notify->information(), 0u);  // the cleanup came first and ended it
    } else {
      EXPECT_EQ(notify->status(), STATUS_SUCCESS);
      EXPECT_EQ(FromBytes<ULONG>(notify->output()), REMOVAL_NOTIFY_SURPRISE_REMOVED);
    }
    for (auto& r : reads) EXPECT_TRUE(Ended(r, STATUS_SUCCESS, 0u) || Ended(r, STATUS_CANCELLED, 0u));
    for (auto& w : writes) EXPECT_TRUE(Ended(w, STATUS_NO_SUCH_DEVICE, 0u) || Ended(w, STATUS_CANCELLED, 0u));
    // A wait ended by the removal reports no event.
    for (auto& w : waits)
      EXPECT_TRUE(Ended(w, STATUS_CANCELLED) ||
                  (Ended(w, STATUS_SUCCESS) && FromBytes<ULONG>(w->output()) == 0));
    EXPECT_FALSE(emu::symbolic_link_target(u"\\DosDevices\\COM5").has_value());
    EXPECT_FALSE(emu::registry::get_value(kSerialComm, DeviceNameFor(round + 1)).has_value());
    EXPECT_TRUE(emu::wait_quiescent(2000ms));
    EXPECT_EQ(emu::outstanding_irps(), 0u);
    ASSERT_EQ(emu::verifier::count(), 0u) << emu::verifier::describe(emu::verifier::findings().front());
  }
}

const char* const kOrderNames[] = {"SurpriseRemovalThenClose", "CloseRacingRemoval",
                                   "RemovalWaitsForTheHandle"};
INSTANTIATE_TEST_SUITE_P(Orders, RemovalUnderLoadTest,
                         testing::Values(Order::SurpriseRemovalThenClose, Order::CloseRacingRemoval,
                                         Order::RemovalWaitsForTheHandle),
                         [](const testing::TestParamInfo<Order>& info) {
                           return kOrderNames[int(info.param)];
                         });

TEST_F(RemovalTest, SurpriseRemovalEndsEveryReadHoweverTheReadThreadEnds) {
  // The read thread may see the removal before its stop event and leave
  // without ending the reads: the removal itself must end the current one
  // and every queued one at once, not leave them to a 100 s time-out.
  ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::open, usb::cdc::Variant::acm_nointr));
  emu::clock::freeze();
  std::vector<emu::RequestPtr> reads;
  for (int i = 0; i < 3; i++) {
    reads.push_back(port_->read_async(16));
    ASSERT_EQ(reads.back()->returned(), STATUS_PENDING);
  }
  // The removal flag first, as surprise removal sets it, then a pass of the
  // read thread before any stop event.
  InterlockedExchange((LONG volatile*)&dev_->ext()->DeviceRemoved, 1);
  ASSERT_TRUE(WaitUntil([&] {
    emu::clock::advance(1ms);
    return ThreadEnded(dev_->ext()->pReadFunctionThread);
  }));
  EXPECT_FALSE(reads[0]->completed());

  ASSERT_EQ(dev_->node->surprise_remove(), STATUS_SUCCESS);
  for (size_t i = 0; i < reads.size(); i++) {
    SCOPED_TRACE(i);
    // The current read ends as a purge ends it; the queued ones are cancelled.
    ASSERT_TRUE(Ends(reads[i], i == 0 ? STATUS_SUCCESS : STATUS_CANCELLED, 0u))
        << "left to its time-out by the removal?";
  }
  EXPECT_EQ(Shared(&dev_->ext()->ArmedTimerCount), 0);
  emu::CloseResult closed = port_->close();
  EXPECT_EQ(closed.cleanup, STATUS_SUCCESS);
  EXPECT_EQ(dev_->node->remove(), STATUS_SUCCESS);
  dev_->removed = true;
}

}  // namespace
}  // namespace vrmdm_test::lifecycle
