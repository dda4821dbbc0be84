// A small driver loaded, given a device, opened through its DOS name and
// driven through create, write, read, cancel, cleanup and close; the
// buffered-I/O copies; cancel racing completion; the system's cleanup/close
// order with requests outliving their handle; removal deferred to the last
// close.
#include "io_loop_driver.h"
#include "io_test_util.h"
#include "test_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using emu::verifier::Rule;

namespace {

using Events = std::vector<std::string>;

std::span<const uint8_t> bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

using vrmdm_test::AsText;

ULONG ulong_of(const std::vector<uint8_t>& v) {
  ULONG value = 0;
  if (v.size() >= sizeof value) memcpy(&value, v.data(), sizeof value);
  return value;
}

struct Loop : ::testing::Test {
  emu::Driver driver;
  std::shared_ptr<emu::DeviceNode> node;

  void SetUp() override {
    loopdrv::clear_events();
    driver = emu::load_driver(loopdrv::LoopDriverEntry,
                              u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EmuLoop",
                              u"\\Driver\\EmuLoop");
    ASSERT_TRUE(driver.loaded());
    node = emu::create_pdo({.enumerator = u"EMU", .device_id = u"LOOP", .instance_id = u"1"});
    ASSERT_EQ(node->add_device(driver), STATUS_SUCCESS);
    ASSERT_EQ(node->start(), STATUS_SUCCESS);
    loopdrv::clear_events();
  }

  void TearDown() override {
    if (node && node->fdo() != nullptr) {
      EXPECT_EQ(node->remove(), STATUS_SUCCESS);
    }
    node.reset();
    driver.unload();
  }
};

TEST_F(Loop, LoadOpenWriteReadCancelCleanupCloseAndUnloadCleanly) {
  EXPECT_EQ(emu::symbolic_link_target(u"\\DosDevices\\EMULOOP1"), u"\\Device\\EmuLoop1");
  emu::Handle h = emu::open(u"\\DosDevices\\EMULOOP1");
  ASSERT_TRUE(h.is_open()) << std::hex << h.status();

  emu::IoResult w = h.write("hello");
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, 5u);
  emu::IoResult r = h.read(3);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(AsText(r.output), "hel");
  r = h.read(16);
  EXPECT_EQ(AsText(r.output), "lo");

  // Nothing left: the read waits, and CancelIo ends it.
  emu::RequestPtr waiting = h.read_async(4);
  EXPECT_EQ(waiting->returned(), STATUS_PENDING);
  EXPECT_FALSE(waiting->completed());
  EXPECT_EQ(h.pending(), 1u);
  EXPECT_EQ(h.cancel_io(), 1u);
  ASSERT_TRUE(waiting->wait());
  EXPECT_EQ(waiting->status(), STATUS_CANCELLED);
  EXPECT_TRUE(waiting->output().empty());
  EXPECT_EQ(h.pending(), 0u);

  emu::CloseResult closed = h.close();
  EXPECT_EQ(closed.cleanup, STATUS_SUCCESS);
  EXPECT_EQ(closed.close, STATUS_SUCCESS);
  EXPECT_EQ(loopdrv::events(), (Events{"create", "write", "read", "read", "read", "cleanup", "close"}));
  EXPECT_EQ(loopdrv::cancels_run().load(), 1);

  EXPECT_EQ(node->surprise_remove(), STATUS_SUCCESS);
  EXPECT_FALSE(emu::symbolic_link_target(u"\\DosDevices\\EMULOOP1"));
  EXPECT_EQ(node->remove(), STATUS_SUCCESS);
  EXPECT_EQ(node->fdo(), nullptr);
  EXPECT_EQ(node->pdo(), nullptr);  // gone from the bus: the removal deleted it
  driver.unload();
  EXPECT_EQ(emu::outstanding_irps(), 0u);
  EXPECT_TRUE(iotest::take_checks().empty());
}

