// Our client against our server over loopback: the example scenarios, a
// checked stream both ways, cancel racing completion through CMD_UNLINK,
// and the server going away mid-stream.
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>
#include <emu/usb/scenario_modem.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "emu_backend.h"
#include "test_helpers.h"
#include "scenario_runner.h"
#include "usb_client.h"
#include "usbip_rig.h"

namespace usbiptest {
namespace {

namespace usb = emu::usb;
namespace cdc = emu::usb::cdc;
using namespace std::chrono_literals;
using vrmdm_test::WaitUntil;

// Every scenario of examples/, its modem plugged through USB/IP: the same
// answers as from the local modem (the scenario's own expects), and its
// `modem` commands reach the served modem.
TEST(UsbipLoopback, ExampleScenariosRunOnAnImportedModem) {
  int files = 0;
  for (const auto& file : std::filesystem::directory_iterator(VRMDM_SOURCE_DIR "/examples")) {
    if (file.path().extension() != ".scen") continue;
    ++files;
    SCOPED_TRACE(file.path().filename().string());
    auto modem = std::make_shared<usb::ScenarioModem>();
    Served served([modem] { return modem; });
    std::ifstream in(file.path());
    // "plug [port=..] [modem=..]" -> the same port, the modem through USB/IP.
    std::string script, line;
    while (std::getline(in, line)) {
      if (line == "plug" || line.starts_with("plug ")) {
        if (auto at = line.find(" modem="); at != std::string::npos)
          line.erase(at, line.find(' ', at + 1) - at);  // to the next word or the end
        line += " modem=usbip:" + served.target();
      }
      script += line + "\n";
    }
    std::ostringstream out, err;
    int status;
    {
      auto backend = vrmdm::make_emu_backend({false, "", modem});
      vrmdm::ScenarioRunner runner(*backend, out, err);
      status = runner.run(vrmdm::parse_script(script));
    }
    EXPECT_EQ(status, vrmdm::kRunPassed) << out.str() << err.str();
    EXPECT_GE(served.server->sessions(), 1u);
  }
  EXPECT_GE(files, 4);
}

std::shared_ptr<usb::ModemModel> source_modem(uint64_t limit) {
  usb::ModemConfig c;
  c.speed = usb::Speed::high;
  c.data_mode = usb::ModemConfig::DataMode::source;
  c.source_limit = limit;
  return std::make_shared<usb::ModemModel>(c);
}

std::shared_ptr<usbip::RemoteDevice> import(const Served& served) {
  std::string error;
  auto device = usbip::import_device(served.import_options(), error);
  EXPECT_TRUE(device) << error;
  return device;
}

// A few MiB each way through the driver and USB/IP, every byte checked:
// the modem's pattern read back, the pattern written checked by the modem.
// The bus's watchers (--pcap) see the imported device's bulk data as a
// local device's.
TEST(UsbipLoopback, StreamsEveryByteBothWays) {
  constexpr uint64_t kBytes = 3u << 20;
  auto modem = source_modem(kBytes);
  Served served([modem] { return modem; });
  auto device = import(served);
  ASSERT_TRUE(device);
  std::atomic<uint64_t> watched_in{0}, watched_out{0};
  const uint64_t watch = usb::watch([&](const usb::UrbEvent& e) {
    if (e.transfer_type != USB_ENDPOINT_TYPE_BULK) return;
    if (e.kind == usb::UrbEvent::Kind::complete && (e.endpoint & 0x80)) watched_in += e.data.size();
    if (e.kind == usb::UrbEvent::Kind::submit && !(e.endpoint & 0x80)) watched_out += e.data.size();
  });
  PortRig rig(device);
  rig.set_timeouts(200);
  std::vector<uint8_t> got = rig.say("ATD*99#\r", "CONNECT 7200000\r\n");
  // Uplink while the downlink runs: four 64 KiB writes kept queued.
  std::thread writer([&] {
    std::vector<uint8_t> chunk(65536);
    std::vector<emu::RequestPtr> flight;
    for (uint64_t sent = 0; sent < kBytes; sent += chunk.size()) {
      usb::fill_pattern(sent, chunk);
      flight.push_back(rig.port().write_async(chunk));
      if (flight.size() == 4) {
        ASSERT_TRUE(flight.front()->wait());
        ASSERT_EQ(flight.front()->status(), STATUS_SUCCESS);
        ASSERT_EQ(flight.front()->information(), chunk.size());
        flight.erase(flight.begin());
      }
    }
    for (auto& r : flight) {
      ASSERT_TRUE(r->wait());
      ASSERT_EQ(r->information(), chunk.size());
    }
  });
  while (got.size() < kBytes) {
    auto r = rig.port().read(65536);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    if (r.output.empty()) break;  // a time-out with nothing: the source stalled
    got.insert(got.end(), r.output.begin(), r.output.end());
  }
  writer.join();
  ASSERT_EQ(got.size(), kBytes);
  EXPECT_EQ(usb::check_pattern(0, got), std::nullopt);
  ASSERT_TRUE(WaitUntil([&] { return modem->uplink_bytes() == kBytes; }, 10s)) << modem->uplink_bytes();
  EXPECT_EQ(modem->uplink_mismatch(), std::nullopt);
  EXPECT_EQ(device->detach_reason(), "");
  usb::unwatch(watch);
  EXPECT_GE(watched_in.load(), kBytes);
  EXPECT_GE(watched_out.load(), kBytes);
}

// The server stops mid-stream: the device leaves the bus, the transfers it
// held end, the port's requests end, and the removal that follows is clean
// (the fixture's verifier check and the teardown's leak checks).
TEST(UsbipLoopback, TheServerGoingAwayMidStreamIsTheDeviceLeaving) {
  auto modem = source_modem(0);
  Served served([modem] { return modem; });
  auto device = import(served);
  ASSERT_TRUE(device);
  {
    PortRig rig(device);
    rig.set_timeouts(200);
    rig.say("ATD*99#\r", "CONNECT 7200000\r\n");
    std::vector<emu::RequestPtr> reads;
    for (int i = 0; i < 4; ++i) reads.push_back(rig.port().read_async(65536));
    std::vector<uint8_t> chunk(65536);
    usb::fill_pattern(0, chunk);
    auto write = rig.port().write_async(chunk);
    ASSERT_TRUE(reads.front()->wait());
    served.server->stop();
    ASSERT_TRUE(WaitUntil([&] { return !usb::info(rig.pdo()).plugged; }, 10s));
    EXPECT_NE(device->detach_reason(), "");
    EXPECT_TRUE(WaitUntil([&] { return usb::info(rig.pdo()).pending_transfers == 0; }, 10s));
    for (auto& r : reads) EXPECT_TRUE(r->wait(10s));
    EXPECT_TRUE(write->wait(10s));
  }
}

// Reads of the served device's bulk IN endpoint raced by bytes arriving and
// by cancellation (CMD_UNLINK): each read completes exactly once, succeeded
// with bytes or cancelled with none, and no byte is lost or doubled.
// Seeded pauses between the racers; VRMDM_USBIP_SEED replays a round set.
TEST(UsbipLoopback, CancelRacingCompletionCompletesOnceAndLosesNothing) {
  const char* env = std::getenv("VRMDM_USBIP_SEED");
  const uint64_t seed = env ? std::strtoull(env, nullptr, 10) : 2112;
  std::cout << "[ usbip    ] cancel race seed " << seed << "\n";
  auto served_device = usb::ScriptedDevice::cdc_acm();
  Served served([served_device] { return served_device; });
  auto device = import(served);
  ASSERT_TRUE(device);
  PDEVICE_OBJECT pdo = usb::plug(device);
  usbtest::Client c(pdo);
  ASSERT_EQ(c.configure().status, STATUS_SUCCESS);

  std::mt19937_64 rng(seed);
  usbtest::RaceTally tally;
  {
    usbtest::UrbRequest r(pdo);
    for (int i = 0; i < 300; ++i) {
      SCOPED_TRACE(testing::Message() << "round " << i << " (seed " << seed << ")");
      const auto feed_after = std::chrono::microseconds(rng() % 400);
      const auto cancel_after = std::chrono::microseconds(rng() % 400);
      const int before = r.completions();
      tally.submit(c, r);
      const char byte = static_cast<char>('a' + i % 26);
      tally.queued += byte;
      std::thread feeder([&] {
        std::this_thread::sleep_for(feed_after);
        served_device->queue_in(cdc::BULK_IN_ENDPOINT, std::string_view(&byte, 1));
      });
      std::this_thread::sleep_for(cancel_after);
      r.cancel();
      feeder.join();
      ASSERT_TRUE(r.wait()) << "never completed";
      std::this_thread::sleep_for(1ms);  // a second completion would show now
      ASSERT_EQ(r.completions(), before + 1);
      ASSERT_NO_FATAL_FAILURE(tally.take(r));
    }
  }
  tally.finish(c);
  EXPECT_EQ(device->detach_reason(), "");
  usb::reset();
}

}  // namespace
}  // namespace usbiptest
