// The simulated modem: its AT dialogue on its own (time passed in), then
// dialled through raw URBs on the bus as a driver would.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <emu/usb/scenario_modem.h>

#include "../../emu/src/usb/models/modem_core.h"
#include "test_helpers.h"
#include "usb_client.h"

namespace {

using namespace usbtest;
using emu::usb::ModemConfig;
using emu::usb::ModemCore;
namespace cdc = emu::usb::cdc;
using Time = ModemCore::Time;

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

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

// The dialogues of modem_dialogue.txt, each step's answer checked.
TEST(ModemDialogue, AnswersEveryStepOfTheTable) {
  std::unique_ptr<Dialogue> d;
  int steps = 0;
  for (const auto& [line, w] : vrmdm_test::ReadTable(VRMDM_USB_TESTS "/modem_dialogue.txt")) {
    SCOPED_TRACE("modem_dialogue.txt:" + std::to_string(line));
    const std::string& op = w[0];
    const auto number = [&](std::size_t i) { return i < w.size() ? std::stoi(w[i]) : -1; };
    const auto answer = [&](std::size_t i, const std::string& got) {
      if (i < w.size()) {
        EXPECT_EQ(got, w[i]);
      }
    };
    ++steps;
    if (op == "modem") {
      ModemConfig config;
      for (const auto& o : w) {
        if (o == "busy") config.dial_result = ModemConfig::DialResult::busy;
        if (o.starts_with("delay=")) config.dial_delay = std::chrono::milliseconds(std::stoi(o.substr(6)));
      }
      d = std::make_unique<Dialogue>(config);
    } else if (op == "say") {
      answer(2, d->say(w.at(1)));
    } else if (op == "after") {
      answer(2, d->after(std::chrono::milliseconds(number(1))));
    } else if (op == "wait") {
      d->now += std::chrono::milliseconds(number(1));
    } else if (op == "lines") {
      d->core.set_lines(number(1) == 1, number(2) == 1, d->now);
      answer(3, d->drain());
    } else if (op == "is") {
      const bool is[] = {d->core.dcd(), d->core.dsr(), d->core.in_data_mode(), d->core.connected()};
      const std::vector<std::string> names = {"dcd", "dsr", "data", "connected"};
      const auto k = std::find(names.begin(), names.end(), w.at(1)) - names.begin();
      ASSERT_LT(k, 4) << w[1];
      EXPECT_EQ(is[k], number(2) == 1) << w[1];
    } else {
      ADD_FAILURE() << "unknown step " << op;
    }
  }
  std::printf("modem dialogue: %d steps\n", steps);
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
  EXPECT_EQ(emu::usb::check_pattern(0, std::span(reinterpret_cast<const uint8_t*>(got.data()), got.size())),
            std::nullopt);
  // Any slip shows: the same bytes checked one place off.
  EXPECT_NE(emu::usb::check_pattern(1, std::span(reinterpret_cast<const uint8_t*>(got.data()), got.size())),
            std::nullopt);
  std::string dropped = got.substr(0, 1000) + got.substr(1256);
  EXPECT_EQ(
      emu::usb::check_pattern(0, std::span(reinterpret_cast<const uint8_t*>(dropped.data()), dropped.size())),
      1000u);
}

// ---- Through the bus -------------------------------------------------------------

class ModemOnBusTest : public BusTest {
 protected:
  void plug(ModemConfig config = {}) { plug(std::make_shared<emu::usb::ModemModel>(config)); }
  void plug(std::shared_ptr<emu::usb::ModemModel> modem) {
    modem_ = std::move(modem);
    pdo_ = emu::usb::plug(modem_);
    client_ = std::make_unique<Client>(pdo_);
  }
  // One serial-state notification from the interrupt pipe, as a driver reads
  // it: 16 bytes asked, the state in byte 8.
  int read_serial_state() {
    uint8_t buffer[16] = {};
    ULONG n = 0;
    Sync s = client_->transfer(cdc::NOTIFY_ENDPOINT, buffer, sizeof buffer, kIn, &n);
    EXPECT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(buffer[0], 0xA1);
    EXPECT_EQ(buffer[1], cdc::SERIAL_STATE);
    EXPECT_EQ(buffer[6], 2);
    return buffer[8];
  }
  std::shared_ptr<emu::usb::ModemModel> modem_;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::unique_ptr<Client> client_;
};

TEST_F(ModemOnBusTest, DialsThroughRawUrbsAndHangsUpAfterTheEscape) {
  plug();
  Client& c = *client_;
  // Configuration as a driver does it: device descriptor, configuration
  // header, the whole set, selection with its transfer sizes.
  UrbRequest dd(pdo_);
  uint8_t device[18];
  UsbBuildGetDescriptorRequest(dd.urb(), (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, nullptr, 18, nullptr);
  ASSERT_EQ(c.submit(dd).status, STATUS_SUCCESS);
  EXPECT_EQ(device[8] | device[9] << 8, cdc::VENDOR_ID);
  EXPECT_EQ(dd.urb()->UrbHeader.UsbdDeviceHandle, emu::usb::info(pdo_).device_handle);
  ASSERT_EQ(c.configure().status, STATUS_SUCCESS);

  // Line coding, then DTR and RTS: DSR comes back on the interrupt pipe.
  uint8_t coding[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};  // 115200 8N1
  EXPECT_EQ(c.class_request(cdc::SET_LINE_CODING, 0, 0, coding, 7, false).status, STATUS_SUCCESS);
  EXPECT_EQ(modem_->line_coding()->dte_rate, 115200u);
  EXPECT_EQ(c.class_request(cdc::SET_CONTROL_LINE_STATE, 3, 0, nullptr, 0, false).status, STATUS_SUCCESS);
  EXPECT_EQ(read_serial_state(), 0x02);

  // A read waits on the interrupt pipe while nothing changes.
  UrbRequest notify(pdo_);
  uint8_t nbuf[16] = {};
  c.build_transfer(notify, cdc::NOTIFY_ENDPOINT, nbuf, sizeof nbuf, kIn);
  EXPECT_EQ(notify.send(), STATUS_PENDING);

  EXPECT_EQ(c.write(cdc::BULK_OUT_ENDPOINT, "ATE0\r").status, STATUS_SUCCESS);
  EXPECT_EQ(read_until(c, cdc::BULK_IN_ENDPOINT, "OK\r\n"), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(c.write(cdc::BULK_OUT_ENDPOINT, "ATD*99#\r").status, STATUS_SUCCESS);
  EXPECT_EQ(read_until(c, cdc::BULK_IN_ENDPOINT, "CONNECT"), "\r\nCONNECT 7200000\r\n");
  ASSERT_TRUE(notify.wait());
  EXPECT_EQ(notify.status(), STATUS_SUCCESS);
  EXPECT_EQ(nbuf[8], 0x03) << "DCD and DSR";
  EXPECT_TRUE(modem_->dcd());

  // Data mode: the modem loops the bytes back.
  EXPECT_EQ(c.write(cdc::BULK_OUT_ENDPOINT, "ping").status, STATUS_SUCCESS);
  EXPECT_EQ(read_until(c, cdc::BULK_IN_ENDPOINT, "ping"), "ping");

  // Escape under the emulator clock, with a read pending across it.
  emu::clock::freeze();
  emu::clock::advance(std::chrono::milliseconds(1100));
  EXPECT_EQ(c.write(cdc::BULK_OUT_ENDPOINT, "+++").status, STATUS_SUCCESS);
  EXPECT_EQ(read_until(c, cdc::BULK_IN_ENDPOINT, "+++"), "+++");
  UrbRequest ok(pdo_);
  uint8_t obuf[64];
  c.build_transfer(ok, cdc::BULK_IN_ENDPOINT, obuf, sizeof obuf, kIn);
  EXPECT_EQ(ok.send(), STATUS_PENDING);
  emu::clock::advance(std::chrono::milliseconds(900));
  EXPECT_FALSE(ok.wait(30ms)) << "no OK before the guard time has passed";
  emu::clock::advance(std::chrono::milliseconds(100));
  ASSERT_TRUE(ok.wait());
  EXPECT_EQ(
      std::string(reinterpret_cast<char*>(obuf), ok.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength),
      "\r\nOK\r\n");
  emu::clock::unfreeze();

  EXPECT_EQ(c.write(cdc::BULK_OUT_ENDPOINT, "ATH\r").status, STATUS_SUCCESS);
  EXPECT_EQ(read_until(c, cdc::BULK_IN_ENDPOINT, "OK\r\n"), "\r\nOK\r\n");
  EXPECT_EQ(read_serial_state(), 0x02) << "DCD off, DSR still on";
  EXPECT_FALSE(modem_->connected());
  auto received = modem_->received();
  EXPECT_EQ(std::string(received.begin(), received.end()), "ATE0\rATD*99#\rping+++ATH\r");
}

// The scenario modem's doors: its bytes and its notifications come before
// the modem's own, which still follow.
TEST_F(ModemOnBusTest, ScenarioDoorsComeFirstAndTheModemStillAnswers) {
  auto scenario = std::make_shared<emu::usb::ScenarioModem>();
  plug(scenario);
  Client& c = *client_;
  ASSERT_EQ(c.configure().status, STATUS_SUCCESS);
  const auto bytes = [](std::string_view text) {
    return std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };

  // A pending read is woken by the door's bytes.
  UrbRequest ring(pdo_);
  uint8_t buffer[64];
  c.build_transfer(ring, cdc::BULK_IN_ENDPOINT, buffer, sizeof buffer, kIn);
  EXPECT_EQ(ring.send(), STATUS_PENDING);
  scenario->send(bytes("RING\r\n"));
  ASSERT_TRUE(ring.wait());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer),
                        ring.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength),
            "RING\r\n");
  EXPECT_EQ(c.write(cdc::BULK_OUT_ENDPOINT, "AT\r").status, STATUS_SUCCESS);
  scenario->send(bytes("X"));
  EXPECT_EQ(read_until(c, cdc::BULK_IN_ENDPOINT, "OK\r\n"), "XAT\r\r\nOK\r\n");

