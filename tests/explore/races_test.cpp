// Cancel and time-out races with data.  Reads with total time-outs of 1 to
// 3 ms (or interval time-outs, which become the total, or none) race
// cancellation, purges, the read-timer DPC and the read thread against a
// stream of pattern bytes: every byte must arrive once, in order, every read
// complete once and every timer arming end.  Writes with
// time-outs of a few milliseconds race a device that takes data only now and
// then, purges, and a bus that completes cancelled transfers late, on its own
// thread: every write completes once and what it reports reached the device.
#include <atomic>
#include <thread>

#include "datapath_support.h"
#include "explore.h"

namespace {

using namespace explore;
using vrmdm_test::kBulkIn;
using vrmdm_test::kBulkOut;

class Races : public vrmdm_test::DataPathTest {
 protected:
  WaitLimit limit_{10s};
};

// Where the device's bytes part from those the writes reported sent, in
// order ("" if they do not); `base` counts the bytes checked before.
std::string first_difference(const std::vector<uint8_t>& out, const std::vector<uint8_t>& expected,
                             uint64_t base) {
  if (out == expected) return "";
  std::size_t at = 0;
  while (at < out.size() && at < expected.size() && out[at] == expected[at]) ++at;
  return "the device's byte " + std::to_string(base + at) + " is not the writes' (" +
         std::to_string(out.size()) + " bytes went, the writes counted " + std::to_string(expected.size()) +
         ")";
}

// Up to six reads at once end through the read thread, the timer (at once,
// for the interval of MAXULONG, or after 1 to 3 ms), cancellation, CancelIo
// and receive aborts, all racing data as it arrives: each ends once (the
// verifier reports a second completion), cancelled reads take no data, the
// others' data, in the order the reads were issued, is the stream without a
// gap, and every arming ends with its read, so the timer falls idle after
// every round and cleanup never waits for a DPC that will not come.
TEST_F(Races, ReadsEndedEveryWayLoseNoByteAndTheTimerFallsIdle) {
  OpenScripted();
  const std::size_t n = rounds(5000, 50000);
  const uint64_t seed = round_seed(0x4EAD0000, 0);
  Rng rng(seed);
  Tally tally("reads racing cancel, purge and time-out (seed " + std::to_string(seed) + ")");

  // The modem's pattern stream, fed in uneven pieces, never far ahead of the
  // reader so the ring never has to hold back.
  std::atomic<uint64_t> fed{0}, consumed{0};
  std::atomic<bool> stop{false};
  std::thread feeder([&, feed_seed = rng.next()] {
    Rng local(feed_seed);
    std::vector<uint8_t> chunk;
    while (!stop) {
      if (fed - consumed > 32768) {
        std::this_thread::sleep_for(200us);
        continue;
      }
      // Pieces now and then, so reads often find the ring empty and wait.
      chunk.resize(local.in(1, 200));
      emu::usb::fill_pattern(fed, chunk);
      model_->queue_in(kBulkIn, chunk);
      fed += chunk.size();
      std::this_thread::sleep_for(std::chrono::microseconds(local.in(100, 4000)));
    }
  });

  std::vector<uint8_t> received;
  std::size_t cancelled = 0, empty = 0, with_data = 0;
  auto take = [&](const emu::RequestPtr& r, std::size_t round_no, ULONG length) {
    const auto out = r->output();
    const std::string key = "round " + std::to_string(round_no);
    if (r->status() == STATUS_CANCELLED) {
      ++cancelled;
      if (r->information() != 0) tally.failing(key, "cancelled with data");
      return;
    }
    if (r->status() != STATUS_SUCCESS || r->information() > length || out.size() != r->information()) {
      tally.failing(key, "status " + hex(r->status()) + " info " + std::to_string(r->information()));
      return;
    }
    if (auto bad = emu::usb::check_pattern(received.size(), out)) {
      tally.failing(key, "byte " + std::to_string(received.size() + *bad) + " of the stream lost or doubled");
    }
    out.empty() ? ++empty : ++with_data;
    received.insert(received.end(), out.begin(), out.end());
    consumed = received.size();
  };

  bool immediate = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 50 == 0) {
      const ULONG ms = static_cast<ULONG>(rng.in(1, 3));
      immediate = rng.chance(34);
      if (immediate) {
        SetTimeouts(0, 0, MAXULONG);  // returns at once, through the timer
      } else if (rng.chance(50)) {
        SetTimeouts(ms, 0);
      } else {
        SetTimeouts(0, 0, ms);  // an interval time-out alone becomes the total
      }
    }
    std::vector<std::pair<emu::RequestPtr, ULONG>> reads(rng.in(1, 6));
    for (auto& [r, length] : reads) r = port_->read_async(length = static_cast<ULONG>(rng.in(1, 512)));
    if (!immediate) std::this_thread::sleep_for(std::chrono::microseconds(rng.in(0, 3000)));
    const uint64_t how = rng.in(0, 4);  // 4: left to the data and the timer
    if (how <= 1) reads[rng.in(0, reads.size() - 1)].first->cancel();
    if (how == 2) port_->cancel_io();
    if (how == 3) Purge(SERIAL_PURGE_RXABORT);
    const std::size_t failures = tally.failures();
    for (auto& [r, length] : reads) {
      if (!r->wait(2000ms)) {
        tally.failing("round " + std::to_string(i), "a read never completed");
        r->cancel();
        r->wait(2000ms);
        break;
      }
      take(r, i, length);
    }
    emu::ke::flush_dpcs();
    if (ArmedTimers() != 0 || KeReadStateEvent(&ext_->evTimersIdle) == 0) {
      tally.failing("round " + std::to_string(i),
                    "an arming outlived its read: count " + std::to_string(ArmedTimers()));
      // Lets cleanup through.
      InterlockedExchange(&ext_->ArmedTimerCount, 0);
      KeSetEvent(&ext_->evTimersIdle, IO_NO_INCREMENT, FALSE);
    }
    if (tally.failures() != failures) break;
    tally.clean();
  }
  stop = true;
  feeder.join();
  // Whatever is still on its way arrives, and nothing more.
  SetTimeouts(20, 0);
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (received.size() < fed && std::chrono::steady_clock::now() < until) {
    emu::RequestPtr r = port_->read_async(4096);
    ASSERT_TRUE(r->wait(2000ms));
    take(r, n, 4096);
  }
  EXPECT_EQ(received.size(), fed.load()) << "bytes lost or doubled";
  // Every way out was taken: data, time-out or purge without data, cancel.
  EXPECT_GT(with_data, n / 4);
  EXPECT_GT(empty, 0u);
  EXPECT_GT(cancelled, n / 20);
  tally.note(std::to_string(received.size()) + " bytes checked; " + std::to_string(cancelled) +
             " cancelled, " + std::to_string(with_data) + " with data, " + std::to_string(empty) + " empty");
}

