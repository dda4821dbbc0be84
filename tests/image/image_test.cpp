// The shipped vr_mdm.sys against the linked driver, in one run: the same
// modem stream (every byte once, in order) and the same AT round trips, with
// the verifier armed for both.  Throughput and round trip of each are printed
// side by side.  The image is cross-built by this build's fixture
// (VRMDM_DRIVER_IMAGE).

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/loader.h>
#include <emu/usb/models.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>
#include <nt/ntddk.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "port_rig.h"

namespace {

namespace usb = emu::usb;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kStreamBytes = 8ull << 20;
constexpr int kRoundTrips = 50;
#else
constexpr uint64_t kStreamBytes = 64ull << 20;
constexpr int kRoundTrips = 200;
#endif

enum class Build { linked, loaded };

const char* name_of(Build b) { return b == Build::linked ? "linked driver" : "vr_mdm.sys"; }
void PrintTo(Build b, std::ostream* os) { *os << name_of(b); }

class DriverBuilds : public ::testing::TestWithParam<Build> {};

// The build under test on the modem: AT round trips in command mode, then
// the modem's stream after the dial.
TEST_P(DriverBuilds, AtRoundTripsThenTheModemStreamArrivesOnceAndInOrder) {
  usb::ModemConfig config;
  config.data_mode = usb::ModemConfig::DataMode::source;
  config.source_limit = kStreamBytes;
  emu::Driver driver;
  if (GetParam() == Build::linked) {
    driver = vrmdm_test::LinkedDriver();
  } else {
    std::string error;
    auto image = emu::ldr::load_image_file(VRMDM_DRIVER_IMAGE, &error);
    ASSERT_TRUE(image) << error;
    driver = emu::load_driver(std::move(image), vrmdm_test::kServiceKey, u"\\Driver\\vr_mdm");
  }
  ASSERT_TRUE(driver.loaded()) << "DriverEntry returned " << std::hex << driver.entry_status();
  const auto modem = usb::make_modem("acm", config);
  vrmdm_test::PortRig rig(modem, std::move(driver));
  ASSERT_TRUE(rig.port().is_open());
  ASSERT_NO_FATAL_FAILURE(rig.set_timeouts(1000));
  std::vector<double> micros;
  for (int i = 0; i < kRoundTrips && !HasFailure(); ++i) {
    const auto start = Clock::now();
    rig.say("AT\r", "OK\r\n");
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  ASSERT_FALSE(HasFailure());
  std::sort(micros.begin(), micros.end());
  std::printf("[ round trip ] %s: AT -> OK median %.0f us, p90 %.0f us over %d\n", name_of(GetParam()),
              micros[micros.size() / 2], micros[micros.size() * 9 / 10], kRoundTrips);

  ASSERT_NO_FATAL_FAILURE(rig.set_timeouts(20));
  const auto head = rig.say("ATD*99#\r", "CONNECT " + std::to_string(config.connect_rate) + "\r\n");
  ASSERT_FALSE(HasFailure());
  uint64_t offset = 0;
  auto take = [&](const uint8_t* data, std::size_t n) {
    auto bad = usb::check_pattern(offset, {data, n});
    ASSERT_FALSE(bad.has_value()) << "byte " << offset + *bad << " is wrong";
    offset += n;
  };
  take(reinterpret_cast<const uint8_t*>(head.data()), head.size());
  const auto traps = emu::ldr::trap_counts();
  const auto begin = Clock::now();
  while (offset < kStreamBytes && !HasFatalFailure()) {
    auto r = rig.port().read(16384);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    take(r.output.data(), r.output.size());
    ASSERT_LT(Clock::now() - begin, 300s) << "stalled at " << offset;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
  EXPECT_EQ(offset, kStreamBytes);
  EXPECT_EQ(modem->source_bytes_sent(), kStreamBytes);
  const auto now = emu::ldr::trap_counts();
  std::printf(
      "[ receive ] %s: %llu bytes in %.2f s, %.1f MB/s (%llu cr8 accesses emulated)\n", name_of(GetParam()),
      static_cast<unsigned long long>(kStreamBytes), seconds, kStreamBytes / seconds / 1e6,
      static_cast<unsigned long long>(now.cr8_reads + now.cr8_writes - traps.cr8_reads - traps.cr8_writes));
}

INSTANTIATE_TEST_SUITE_P(, DriverBuilds, ::testing::Values(Build::linked, Build::loaded),
                         [](const auto& info) { return info.param == Build::linked ? "Linked" : "Image"; });

}  // namespace