  // Chosen line bits, the other as last notified by the door.
  scenario->lines(true, std::nullopt);
  EXPECT_EQ(read_serial_state(), 0x01);
  scenario->lines(std::nullopt, true);
  EXPECT_EQ(read_serial_state(), 0x03);
  scenario->lines(false, false);
  EXPECT_EQ(read_serial_state(), 0x00);
  // The modem's own: DSR follows DTR.
  EXPECT_EQ(c.class_request(cdc::SET_CONTROL_LINE_STATE, 1, 0, nullptr, 0, false).status, STATUS_SUCCESS);
  EXPECT_EQ(read_serial_state(), 0x02);
}

TEST_F(ModemOnBusTest, VariantsOfferTheirPipes) {
  for (const char* name : {"acm", "acm-nointr", "acm-datafirst"}) {
    SCOPED_TRACE(name);
    modem_ = emu::usb::make_modem(name);
    pdo_ = emu::usb::plug(modem_);
    Client c(pdo_);
    ASSERT_EQ(c.configure().status, STATUS_SUCCESS);
    const bool intr = std::string(name) != "acm-nointr";
    EXPECT_EQ(c.pipes().size(), intr ? 3u : 2u);
    EXPECT_EQ(modem_->configured_pipes().size(), c.pipes().size());
    EXPECT_EQ(c.interfaces()[0].InterfaceNumber, std::string(name) == "acm-datafirst" ? 1 : 0);
    // Class requests go to the communications interface only.
    EXPECT_EQ(c.class_request(cdc::SET_CONTROL_LINE_STATE, 1, 0, nullptr, 0, false).status, STATUS_SUCCESS);
    EXPECT_EQ(c.class_request(cdc::SET_CONTROL_LINE_STATE, 1, 1, nullptr, 0, false).usbd,
              USBD_STATUS_STALL_PID);
    c.write(cdc::BULK_OUT_ENDPOINT, "AT\r");
    EXPECT_EQ(read_until(c, cdc::BULK_IN_ENDPOINT, "OK"), "AT\r\r\nOK\r\n");
  }
  EXPECT_THROW(emu::usb::make_modem("acm-bogus"), std::invalid_argument);
}

}  // namespace
