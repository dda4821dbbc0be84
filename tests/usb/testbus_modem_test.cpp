// The Wine lab's modem (windows/winelab/testbus) against the emulator's: the
// differential check compares the two kernels, so the two modems behind
// them must answer alike, to the byte, for what the lab sends.
#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include <emu/usb/cdc.h>
#include <emu/usb/descriptors.h>
#include <emu/usb/models.h>

#include "../../emu/src/usb/models/modem_core.h"
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
    EXPECT_EQ(emu::usb::serialize_string(texts[i]),
              [&] {
                const auto bytes = modem->string_descriptor(i, 0x0409);
                return Bytes(bytes.begin(), bytes.end());
              }())
        << "string " << int(i);
  }
}

// One step of a session: bytes from the host, or the control lines set.
struct Step {
  std::variant<std::string, std::pair<bool, bool>> what;  // text, or (DTR, RTS)
};

TEST(TestBusModem, AnswersAsTheEmulatorsModemToWhatTheLabSends) {
  using namespace std::string_literals;
  const std::vector<Step> session = {
      // Lines still down: a call comes up all the same, and lines that stay
      // down do not end it.
      {"ATD*99#\r"s},
      {std::pair(false, true)},
      {std::pair(true, true)},
      {std::pair(false, false)},
      {std::pair(true, true)},
      {"AT\r"s},
      {"ATE0\r"s},
      {"AT\r"s},
      {"ATE1\r"s},
      {"at\r\n"s},
      // Backspace edits the line; extended and ampersand commands answer OK.
      {"ATE2\b1\r"s},
      {"AT&D2\r"s},
      {"AT&C1&D2\r"s},
      {"hello\r"s},
      {"ATZ\r"s},
      {"ATD*99#\r"s},
      {"~\x00\xff}#~AT\r"s},
      {std::pair(false, true)},
      {"AT\r"s},
      {std::pair(true, false)},
      {"ATD*99#\r"s},
      {std::pair(false, false)},
      {"AT\r"s},
  };

  ACM_MODEM lab;
  AcmModemInit(&lab);
  emu::usb::ModemCore emulator{emu::usb::ModemConfig{}};
  const emu::usb::ModemCore::Time now{std::chrono::seconds(1)};
  for (std::size_t i = 0; i < session.size(); ++i) {
    if (const auto* text = std::get_if<std::string>(&session[i].what)) {
      AcmModemHostBytes(&lab, reinterpret_cast<const UCHAR*>(text->data()), static_cast<ULONG>(text->size()));
      emulator.host_bytes(std::span(reinterpret_cast<const uint8_t*>(text->data()), text->size()), now);
    } else {
      const auto [dtr, rts] = std::get<std::pair<bool, bool>>(session[i].what);
      AcmModemSetLines(&lab, dtr, rts);
      emulator.set_lines(dtr, rts, now);
    }
    UCHAR lab_out[256];
    const std::string lab_said(reinterpret_cast<char*>(lab_out), AcmModemRead(&lab, lab_out, sizeof lab_out));
    uint8_t emu_out[256];
    const std::string emu_said(reinterpret_cast<char*>(emu_out), emulator.read(emu_out, now));
    EXPECT_EQ(lab_said, emu_said) << "step " << i;
    EXPECT_EQ((AcmModemState(&lab) & ACM_STATE_DCD) != 0, emulator.dcd()) << "DCD after step " << i;
    EXPECT_EQ((AcmModemState(&lab) & ACM_STATE_DSR) != 0, emulator.dsr()) << "DSR after step " << i;
  }
}

}  // namespace