TEST_F(Races, WritesSurviveTimeoutsPurgesAndLateBusCompletions) {
  OpenScripted();
  const std::size_t n = rounds(1500, 50000);
  const uint64_t seed = round_seed(0x3717E000, 0);
  Rng rng(seed);
  Tally tally("writes racing time-out, purge and late completion (seed " + std::to_string(seed) + ")");
  emu::usb::set_late_cancel_seed(rng.next());
  const std::size_t late_before = emu::usb::info(dev_->pdo).cancelled_late;

  // The device takes data only in spells, so writes wait, time out and are
  // cancelled while the bus may still complete them.
  std::atomic<bool> stop{false};
  std::thread device([&, dev_seed = rng.next()] {
    Rng local(dev_seed);
    while (!stop) {
      model_->limit_out(kBulkOut, local.chance(50) ? std::optional<std::size_t>(0) : std::nullopt);
      std::this_thread::sleep_for(std::chrono::microseconds(local.in(100, 3000)));
    }
    model_->limit_out(kBulkOut, std::nullopt);
  });
  std::thread purger([&, purge_seed = rng.next()] {
    Rng local(purge_seed);
    while (!stop) {
      std::this_thread::sleep_for(std::chrono::microseconds(local.in(500, 8000)));
      port_->ioctl(IOCTL_SERIAL_PURGE, vrmdm_test::AsBytes<ULONG>(SERIAL_PURGE_TXABORT));
    }
  });

  SetTimeouts(20, static_cast<ULONG>(rng.in(1, 3)));
  std::size_t done = 0, failed = 0;
  uint64_t offset = 0;
  std::vector<uint8_t> expected;  // the bytes each write reported sent, in order
  std::vector<std::pair<emu::RequestPtr, std::vector<uint8_t>>> inflight;
  // Waits for the writes in flight and counts their outcomes.
  auto settle = [&](std::size_t i) {
    for (auto& [r, data] : inflight) {
      if (!r->wait(5000ms)) {
        tally.failing("round " + std::to_string(i), "a write never completed");
        r->cancel();
        r->wait(2000ms);
        continue;
      }
      // Up to 300 bytes are one packet: a write goes whole or not at all.
      const NTSTATUS status = r->status();
      if ((r->information() != 0 && r->information() != data.size()) ||
          (status != STATUS_SUCCESS && status != STATUS_CANCELLED && status != STATUS_TIMEOUT)) {
        tally.failing("round " + std::to_string(i), "a write of " + std::to_string(data.size()) +
                                                        " answered " + hex(status) + " with " +
                                                        std::to_string(r->information()));
        continue;
      }
      expected.insert(expected.end(), data.begin(),
                      data.begin() + static_cast<std::ptrdiff_t>(r->information()));
      status == STATUS_SUCCESS ? ++done : ++failed;
      tally.clean();
    }
    inflight.clear();
  };
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<uint8_t> data(rng.in(1, 75) * 4);
    emu::usb::fill_pattern(offset, data);
    offset += data.size();
    inflight.emplace_back(port_->write_async(data), std::move(data));
    if (inflight.size() < rng.in(1, 4)) continue;
    settle(i);
  }
  settle(n);
  stop = true;
  device.join();
  purger.join();
  // The device has, in order, exactly the bytes each write reported sent: a
  // write cut short by its time-out or a purge counts what went out too.
  EXPECT_EQ(first_difference(model_->take_out_data(kBulkOut), expected, 0), "");
  EXPECT_GT(done, 0u);
  EXPECT_GT(failed, 0u) << "no write ever timed out: the race was not run";
  EXPECT_EQ(port_->write("AT\r").information, 3u);
  const std::size_t late = emu::usb::info(dev_->pdo).cancelled_late - late_before;
  tally.note(std::to_string(done) + " written, " + std::to_string(failed) + " timed out or purged, " +
             std::to_string(late) + " cancelled transfers completed late by the bus");
}

