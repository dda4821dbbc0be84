// The Wine lab's modem (windows/winelab/testbus) against the emulator's: the
// differential check compares the two kernels, so the two modems behind
// them must answer alike, to the byte, for what the lab sends.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include <emu/usb/cdc.h>
#include <emu/usb/descriptors.h>
#include <emu/usb/models.h>

#include "../../emu/src/usb/models/modem_core.h"
#include "test_helpers.h"
#include "../../windows/winelab/testbus/descriptors.h"
// The kernel image's modem, built here against the emulator's DDK mirror.
#include "../../windows/winelab/testbus/modem.cpp"

namespace {

namespace cdc = emu::usb::cdc;
using emu::usb::Bytes;

TEST(TestBusModem, DescriptorsAreTheEmulatorModemsByteForByte) {
  EXPECT_EQ(Bytes(std::begin(kTestBusDeviceDescriptor), std::end(kTestBusDeviceDescriptor)),
            cdc::device_descriptor());
  EXPECT_EQ(Bytes(std::begin(kTestBusConfigurationDescriptor), std::end(kTestBusConfigurationDescriptor)),
            cdc::configuration_descriptor(cdc::Variant::acm, emu::usb::Speed::full));
  const auto modem = emu::usb::make_modem("acm");
  const std::vector<std::u16string> texts = {
      std::u16string(std::begin(kTestBusLanguages), std::end(kTestBusLanguages)),
      std::u16string(std::begin(kTestBusManufacturer), std::end(kTestBusManufacturer)),
      std::u16string(std::begin(kTestBusProduct), std::end(kTestBusProduct)),
      std::u16string(std::begin(kTestBusSerial), std::end(kTestBusSerial))};
  for (uint8_t i = 0; i < texts.size(); ++i) {
    const auto bytes = modem->string_descriptor(i, 0x0409);
    EXPECT_EQ(emu::usb::serialize_string(texts[i]), Bytes(bytes.begin(), bytes.end())) << "string " << int(i);
  }
  EXPECT_THROW(emu::usb::make_modem("acm-bogus"), std::invalid_argument);
}

// The `modem lab` dialogues of modem_dialogue.txt, step by step into both.
TEST(TestBusModem, AnswersAsTheEmulatorsModemToWhatTheLabSends) {
  std::optional<ACM_MODEM> lab;
  std::optional<emu::usb::ModemCore> emulator;
  const emu::usb::ModemCore::Time now{std::chrono::seconds(1)};
  int steps = 0;
  for (const auto& [line, w] : vrmdm_test::ReadTable(VRMDM_USB_TESTS "/modem_dialogue.txt")) {
    if (w[0] == "modem") {
      lab.reset();
      emulator.reset();
      if (std::find(w.begin(), w.end(), "lab") != w.end()) {
        AcmModemInit(&lab.emplace());
        emulator.emplace(emu::usb::ModemConfig{});
      }
      continue;
    }
    if (!lab) continue;
    if (w[0] == "say") {
      const std::string& text = w.at(1);
      AcmModemHostBytes(&*lab, reinterpret_cast<const UCHAR*>(text.data()), static_cast<ULONG>(text.size()));
      emulator->host_bytes(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), now);
    } else {
      ASSERT_EQ(w[0], "lines") << "line " << line << ": a step the lab's modem has not";
      AcmModemSetLines(&*lab, w.at(1) == "1", w.at(2) == "1");
      emulator->set_lines(w[1] == "1", w[2] == "1", now);
    }
    UCHAR lab_out[256];
    const std::string lab_said(reinterpret_cast<char*>(lab_out),
                               AcmModemRead(&*lab, lab_out, sizeof lab_out));
    uint8_t emu_out[256];
    const std::string emu_said(reinterpret_cast<char*>(emu_out), emulator->read(emu_out, now));
    EXPECT_EQ(lab_said, emu_said) << "line " << line;
    EXPECT_EQ((AcmModemState(&*lab) & ACM_STATE_DCD) != 0, emulator->dcd()) << "DCD after line " << line;
    EXPECT_EQ((AcmModemState(&*lab) & ACM_STATE_DSR) != 0, emulator->dsr()) << "DSR after line " << line;
    ++steps;
  }
  EXPECT_GE(steps, 20);
}

}  // namespace
