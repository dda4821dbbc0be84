// Integrity at volume: bytes received and sent through the port, checked byte
// for byte against the pattern stream.  1 GiB each way in the long form; a
// few MiB in CI so the path stays exercised.
#include <thread>

#include "datapath_support.h"
#include "explore.h"

namespace {

using namespace explore;
using vrmdm_test::kBulkIn;
using vrmdm_test::kBulkOut;

class Volume : public vrmdm_test::DataPathTest {};

TEST_F(Volume, EveryByteInAndOutArrivesIntactAndInOrder) {
  OpenScripted();
  const uint64_t total = options().long_form ? (1ull << 30) : static_cast<uint64_t>(rounds(8, 0)) << 20;
  Tally tally("integrity at volume");
  SetTimeouts(50, 5000);

  // In: the device streams the pattern; the client reads it all back.
  std::atomic<uint64_t> consumed{0};
  std::atomic<bool> stop{false};
  std::thread feeder([&] {
    uint64_t fed = 0;
    std::vector<uint8_t> chunk(256 * 1024);
    while (fed < total && !stop) {
      if (fed - consumed > 2 * chunk.size() || model_->queued_in(kBulkIn) > chunk.size()) {
        std::this_thread::sleep_for(100us);
        continue;
      }
      const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), total - fed));
      emu::usb::fill_pattern(fed, std::span(chunk.data(), n));
      model_->queue_in(kBulkIn, std::span<const uint8_t>(chunk.data(), n));
      fed += n;
    }
  });
  uint64_t received = 0;
  const auto in_start = std::chrono::steady_clock::now();
  while (received < total) {
    emu::IoResult r = port_->read(64 * 1024);
    if (r.status != STATUS_SUCCESS) {
      tally.failing("read at byte " + std::to_string(received), "status " + hex(r.status));
      break;
    }
    if (auto bad = emu::usb::check_pattern(received, r.output)) {
      tally.failing("byte " + std::to_string(received + *bad) + " in", "differs from what the device sent");
      break;
    }
    received += r.output.size();
    consumed = received;
  }
  stop = true;
  feeder.join();
  const double in_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - in_start).count();
  if (received == total) tally.clean();

  // Out: the client writes the pattern; the device's capture is checked as
  // it goes, so no more than a few chunks are ever held.
  uint64_t sent = 0, checked = 0;
  std::vector<uint8_t> chunk(64 * 1024);
  const auto out_start = std::chrono::steady_clock::now();
  bool out_ok = true;
  while (sent < total && out_ok) {
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), total - sent));
    emu::usb::fill_pattern(sent, std::span(chunk.data(), n));
    emu::IoResult w = port_->write(std::span<const uint8_t>(chunk.data(), n));
    if (w.status != STATUS_SUCCESS || w.information != n) {
      tally.failing("write at byte " + std::to_string(sent),
                    "status " + hex(w.status) + " info " + std::to_string(w.information));
      out_ok = false;
    }
    sent += n;
    const auto got = model_->take_out_data(kBulkOut);
    if (auto bad = emu::usb::check_pattern(checked, got)) {
      tally.failing("byte " + std::to_string(checked + *bad) + " out", "differs from what the client wrote");
      out_ok = false;
    }
    checked += got.size();
  }
  const double out_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - out_start).count();
  EXPECT_EQ(checked, total);
  if (out_ok && checked == total) tally.clean();
  char rates[160];
  std::snprintf(rates, sizeof rates, "%llu bytes in (%.1f MB/s), %llu bytes out (%.1f MB/s)",
                static_cast<unsigned long long>(received), received / 1e6 / in_s,
                static_cast<unsigned long long>(checked), checked / 1e6 / out_s);
  tally.note(rates);
  EXPECT_EQ(received, total);
}

}  // namespace
