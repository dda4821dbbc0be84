// The simulated modem's AT dialogue on its own, time passed in (the driver
// suite and the host's pty and scenario checks dial it through the bus); and
// the Wine lab's modem (windows/winelab/testbus) against it: the differential
// check compares the two kernels, so the two modems behind them must answer
// alike, to the byte, for what the lab sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <emu/usb/cdc.h>
#include <emu/usb/descriptors.h>
#include <emu/usb/models.h>

#include "../../emu/src/usb/models/modem_core.h"
#include "test_helpers.h"
#include "../../windows/winelab/testbus/descriptors.h"
// The kernel image's modem, built here against the emulator's DDK mirror.
#include "../../windows/winelab/testbus/modem.cpp"

namespace {

using emu::usb::ModemConfig;
using emu::usb::ModemCore;
using Time = ModemCore::Time;
using emu::usb::Bytes;
namespace cdc = emu::usb::cdc;

// A modem core with a clock of its own.
struct Dialogue {
  explicit Dialogue(ModemConfig config = {}) : core(config) {}
  std::string say(std::string_view text) {
    core.host_bytes(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), now);
    return drain();
  }
  std::string drain() {
    std::string out;
    uint8_t buffer[256];
    while (std::size_t n = core.read(buffer, now)) out.append(reinterpret_cast<char*>(buffer), n);
    return out;
  }
  std::string after(Time t) {
    now += t;
    core.tick(now);
    return drain();
  }
  ModemCore core;
  Time now{std::chrono::seconds(100)};
};

// The dialogues of modem_dialogue.txt, each step's answer checked; in the
// `modem lab` dialogues the lab's modem says the same after each step.
TEST(ModemDialogue, AnswersEveryStepOfTheTable) {
  std::unique_ptr<Dialogue> d;
  std::optional<ACM_MODEM> lab;
  int steps = 0, lab_steps = 0;
  for (const auto& [line, w] : vrmdm_test::ReadTable(VRMDM_USB_TESTS "/modem_dialogue.txt")) {
    SCOPED_TRACE("modem_dialogue.txt:" + std::to_string(line));
    const std::string& op = w[0];
    const auto number = [&](std::size_t i) { return i < w.size() ? std::stoi(w[i]) : -1; };
    const auto answer = [&](std::size_t i, const std::string& got) {
      if (i < w.size()) {
        EXPECT_EQ(got, w[i]);
      }
    };
    const auto same_as_lab = [&](const std::string& got) {
      UCHAR out[256];
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), AcmModemRead(&*lab, out, sizeof out)), got)
          << "lab";
      EXPECT_EQ((AcmModemState(&*lab) & ACM_STATE_DCD) != 0, d->core.dcd()) << "lab's DCD";
      EXPECT_EQ((AcmModemState(&*lab) & ACM_STATE_DSR) != 0, d->core.dsr()) << "lab's DSR";
      ++lab_steps;
    };
    ++steps;
    if (lab && op != "modem" && op != "say" && op != "lines")
      ADD_FAILURE() << "a step the lab's modem has not";
    if (op == "modem") {
      ModemConfig config;
      for (const auto& o : w) {
        if (o == "busy") config.dial_result = ModemConfig::DialResult::busy;
        if (o.starts_with("delay=")) config.dial_delay = std::chrono::milliseconds(std::stoi(o.substr(6)));
      }
      d = std::make_unique<Dialogue>(config);
      lab.reset();
      if (std::find(w.begin(), w.end(), "lab") != w.end()) AcmModemInit(&lab.emplace());
    } else if (op == "say") {
      const std::string got = d->say(w.at(1));
      answer(2, got);
      if (lab) {
        AcmModemHostBytes(&*lab, reinterpret_cast<const UCHAR*>(w[1].data()),
                          static_cast<ULONG>(w[1].size()));
        same_as_lab(got);
      }
    } else if (op == "after") {
      answer(2, d->after(std::chrono::milliseconds(number(1))));
    } else if (op == "wait") {
      d->now += std::chrono::milliseconds(number(1));
    } else if (op == "lines") {
      d->core.set_lines(number(1) == 1, number(2) == 1, d->now);
      const std::string got = d->drain();
      answer(3, got);
      if (lab) {
        AcmModemSetLines(&*lab, number(1) == 1, number(2) == 1);
        same_as_lab(got);
      }
    } else if (op == "is") {
      const std::map<std::string, bool> is = {{"dcd", d->core.dcd()},
                                              {"dsr", d->core.dsr()},
                                              {"data", d->core.in_data_mode()},
                                              {"connected", d->core.connected()}};
      ASSERT_TRUE(is.contains(w.at(1))) << w[1];
      EXPECT_EQ(is.at(w[1]), number(2) == 1) << w[1];
    } else {
      ADD_FAILURE() << "unknown step " << op;
    }
  }
  std::printf("modem dialogue: %d steps, %d alike on the lab's modem\n", steps, lab_steps);
  EXPECT_GE(lab_steps, 20);
}

TEST(TestBusModem, DescriptorsAreTheEmulatorModemsByteForByte) {
  EXPECT_EQ(Bytes(std::begin(kTestBusDeviceDescriptor), std::end(kTestBusDeviceDescriptor)),
            cdc::device_descriptor());
  EXPECT_EQ(Bytes(std::begin(kTestBusConfigurationDescriptor), std::end(kTestBusConfigurationDescriptor)),
            cdc::configuration_descriptor(cdc::Variant::acm, emu::usb::Speed::full));
  const auto modem = emu::usb::make_modem("acm");
  const auto text = [](const auto& a) { return std::u16string(std::begin(a), std::end(a)); };
  const std::u16string texts[] = {text(kTestBusLanguages), text(kTestBusManufacturer), text(kTestBusProduct),
                                  text(kTestBusSerial)};
  for (uint8_t i = 0; i < std::size(texts); ++i) {
    const auto bytes = modem->string_descriptor(i, 0x0409);
    EXPECT_EQ(emu::usb::serialize_string(texts[i]), Bytes(bytes.begin(), bytes.end())) << "string " << int(i);
  }
  EXPECT_THROW(emu::usb::make_modem("acm-bogus"), std::invalid_argument);
}

TEST(ModemDialogue, DataSourceSendsTheVerifiablePatternAtItsRate) {
  ModemConfig config;
  config.data_mode = ModemConfig::DataMode::source;
  config.source_rate = 1000;  // bytes per second
  config.source_limit = 2500;
  Dialogue d(config);
  d.say("ATE0\r");
  EXPECT_EQ(d.say("ATD*99#\r"), "\r\nCONNECT 7200000\r\n");
  EXPECT_EQ(d.say("ignored"), "") << "the source swallows the host's bytes";
  EXPECT_EQ(d.core.next_deadline(d.now), d.now + Time(std::chrono::milliseconds(1)));
  std::string got = d.after(std::chrono::milliseconds(1500));
  EXPECT_EQ(got.size(), 1500u);
  got += d.after(std::chrono::seconds(5));
  ASSERT_EQ(got.size(), 2500u) << "the limit ends the stream";
  EXPECT_EQ(emu::usb::check_pattern(0, vrmdm_test::AsBytes(got)), std::nullopt);
  // Any slip shows: the same bytes checked one place off, or with some dropped.
  EXPECT_NE(emu::usb::check_pattern(1, vrmdm_test::AsBytes(got)), std::nullopt);
  EXPECT_EQ(emu::usb::check_pattern(0, vrmdm_test::AsBytes(got.substr(0, 1000) + got.substr(1256))), 1000u);
}

}  // namespace