TEST_F(Loop, OpenFailsForUnknownNamesAndReachesTheDeviceThroughEveryForm) {
  EXPECT_EQ(emu::open(u"\\DosDevices\\NOPE").status(), STATUS_OBJECT_NAME_NOT_FOUND);
  for (std::u16string_view name : {u"\\DosDevices\\EMULOOP1", u"\\??\\emuloop1", u"\\\\.\\EMULOOP1",
                                   u"EMULOOP1", u"\\Device\\EmuLoop1"}) {
    emu::Handle h = emu::open(name);
    EXPECT_TRUE(h.is_open()) << std::string(name.begin(), name.end());
  }
  EXPECT_EQ(loopdrv::events().size(), 15u);  // create, cleanup, close for each
}

TEST_F(Loop, BufferedControlCopiesInAndNeverMoreThanTheOutputLength) {
  emu::Handle h = emu::open(u"EMULOOP1");
  emu::IoResult echo = h.ioctl(loopdrv::IOCTL_LOOP_ECHO, bytes("abcdef"), 4);
  EXPECT_EQ(echo.status, STATUS_SUCCESS);
  EXPECT_EQ(echo.information, 4u);
  EXPECT_EQ(AsText(echo.output), "abcd");

  echo = h.ioctl(loopdrv::IOCTL_LOOP_ECHO, bytes("xy"), 16);  // the system buffer is max(in, out)
  EXPECT_EQ(AsText(echo.output), "xy");

  // A driver that reports more than the output holds: the caller still gets
  // no more than it asked for, and the verifier names the fault.
  emu::IoResult over = h.ioctl(loopdrv::IOCTL_LOOP_OVERREPORT, {}, 6);
  EXPECT_EQ(over.output.size(), 6u);
  EXPECT_EQ(over.output[5], 0xAB);
  EXPECT_EQ(iotest::take(Rule::information_exceeds_buffer).size(), 1u);

  emu::IoResult bad = h.ioctl(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x8ff, METHOD_BUFFERED, FILE_ANY_ACCESS), {}, 4);
  EXPECT_EQ(bad.status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(bad.output.empty());
}