// Writes from a byte to more than two transfers long, up to four queued, so
// that each next write is made ready and sent from the completion of the
// last, race a device that takes data in spells (a transfer moves in part
// and waits), client cancels, purges and write time-outs on a frozen clock
// stepped at random: every write completes once, in the order written, with
// the count of its bytes that reached the device, and the device has exactly
// those leading bytes of each write, in order.
TEST_F(Races, SplitAndChainedWritesCompleteInOrderWithTheirBytesThroughCancels) {
  OpenScripted();
  FreezeClock();
  const std::size_t n = rounds(150, 3000);
  const uint64_t seed = round_seed(0x5917E000, 0);
  Rng rng(seed);
  Tally tally("split and chained writes racing cancel, purge and time-out (seed " + std::to_string(seed) +
              ")");
  SetTimeouts(20, 3);
  uint64_t offset = 0, moved = 0;
  std::size_t whole = 0, cut = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string round = "round " + std::to_string(i);
    std::vector<std::vector<uint8_t>> data(rng.in(1, 4));
    std::vector<emu::RequestPtr> writes;
    for (auto& d : data) {
      d.resize(rng.chance(40) ? rng.in(60000, 140000) : rng.in(1, 3000));
      emu::usb::fill_pattern(offset, d);
      offset += d.size();
      writes.push_back(port_->write_async(d));
    }
    for (uint64_t k = rng.in(0, 6); k > 0; --k) {
      const uint64_t what = rng.in(0, 3);
      if (what == 0)
        model_->limit_out(kBulkOut,
                          rng.chance(50) ? std::optional<std::size_t>(rng.in(0, 100000)) : std::nullopt);
      if (what == 1) port_->ioctl(IOCTL_SERIAL_PURGE, vrmdm_test::AsBytes<ULONG>(SERIAL_PURGE_TXABORT));
      if (what == 2) writes[rng.in(0, writes.size() - 1)]->cancel();
      if (what == 3) emu::clock::advance(std::chrono::milliseconds(rng.in(1, 4)));
    }
    // The device takes everything now; whatever is left ends without time
    // passing.  Completions are looked at from the last write back: a later
    // write seen complete before an earlier one completed first.  Writes
    // that moved bytes complete in the order written (a cancel or a purge
    // ends a write still queued at once).
    model_->limit_out(kBulkOut, std::nullopt);
    std::vector<std::pair<std::size_t, std::size_t>> inversions;  // (earlier, later)
    bool ended = true;
    for (std::size_t left = writes.size(); left > 0 && ended;) {
      std::optional<std::size_t> later_done;
      left = 0;
      for (std::size_t w = writes.size(); w-- > 0;) {
        if (writes[w]->completed()) {
          later_done = w;
        } else {
          ++left;
          if (later_done) inversions.emplace_back(w, *later_done);
        }
      }
      for (auto& r : writes) ended = ended && (left == 0 || r->completed() || r->wait(5000ms));
    }
    std::vector<uint8_t> expected;
    std::string wrong = ended ? "" : "a write never completed";
    for (auto [earlier, later] : inversions) {
      if (ended && writes[earlier]->information() > 0 && writes[later]->information() > 0)
        wrong = "write " + std::to_string(later) + " completed before write " + std::to_string(earlier);
    }
    for (std::size_t w = 0; w < writes.size() && wrong.empty(); ++w) {
      const NTSTATUS status = writes[w]->status();
      const std::size_t info = writes[w]->information();
      if (info > data[w].size() || (status == STATUS_SUCCESS) != (info == data[w].size()) ||
          (status != STATUS_SUCCESS && status != STATUS_CANCELLED && status != STATUS_TIMEOUT)) {
        wrong = "write " + std::to_string(w) + " of " + std::to_string(data[w].size()) + " bytes answered " +
                hex(status) + " with " + std::to_string(info);
      }
      expected.insert(expected.end(), data[w].begin(), data[w].begin() + static_cast<std::ptrdiff_t>(info));
      info == data[w].size() ? ++whole : ++cut;
    }
    const auto out = model_->take_out_data(kBulkOut);
    if (wrong.empty()) wrong = first_difference(out, expected, moved);
    moved += out.size();
    tally.record(round, wrong);
  }
  EXPECT_GT(whole, 0u);
  EXPECT_GT(cut, 0u) << "no write was ever cut short: the races were not run";
  tally.note(std::to_string(whole) + " writes whole, " + std::to_string(cut) + " cut short; " +
             std::to_string(moved) + " bytes checked");
}

}  // namespace
