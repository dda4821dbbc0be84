// Cancellation racing completion: whatever wins, each request completes
// exactly once, with statuses that agree, and no byte is lost or doubled.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "usb_client.h"

namespace {

using namespace usbtest;
namespace cdc = emu::usb::cdc;

// Runs `rounds` rounds: the main thread submits a read that has to wait,
// then `racers` run at once against it; the read's outcome goes to `check`.
template <class Racer, class Check>
void race(int rounds, std::vector<Racer> racers, UrbRequest& r, const std::function<void()>& submit,
          Check check) {
  std::barrier sync(static_cast<std::ptrdiff_t>(racers.size() + 1));
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (auto& racer : racers) {
    threads.emplace_back([&, racer] {
      for (int i = 0;; ++i) {
        sync.arrive_and_wait();
        if (stop) return;
        racer(i);
        sync.arrive_and_wait();
      }
    });
  }
  for (int i = 0; i < rounds; ++i) {
    const int before = r.completions();
    submit();
    sync.arrive_and_wait();
    sync.arrive_and_wait();
    ASSERT_TRUE(r.wait()) << "round " << i << ": the read never completed";
    // A second completion would show up while the racers are parked.
    ASSERT_EQ(r.completions(), before + 1) << "round " << i;
    check(i);
    if (::testing::Test::HasFatalFailure()) break;
  }
  stop = true;
  sync.arrive_and_wait();
  for (auto& t : threads) t.join();
}

class CancelRaceTest : public BusTest {};

// The bus completing from its thread only, and completing some transfers
// inline, inside the submission, on the submitting thread (seed 77).
TEST_F(CancelRaceTest, CancelAgainstArrivingDataCompletesOnceAndLosesNothing) {
  for (bool with_inline : {false, true}) {
    SCOPED_TRACE(with_inline ? "inline completion on" : "bus thread only");
    Client& c = open();
    PDEVICE_OBJECT pdo = c.pdo();
    if (with_inline) emu::usb::set_inline_completion_seed(77);

    UrbRequest r(pdo);
    RaceTally tally;
    std::size_t inline_seen = 0;
    auto feeder = [&](int i) {
      const char byte = static_cast<char>('a' + i % 26);
      dev_->queue_in(cdc::BULK_IN_ENDPOINT, std::string_view(&byte, 1));
    };
    auto canceller = [&](int) { r.cancel(); };
    race(
        3000, std::vector<std::function<void(int)>>{feeder, canceller}, r,
        [&] {
          tally.queued += static_cast<char>('a' + (tally.delivered + tally.cancelled) % 26);
          tally.submit(c, r);
        },
        [&](int i) {
          ASSERT_NO_FATAL_FAILURE(tally.take(r)) << "round " << i;
          if (r.returned() != STATUS_PENDING) {
            ++inline_seen;
            ASSERT_EQ(r.returned(), STATUS_SUCCESS);
            ASSERT_EQ(r.completion_thread(), std::this_thread::get_id())
                << "inline means inside the submission";
          }
        });
    EXPECT_EQ(emu::usb::info(pdo).completed_inline, inline_seen);
    EXPECT_EQ(inline_seen > 0, with_inline);
    tally.finish(c);
    emu::usb::reset();
  }
}

// Under the late-cancel seed some cancelled transfers are completed by the
// bus thread after IoCancelIrp returned, at DISPATCH_LEVEL, still once each.
TEST_F(CancelRaceTest, ALateCancelledTransferCompletesOnceOnTheBusThread) {
  Client& c = open();
  PDEVICE_OBJECT pdo = c.pdo();
  emu::usb::set_late_cancel_seed(5);
  UrbRequest r(pdo);
  uint8_t buffer[8];
  int late = 0;
  for (int i = 0; i < 64; ++i) {
    ASSERT_EQ(c.send_transfer(r, cdc::BULK_IN_ENDPOINT, buffer, sizeof buffer, kIn), STATUS_PENDING);
    ASSERT_TRUE(emu::usb::wait_pending(pdo, cdc::BULK_IN_ENDPOINT, 1));
    const std::size_t before = emu::usb::info(pdo).cancelled_late;
    // False when the bus had the transfer with the device at that moment: it
    // then sees the cancel flag when the device NAKs.
    r.cancel();
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(r.status(), STATUS_CANCELLED);
    EXPECT_EQ(r.usbd(), USBD_STATUS_CANCELED);
    EXPECT_EQ(r.completions(), i + 1);
    if (emu::usb::info(pdo).cancelled_late > before) {
      ++late;
      EXPECT_NE(r.completion_thread(), std::this_thread::get_id());
      EXPECT_EQ(r.completion_irql(), DISPATCH_LEVEL);
    }
  }
  EXPECT_GT(late, 0);
  EXPECT_LT(late, 64) << "the seed chooses, not always late";
  EXPECT_EQ(emu::usb::info(pdo).pending_transfers, 0u);
}

// A fault is meant for one transfer: when that transfer is cancelled before
// the bus reaches it, the next transfer runs normally.
TEST_F(CancelRaceTest, AFaultGoesWithTheTransferItWasMeantFor) {
  Client& c = open();
  PDEVICE_OBJECT pdo = c.pdo();
  emu::clock::freeze();
  // The first transfer is held at the head, so the second waits unreached.
  emu::usb::inject_fault(pdo, cdc::BULK_OUT_ENDPOINT, emu::usb::Fault::delayed(std::chrono::hours(1)));
  uint8_t a = 'a', b = 'b';
  UrbRequest first(pdo), second(pdo);
  ASSERT_EQ(c.send_transfer(first, cdc::BULK_OUT_ENDPOINT, &a, 1, kOut), STATUS_PENDING);
  ASSERT_EQ(c.send_transfer(second, cdc::BULK_OUT_ENDPOINT, &b, 1, kOut), STATUS_PENDING);
  emu::usb::inject_fault(pdo, cdc::BULK_OUT_ENDPOINT, emu::usb::Fault::never_complete());
  // IoCancelIrp answers FALSE when it catches the bus thread looking at the
  // packet (its cancel routine cleared for that moment); the bus then finds
  // the cancel flag and ends it all the same.  What matters is the outcome.
  (void)second.cancel();
  ASSERT_TRUE(second.wait());
  EXPECT_EQ(second.status(), STATUS_CANCELLED);
  (void)first.cancel();
  ASSERT_TRUE(first.wait());
  EXPECT_EQ(first.status(), STATUS_CANCELLED);
  emu::clock::unfreeze();
  Sync s = c.write(cdc::BULK_OUT_ENDPOINT, "c");
  EXPECT_EQ(s.status, STATUS_SUCCESS) << "the fault of the cancelled transfer hit the next one";
  EXPECT_EQ(dev_->take_out_data(cdc::BULK_OUT_ENDPOINT), std::vector<uint8_t>{'c'});
}

TEST_F(CancelRaceTest, CancelAgainstPowerDownAndAbortCompletesOnce) {
  PDEVICE_OBJECT pdo = plug_scripted();
  auto node = emu::usb::node(pdo);
  ASSERT_EQ(node->start(), STATUS_SUCCESS);
  Client c(pdo);
  ASSERT_EQ(c.configure().status, STATUS_SUCCESS);
  UrbRequest r(pdo);
  uint8_t buffer[8];
  std::map<NTSTATUS, int> outcomes;
  auto canceller = [&](int) { r.cancel(); };
  auto power = [&](int i) {
    if (i % 2 == 0) {
      node->set_device_power(PowerDeviceD3);
    } else {
      c.pipe_request(URB_FUNCTION_ABORT_PIPE, cdc::BULK_IN_ENDPOINT);
    }
  };
  race(
      400, std::vector<std::function<void(int)>>{canceller, power}, r,
      [&] { c.send_transfer(r, cdc::BULK_IN_ENDPOINT, buffer, sizeof buffer, kIn); },
      [&](int i) {
        const NTSTATUS s = r.status();
        ++outcomes[s];
        if (s == STATUS_CANCELLED) {
          ASSERT_EQ(r.usbd(), USBD_STATUS_CANCELED) << "round " << i;
        } else {
          ASSERT_EQ(s, STATUS_DEVICE_POWERED_OFF) << "round " << i;
          ASSERT_EQ(i % 2, 0);
        }
        if (i % 2 == 0) {
          ASSERT_EQ(node->set_device_power(PowerDeviceD0).status, STATUS_SUCCESS);
        }
      });
  EXPECT_GT(outcomes[STATUS_CANCELLED], 0);
  node->surprise_remove();
  node->remove();
}

}  // namespace