// Cancel racing completion, thousands of times: one thread keeps cancelling
// whatever request is current while the other issues a held request and
// releases it.  Exactly one of the cancel routine and the release completes
// each request, and its status says which.  The side that keeps winning is
// held back a little more each round, so the rounds settle where the two
// really race.
// Each transfer method reaches the driver as Windows builds it (one system
// buffer; buffered input and a locked MDL for the output; the requester's own
// pointers), from a handle and from IoBuildDeviceIoControlRequest, and the
// bytes the driver writes there come back.  The MDLs are the I/O manager's
// and freed with the request.
TEST_F(Loop, EveryTransferMethodDeliversTheOutputWhereTheMethodPutsIt) {
  emu::Handle h = emu::open(u"\\DosDevices\\EMULOOP1");
  ASSERT_TRUE(h.is_open());
  const std::string input = "abc";
  const ULONG mdl_tag = emu::pool::tag("Mdl ");
  int cases = 0;
  for (ULONG method : {METHOD_BUFFERED, METHOD_IN_DIRECT, METHOD_OUT_DIRECT, METHOD_NEITHER}) {
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, loopdrv::LOOP_FILL_FUNCTION, method, FILE_ANY_ACCESS);
    for (ULONG out : {0u, 5u, 2u * PAGE_SIZE + 17u}) {
      SCOPED_TRACE("method " + std::to_string(method) + ", output " + std::to_string(out));
      std::vector<uint8_t> want(out);
      for (ULONG i = 0; i < out; ++i) want[i] = static_cast<uint8_t>(input[i % input.size()] + i);

      emu::IoResult r = h.ioctl(code, bytes(input), out);
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      EXPECT_EQ(r.information, out);
      EXPECT_EQ(r.output, want);

      // Unaligned, so the MDL starts inside a page.
      std::vector<uint8_t> built(out + 1, 0xEE);
      KEVENT done;
      KeInitializeEvent(&done, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{};
      PIRP irp = IoBuildDeviceIoControlRequest(code, node->fdo(), const_cast<char*>(input.data()),
                                               static_cast<ULONG>(input.size()), built.data() + 1, out, FALSE,
                                               &done, &iosb);
      ASSERT_NE(irp, nullptr);
      if (IoCallDriver(node->fdo(), irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
      EXPECT_EQ(iosb.Information, out);
      EXPECT_EQ(std::vector<uint8_t>(built.begin() + 1, built.end()), want);
      EXPECT_EQ(built[0], 0xEE);

      EXPECT_EQ(emu::pool::outstanding(mdl_tag), 0u);
      ++cases;
    }
  }
  EXPECT_EQ(cases, 12);

  // Without an MDL the request never reaches the driver, from either side.
  const ULONG out_direct = CTL_CODE(FILE_DEVICE_UNKNOWN, loopdrv::LOOP_FILL_FUNCTION, METHOD_OUT_DIRECT, 0);
  emu::faults::fail_nth(emu::faults::Site::mdl_allocation, 0);
  EXPECT_EQ(h.ioctl(out_direct, bytes(input), 8).status, STATUS_INSUFFICIENT_RESOURCES);
  uint8_t built[8];
  EXPECT_EQ(IoBuildDeviceIoControlRequest(out_direct, node->fdo(), nullptr, 0, built, sizeof built, FALSE,
                                          nullptr, nullptr),
            nullptr);
  EXPECT_EQ(emu::faults::injected(emu::faults::Site::mdl_allocation), 2u);
  emu::faults::clear();
  EXPECT_EQ(emu::outstanding_irps(), 0u);
  EXPECT_EQ(h.ioctl(out_direct, bytes(input), 8).status, STATUS_SUCCESS) << "the handle still works";
  h.close();
}

TEST_F(Loop, CancelRacingCompletionCompletesExactlyOnce) {
  emu::Handle h = emu::open(u"EMULOOP1");
  emu::Handle other = h.duplicate();
  constexpr int kRounds = 2000;
  std::mutex current_mutex;
  emu::RequestPtr current;
  std::atomic<bool> stop{false};
  std::atomic<int> bias{0};  // > 0: the release waits, < 0: the cancel waits
  auto spin = [](int n) {
    for (int k = 0; k < n; ++k) asm volatile("");
  };
  std::thread canceller([&] {
    for (long k = 0; !stop.load(std::memory_order_relaxed); ++k) {
      emu::RequestPtr r;
      {
        std::lock_guard<std::mutex> lock(current_mutex);
        r = current;
      }
      if (r) {
        spin(std::max(-bias.load(), 0) * 50);
        r->cancel();
      }
      if (k % 4096 == 4095) std::this_thread::yield();
    }
  });
  long cancelled = 0, released = 0;
  for (int i = 0; i < kRounds; ++i) {
    long cancels_before = loopdrv::cancels_run().load();
    emu::RequestPtr held = h.ioctl_async(loopdrv::IOCTL_LOOP_HOLD, {}, 0);
    ASSERT_TRUE(held->returned() == STATUS_PENDING || held->returned() == STATUS_CANCELLED);
    {
      std::lock_guard<std::mutex> lock(current_mutex);
      current = held;
    }
    spin(std::max(bias.load(), 0) * 50 + i % 5);
    emu::IoResult rel = other.ioctl(loopdrv::IOCTL_LOOP_RELEASE, {}, sizeof(ULONG));
    ASSERT_TRUE(held->wait());
    {
      std::lock_guard<std::mutex> lock(current_mutex);
      current.reset();
    }
    ULONG by_release = ulong_of(rel.output);
    ASSERT_LE(by_release, 1u);
    if (held->status() == STATUS_SUCCESS) {
      ASSERT_EQ(by_release, 1u) << "round " << i;
      ++released;
      ++bias;
    } else {
      ASSERT_EQ(held->status(), STATUS_CANCELLED) << "round " << i;
      ASSERT_EQ(by_release, 0u) << "round " << i;
      ++cancelled;
      --bias;
    }
    // The cancel routine ran for this request exactly when it was cancelled
    // (a request cancelled before it was queued never gets one).
    long cancels = loopdrv::cancels_run().load() - cancels_before;
    ASSERT_LE(cancels, held->status() == STATUS_CANCELLED ? 1 : 0) << "round " << i;
  }
  stop = true;
  canceller.join();
  EXPECT_EQ(cancelled + released, kRounds);
  EXPECT_EQ(loopdrv::released_by_ioctl().load(), released);
  EXPECT_EQ(h.pending(), 0u);
  EXPECT_EQ(emu::outstanding_irps(), 0u);
  std::printf("[ race     ] %ld cancelled, %ld released\n", cancelled, released);
}

TEST_F(Loop, HeldRequestIsReleasedByTheReleasingRequest) {
  emu::Handle h = emu::open(u"EMULOOP1");
  emu::RequestPtr held = h.ioctl_async(loopdrv::IOCTL_LOOP_HOLD, {}, 0);
  EXPECT_EQ(held->returned(), STATUS_PENDING);
  emu::IoResult rel = h.ioctl(loopdrv::IOCTL_LOOP_RELEASE, {}, sizeof(ULONG));
  EXPECT_EQ(ulong_of(rel.output), 1u);
  EXPECT_TRUE(held->completed());
  EXPECT_EQ(held->status(), STATUS_SUCCESS);
  EXPECT_FALSE(held->cancel());
}

TEST_F(Loop, CleanupWaitsForTheLastHandleAndCloseForTheLastRequest) {
  emu::Handle h = emu::open(u"EMULOOP1");
  emu::Handle second = h.duplicate();
  emu::RequestPtr sticky = h.ioctl_async(loopdrv::IOCTL_LOOP_HOLD_STICKY, {}, 0);
  EXPECT_EQ(sticky->returned(), STATUS_PENDING);

  emu::CloseResult first = h.close();  // another handle shares the file: nothing is sent
  EXPECT_EQ(first.cleanup, STATUS_PENDING);
  EXPECT_EQ(loopdrv::events(), (Events{"create"}));

  emu::CloseResult last = second.close();  // cleanup now; close only once the request is done
  EXPECT_EQ(last.cleanup, STATUS_SUCCESS);
  EXPECT_EQ(last.close, STATUS_PENDING);
  EXPECT_EQ(loopdrv::events(), (Events{"create", "cleanup"}));
  EXPECT_FALSE(sticky->completed());

  emu::Handle releaser = emu::open(u"EMULOOP1");
  EXPECT_EQ(ulong_of(releaser.ioctl(loopdrv::IOCTL_LOOP_RELEASE, {}, 4).output), 1u);
  ASSERT_TRUE(sticky->wait());
  EXPECT_TRUE(second.wait_closed());
  releaser.close();
  Events seen = loopdrv::events();
  ASSERT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen[2], "create");
  // The first file's close came after its request completed, wherever it ran.
  EXPECT_NE(std::find(seen.begin() + 3, seen.end(), "close"), seen.end());
}

TEST_F(Loop, RemovalWaitsForTheLastHandleAfterSurpriseRemoval) {
  emu::Handle h = emu::open(u"EMULOOP1");
  EXPECT_EQ(node->surprise_remove(), STATUS_SUCCESS);
  EXPECT_EQ(node->remove(), STATUS_PENDING);
  EXPECT_NE(node->fdo(), nullptr);
  EXPECT_EQ(node->deferred_remove_status(), STATUS_PENDING);
  EXPECT_EQ(h.write("x").status, STATUS_SUCCESS);  // the port still works for its open handle
  h.close();
  EXPECT_EQ(node->deferred_remove_status(), STATUS_SUCCESS);
  EXPECT_EQ(node->fdo(), nullptr);
  Events seen = loopdrv::events();
  EXPECT_EQ(seen.back(), "pnp:" + std::to_string(IRP_MN_REMOVE_DEVICE));
}

TEST_F(Loop, ExclusiveDeviceAdmitsOneFileAtATime) {
  node->fdo()->Flags |= DO_EXCLUSIVE;
  emu::Handle first = emu::open(u"EMULOOP1");
  EXPECT_TRUE(first.is_open());
  EXPECT_EQ(emu::open(u"EMULOOP1").status(), STATUS_ACCESS_DENIED);
  first.close();
  EXPECT_TRUE(emu::open(u"EMULOOP1").is_open());
}

}  // namespace
