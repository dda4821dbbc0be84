// Removal at random moments: while the modem streams data and a reader with
// short time-outs, a wait-on-mask loop, a writer and a controller keep the
// port busy, the modem is unplugged and/or surprise-removed at a seeded
// moment, and the bus may complete cancelled transfers late.  Every request
// must then complete (before the handle closes), the cleanup, close and
// removal succeed, the pool return to where it was, and the next device open
// and answer AT.
#include <atomic>
#include <thread>

#include "explore.h"
#include "test_helpers.h"
#include "support/driver_fixture.h"

namespace {

using namespace explore;
namespace usb = emu::usb;

class RandomRemoval : public vrmdm_test::DriverFixture {
 protected:
  enum class Strike { unplug_then_surprise, surprise_only, unplug_only };

  // One round; returns what went wrong (empty: clean).
  std::string round(uint64_t seed, std::size_t& requests) {
    Rng rng(seed);
    std::string problems;
    auto problem = [&](const std::string& p) { problems += (problems.empty() ? "" : "; ") + p; };
    const std::size_t pool_before = emu::pool::outstanding_total();

    // Half the rounds, the bus completes some cancelled transfers late, on
    // its own thread, as host controllers do.
    if (rng.chance(50)) {
      usb::set_late_cancel_seed(rng.next());
    } else {
      usb::disable_late_cancel();
    }
    usb::ModemConfig config;
    config.data_mode = usb::ModemConfig::DataMode::source;
    config.source_rate = 500000 + rng.in(0, 1500000);
    vrmdm_test::PluggedDevice& dev = PlugModem(rng.chance(50) ? "acm" : "acm-nointr", u"COM5", config);
    if (Start(dev) != STATUS_SUCCESS) return "the device did not start";
    emu::Handle port = emu::open(u"\\DosDevices\\COM5");
    if (!port.is_open()) return "the port did not open: " + hex(port.status());
    set_short_read_timeouts(port, static_cast<ULONG>(rng.in(1, 5)));
    if (!answers_at(port)) problem("the new device did not answer AT");
    port.write("ATD*99#\r");

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> issued{0};
    std::mutex m;
    std::vector<std::string> stuck;
    // Each agent issues its requests one at a time; after the strike every
    // one must still complete, before the handle is closed.
    auto settle = [&](const emu::RequestPtr& r, const char* what) {
      issued++;
      if (r->wait(5s)) return NT_ERROR(r->status());
      std::lock_guard lock(m);
      stuck.push_back(what);
      r->cancel();
      r->wait(2s);
      return true;
    };
    std::vector<std::thread> agents;
    const uint64_t agent_seed = rng.next();
    agents.emplace_back([&, agent_seed] {
      Rng local(agent_seed ^ 0xAA);
      while (!stop && !settle(port.read_async(static_cast<ULONG>(local.in(1, 4096))), "read")) {
      }
    });
    agents.emplace_back([&] {
      while (!stop) {
        ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_RLSD | SERIAL_EV_DSR;
        if (settle(port.ioctl_async(IOCTL_SERIAL_SET_WAIT_MASK, vrmdm_test::AsBytes(mask), 0),
                   "set wait mask"))
          break;
        if (settle(port.ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)), "wait on mask")) break;
      }
    });
    agents.emplace_back([&] {
      std::string data(64, 'w');
      while (!stop && !settle(port.write_async(data), "write")) {
      }
    });
    agents.emplace_back([&, agent_seed] {
      Rng local(agent_seed ^ 0x55);
      static constexpr ULONG kCodes[] = {IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_COMMSTATUS,
                                         IOCTL_SERIAL_SET_DTR,         IOCTL_SERIAL_SET_RTS,
                                         IOCTL_SERIAL_GET_BAUD_RATE,   IOCTL_SERIAL_SET_BAUD_RATE,
                                         IOCTL_SERIAL_PURGE,           IOCTL_SERIAL_GET_TIMEOUTS};
      while (!stop) {
        const ULONG code = kCodes[local.next() % std::size(kCodes)];
        ULONG value =
            code == IOCTL_SERIAL_PURGE ? SERIAL_PURGE_RXCLEAR : 9600u * static_cast<ULONG>(local.in(1, 12));
        if (settle(port.ioctl_async(code, vrmdm_test::AsBytes(value), 32), "control request")) break;
      }
    });

    std::this_thread::sleep_for(std::chrono::microseconds(rng.in(0, 30000)));
    const auto strike = static_cast<Strike>(rng.next() % 3);
    if (strike != Strike::surprise_only) usb::unplug(dev.pdo);
    if (dev.node->surprise_remove() != STATUS_SUCCESS) problem("surprise removal failed");
    stop = true;
    for (auto& a : agents) a.join();
    requests += issued;
    for (const auto& s : stuck) problem("a " + s + " request outlived the removal");

    emu::CloseResult closed = port.close();
    if (closed.cleanup != STATUS_SUCCESS || closed.close != STATUS_SUCCESS)
      problem("close answered cleanup " + hex(closed.cleanup) + ", close " + hex(closed.close));
    if (dev.node->remove() != STATUS_SUCCESS) problem("removal failed");
    dev.removed = true;
    if (!emu::wait_quiescent()) problem("threads or timers left after the removal");
    if (emu::pool::outstanding_total() != pool_before)
      problem(std::to_string(emu::pool::outstanding_total() - pool_before) +
              " pool blocks left after the removal");
    if (std::string f = take_findings_text(); !f.empty()) problem(f);
    return problems;
  }

  WaitLimit limit_{10s};
};

TEST_F(RandomRemoval, RequestsEndAndNothingIsLeftWhenTheModemGoesAtARandomMoment) {
  const std::size_t n = rounds(300, 5000);
  Tally tally("random removal");
  std::size_t requests = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const uint64_t seed = round_seed(0x7E30000, i);
    tally.record("seed " + std::to_string(seed), round(seed, requests), seed);
    if (HasFatalFailure()) break;
  }
  tally.note(std::to_string(requests) + " requests under removal");
}

}  // namespace
