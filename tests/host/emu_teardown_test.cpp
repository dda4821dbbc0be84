// The real backend: whatever state a client or a scenario leaves the port in
// (requests parked, a close held back, a removal deferred, the modem gone,
// the device powered down, the clock frozen), the program's end cancels,
// closes, removes and unloads without a verifier finding, and every request
// is reported exactly once.
#include <gtest/gtest.h>

#include <sstream>

#include "emu_backend.h"
#include "scenario_runner.h"

namespace vrmdm {
namespace {

struct Leftover {
  const char* name;
  const char* script;
};

class Teardown : public ::testing::TestWithParam<Leftover> {};

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

TEST_P(Teardown, EndsCleanly) {
  const Script script = parse_script(GetParam().script);
  std::ostringstream out, err;
  int status;
  {
    auto backend = make_emu_backend({});
    ScenarioRunner runner(*backend, out, err);
    status = runner.run(script);
  }
  EXPECT_EQ(status, kRunPassed) << out.str() << err.str();
  EXPECT_EQ(err.str().find("verifier"), std::string::npos) << err.str();
  for (const Command& c : script.commands) {
    if (c.tag.empty() || !c.is_request()) continue;
    EXPECT_EQ(count_of(out.str(), c.text + " -> "), 1u) << c.text << " in\n" << out.str();
  }
}

INSTANTIATE_TEST_SUITE_P(
    ClientLeftovers, Teardown,
    ::testing::Values(
        Leftover{"never_closed", "plug\nopen\nioctl REMOVAL_NOTIFY &N\nioctl WAIT_ON_MASK &W\nread 10 &R\n"},
        Leftover{"close_held_back", "plug\nopen\nioctl REMOVAL_NOTIFY &N\nread 10 &R\nclose\n"},
        Leftover{"removal_refused", "plug\nopen\ndevice remove\nwrite \"AT\\r\" &W\n"},
        Leftover{"modem_pulled", "plug\nopen\nread 10 &R\nmodem unplug\n"},
        Leftover{"surprise_removed_only", "plug\nopen\nmodem unplug\ndevice surprise-remove\nread 1 &R\n"},
        Leftover{"powered_down", "plug\nopen\npower system S3\npower device D3\nread 10 &R\n"},
        Leftover{"two_modems", "plug\nplug port=COM6 modem=acm-datafirst\nopen\nread 10 &R\n"},
        Leftover{"clock_frozen", "plug\nopen\nclock freeze\nread 10 &R\nsleep 5\n"},
        Leftover{"no_interrupt_pipe",
                 "plug modem=acm-nointr\nopen\nioctl SET_WAIT_MASK in=21000000\n"
                 "ioctl WAIT_ON_MASK &W\nmodem lines dcd=1\n"},
        Leftover{"nothing_plugged", "open\nread 1\n"}),
    [](const ::testing::TestParamInfo<Leftover>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vrmdm
