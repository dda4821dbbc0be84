// The serial control requests as a client sees them: statuses, answer
// lengths, stored settings and the class requests that reach the modem.
#include <cstring>
#include <vector>

#include "nt_names.h"
#include "port_test_helpers.h"

namespace vrmdm_test {
namespace {

namespace cdc = emu::usb::cdc;

constexpr ULONG kUnknownCodes[] = {
    0x1B0000,  // function 0 of the serial type
    0x1B00A0,  // past the last serial request
    0x1B00A4,
    0x220000,
    0x222004,  // next to the notification code
    // SET_BAUD_RATE's number in the other transfer methods: built with an
    // MDL (direct) or the requester's pointers (neither), never the request.
    0x1B0005,
    0x1B0006,
    0x1B0007,
};

using ControlTest = OpenPortTest;

// ---- Buffer lengths ---------------------------------------------------------------

// Each request with no buffers, with one byte short of its input or output,
// and with its exact or a roomy output: refusals answer nothing and store or
// send nothing, and Information never passes the output length.
TEST_F(ControlTest, BufferLengthsAreCheckedAndNoAnswerIsLongerThanTheOutputBuffer) {
  const auto rows = ReadTable(VRMDM_SOURCE_DIR "/tests/driver/control_buffers.txt");
  EXPECT_EQ(rows.size(), 36u);
  for (const auto& [line, w] : rows) {
    SCOPED_TRACE(w.at(0));
    const struct {
      ULONG code, input, output;
      NTSTATUS no_buffers;
    } row{ULONG(std::stoul(w.at(1), nullptr, 0)), ULONG(std::stoul(w.at(2))), ULONG(std::stoul(w.at(3))),
          NTSTATUS(vrmdm::status_value("STATUS_" + w.at(4)).value())};
    emu::IoResult none = Ioctl(row.code);
    EXPECT_TRUE(Answers(none, row.no_buffers, 0u));
    EXPECT_TRUE(none.output.empty());

    if (row.input > 1) {
      emu::IoResult shortIn = Ioctl(row.code, std::vector<uint8_t>(row.input - 1, 0x5A), 0);
      EXPECT_TRUE(Answers(shortIn, STATUS_BUFFER_TOO_SMALL, 0u));
    }
    if (row.output == 0) continue;
    emu::IoResult shortOut = Ioctl(row.code, {}, row.output - 1);
    EXPECT_TRUE(Answers(shortOut, STATUS_BUFFER_TOO_SMALL, 0u));
    EXPECT_TRUE(shortOut.output.empty());
    if (row.code == IOCTL_SERIAL_WAIT_ON_MASK || row.code == IOCTL_REMOVAL_NOTIFY) continue;
    emu::IoResult exact = Ioctl(row.code, {}, row.output);
    EXPECT_TRUE(Answers(exact, STATUS_SUCCESS, row.output));
    EXPECT_EQ(Ioctl(row.code, {}, row.output + 64).information, row.output);
  }

  // Nothing the refused requests carried was stored or sent.
  EXPECT_TRUE(ClassRequests(cdc::SET_LINE_CODING).empty());
  EXPECT_EQ(FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).output), 0u);
  EXPECT_EQ(FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).output), 0u);
  auto timeouts = FromBytes<SERIAL_TIMEOUTS>(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).output);
  EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_CHARS, {}, 6).output, std::vector<uint8_t>(6, 0));
  auto handFlow = FromBytes<SERIAL_HANDFLOW>(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).output);
  EXPECT_EQ(handFlow.ControlHandShake, 0x09u);
  EXPECT_EQ(handFlow.FlowReplace, 0x80u);
  EXPECT_TRUE(model().out_data(cdc::BULK_OUT_ENDPOINT).empty());

  // Each request with full input and the output it asks for, then with no
  // room at all for output.
  const std::vector<uint8_t> chars = {0x1A, 0x00, 0xFF, '\r', 0x11, 0x13};
  struct Case {
    ULONG code;
    std::vector<uint8_t> input;
    ULONG echoed;  // bytes reported when the output holds them
  } cases[] = {
      {IOCTL_SERIAL_SET_BAUD_RATE, AsBytes<ULONG>(19200), 4},
      {IOCTL_SERIAL_SET_CHARS, chars, 6},
      {IOCTL_SERIAL_SET_HANDFLOW, AsBytes(SERIAL_HANDFLOW{0x01, 0x40, 2048, 512}), 16},
      {IOCTL_SERIAL_PURGE, AsBytes<ULONG>(SERIAL_PURGE_TXCLEAR), 4},
      {IOCTL_SERIAL_SET_MODEM_CONTROL, AsBytes<ULONG>(3), 4},
      {IOCTL_SERIAL_IMMEDIATE_CHAR, {'x'}, 1},
      {IOCTL_SERIAL_SET_WAIT_MASK, AsBytes<ULONG>(SERIAL_EV_RING), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code);
    emu::IoResult noRoom = Ioctl(c.code, c.input, 0);
    EXPECT_TRUE(Answers(noRoom, STATUS_SUCCESS, 0u));
    emu::IoResult room = Ioctl(c.code, c.input, c.echoed);
    EXPECT_TRUE(Answers(room, STATUS_SUCCESS, c.echoed));
  }
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_CHARS, {}, 6).output, chars) << "stored as given";
}

// ---- Line settings ------------------------------------------------------------------

TEST_F(ControlTest, LineCodingGoesOutOnlyWhenASettingChanges) {
  // Right after open the stored rate is 0, so the first rate always goes out.
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, AsBytes<ULONG>(9600), 4).information, 4u);
  auto sent = ClassRequests(cdc::SET_LINE_CODING);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].setup.bmRequestType, 0x21);
  EXPECT_EQ(sent[0].setup.wValue, 0);
  EXPECT_EQ(sent[0].setup.wIndex, 0);
  EXPECT_EQ(sent[0].setup.wLength, 7);
  EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x07}));

  // The same rate: nothing sent, still answered with 4 bytes.
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, AsBytes<ULONG>(9600), 4).information, 4u);
  EXPECT_EQ(ClassRequests(cdc::SET_LINE_CODING).size(), 1u);

  SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(line)).status, STATUS_SUCCESS);
  sent = ClassRequests(cdc::SET_LINE_CODING);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].data, (std::vector<uint8_t>{0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08}));
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(line)).status, STATUS_SUCCESS);
  EXPECT_EQ(ClassRequests(cdc::SET_LINE_CODING).size(), 2u);

  // Values are passed on as the client gave them.
  SERIAL_LINE_CONTROL odd{STOP_BITS_2, SPACE_PARITY, 5};
  Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(odd));
  Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, AsBytes<ULONG>(115200));
  ASSERT_TRUE(model().line_coding().has_value());
  EXPECT_EQ(*model().line_coding(), (cdc::LineCoding{115200, 2, 4, 5}));
  EXPECT_EQ(FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).output), 115200u);

  // The framing answered is fixed, whatever was stored.
  auto answered = Ioctl(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3).output;
  EXPECT_EQ(answered, (std::vector<uint8_t>{1, 0, 8}));
}

TEST_F(ControlTest, ReadTimeoutRules) {
  struct Case {
    SERIAL_TIMEOUTS given;
    ULONG stored_constant;
  } cases[] = {
      {SERIAL_TIMEOUTS{0, 0, 0, 7, 9}, 10000},
      {SERIAL_TIMEOUTS{50, 0, 0, 0, 0}, 50},
      {SERIAL_TIMEOUTS{0, 10, 0, 0, 0}, 10000},
      {SERIAL_TIMEOUTS{50, 10, 0, 0, 0}, 0},
      {SERIAL_TIMEOUTS{0xFFFFFFFF, 0, 0, 0, 0}, 0xFFFFFFFF},
      {SERIAL_TIMEOUTS{0, 0, 300, 1, 2}, 300},
      {SERIAL_TIMEOUTS{20, 0, 300, 0, 0}, 300},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.given.ReadIntervalTimeout << "/"
                                    << c.given.ReadTotalTimeoutMultiplier << "/"
                                    << c.given.ReadTotalTimeoutConstant);
    emu::IoResult set = Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(c.given), 20);
    EXPECT_TRUE(Answers(set, STATUS_SUCCESS, 0u));
    auto stored = FromBytes<SERIAL_TIMEOUTS>(Ioctl(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).output);
    EXPECT_EQ(stored.ReadIntervalTimeout, c.given.ReadIntervalTimeout);
    EXPECT_EQ(stored.ReadTotalTimeoutMultiplier, c.given.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(stored.ReadTotalTimeoutConstant, c.stored_constant);
    EXPECT_EQ(stored.WriteTotalTimeoutMultiplier, c.given.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(stored.WriteTotalTimeoutConstant, c.given.WriteTotalTimeoutConstant);
  }
}

// ---- Wait mask ------------------------------------------------------------------------

// Each set ends the head waiter only, and a waiter under mask 0 ends only by
// cancellation: the wait-mask suite's order and masks-without-events cases.
TEST_F(ControlTest, WaitMaskAccumulates) {
  Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes<ULONG>(SERIAL_EV_RING));
  Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes<ULONG>(SERIAL_EV_CTS));
  EXPECT_EQ(FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).output),
            SERIAL_EV_RING | SERIAL_EV_CTS);
  Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes<ULONG>(SERIAL_EV_BREAK));
  EXPECT_EQ(FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).output),
            SERIAL_EV_RING | SERIAL_EV_CTS | SERIAL_EV_BREAK);
  Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes<ULONG>(0));
  EXPECT_EQ(FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).output), 0u);
}

// ---- Purge --------------------------------------------------------------------------------

// The aborts are the read and write suites' (each with the other clear).
TEST_F(ControlTest, PurgeClearDiscardsReceivedDataOnly) {
  auto inQueue = [&] {
    return FromBytes<SERIAL_STATUS>(Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).output).AmountInInQueue;
  };
  model().queue_in(cdc::BULK_IN_ENDPOINT, "abc");
  ASSERT_TRUE(WaitUntil([&] { return inQueue() == 3; }));

  // Transmit clear has nothing to act on.
  emu::IoResult txClear = Ioctl(IOCTL_SERIAL_PURGE, AsBytes<ULONG>(SERIAL_PURGE_TXCLEAR), 4);
  EXPECT_TRUE(Answers(txClear, STATUS_SUCCESS, 4u));
  EXPECT_EQ(inQueue(), 3u);

  Ioctl(IOCTL_SERIAL_PURGE, AsBytes<ULONG>(SERIAL_PURGE_RXCLEAR));
  EXPECT_EQ(inQueue(), 0u);
}

// ---- DTR, RTS and handshake ---------------------------------------------------------------

TEST_F(ControlTest, LineRequestsSendOnlyDtrAndRts) {
  struct Step {
    ULONG code;
    ULONG expected_value;
  } steps[] = {
      {IOCTL_SERIAL_CLR_DTR, 0x2},
      {IOCTL_SERIAL_CLR_RTS, 0x0},
      {IOCTL_SERIAL_SET_RTS, 0x2},
      {IOCTL_SERIAL_SET_DTR, 0x3},
  };
  for (const Step& s : steps) {
    emu::IoResult r = Ioctl(s.code);
    EXPECT_TRUE(Answers(r, STATUS_SUCCESS, 0u));
    ASSERT_TRUE(model().control_line_state().has_value());
    EXPECT_EQ(*model().control_line_state(), s.expected_value);
  }

  // The whole value is kept and answered; the modem sees bits 0 and 1 only.
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_SET_MODEM_CONTROL, AsBytes<ULONG>(0xF1), 4).information, 4u);
  EXPECT_EQ(*model().control_line_state(), 0x1);
  EXPECT_EQ(FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4).output), 0xF1u);
  auto last = ClassRequests(cdc::SET_CONTROL_LINE_STATE).back();
  EXPECT_EQ(last.setup.bmRequestType, 0x21);
  EXPECT_EQ(last.setup.wIndex, 0);
  EXPECT_EQ(last.setup.wLength, 0);

  // The lines the client asks for are never what GET_DTRRTS reports.
  Ioctl(IOCTL_SERIAL_CLR_DTR);
  EXPECT_EQ(FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_DTRRTS, {}, 4).output), 0xFFFFFFFFu);
}

TEST_F(ControlTest, ALineStateThatCannotBeBuiltFailsAndKeepsTheNewBits) {
  const size_t before = ClassRequests(cdc::SET_CONTROL_LINE_STATE).size();
  emu::faults::fail_tag(emu::pool::tag("Wdm "));
  emu::IoResult r = Ioctl(IOCTL_SERIAL_CLR_DTR);
  emu::faults::clear();
  EXPECT_TRUE(Answers(r, STATUS_UNSUCCESSFUL, 0u));
  EXPECT_EQ(ClassRequests(cdc::SET_CONTROL_LINE_STATE).size(), before);
  EXPECT_EQ(FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4).output), 0x2u);
}

TEST_F(ControlTest, HandshakeIsValidatedAndRaisesTheLinesItNames) {
  Ioctl(IOCTL_SERIAL_CLR_DTR);
  Ioctl(IOCTL_SERIAL_CLR_RTS);
  const size_t sentBefore = ClassRequests(cdc::SET_CONTROL_LINE_STATE).size();

  // Invalid bits: refused, nothing stored, nothing sent.
  for (auto bad : {SERIAL_HANDFLOW{0x80, 0, 2048, 512}, SERIAL_HANDFLOW{0x04, 0, 2048, 512},
                   SERIAL_HANDFLOW{0x01, 0x20, 2048, 512}, SERIAL_HANDFLOW{0x40000000, 0x80, 2048, 512}}) {
    emu::IoResult r = Ioctl(IOCTL_SERIAL_SET_HANDFLOW, AsBytes(bad), 16);
    EXPECT_TRUE(Answers(r, STATUS_INVALID_PARAMETER, 0u));
  }
  EXPECT_EQ(ClassRequests(cdc::SET_CONTROL_LINE_STATE).size(), sentBefore);
  auto kept = FromBytes<SERIAL_HANDFLOW>(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).output);
  EXPECT_EQ(kept.ControlHandShake, 0x09u);
  EXPECT_EQ(kept.FlowReplace, 0x80u);
  EXPECT_EQ(kept.XonLimit, 2048);
  EXPECT_EQ(kept.XoffLimit, 512);

  // RTS handshake raises RTS.  Limits are not validated.
  emu::IoResult rts =
      Ioctl(IOCTL_SERIAL_SET_HANDFLOW, AsBytes(SERIAL_HANDFLOW{SERIAL_ERROR_ABORT, 0x80, -5, 99999}), 16);
  EXPECT_TRUE(Answers(rts, STATUS_SUCCESS, 16u));
  EXPECT_EQ(*model().control_line_state(), 0x2);
  auto stored = FromBytes<SERIAL_HANDFLOW>(Ioctl(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).output);
  EXPECT_EQ(stored.ControlHandShake, SERIAL_ERROR_ABORT);
  EXPECT_EQ(stored.XonLimit, -5);
  EXPECT_EQ(stored.XoffLimit, 99999);

  // DTR handshake raises DTR (RTS stays).
  Ioctl(IOCTL_SERIAL_SET_HANDFLOW, AsBytes(SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, 0, 2048, 512}));
  EXPECT_EQ(*model().control_line_state(), 0x3);
  EXPECT_EQ(FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4).output), 0x3u);

  // Clearing the handshakes never lowers a line, and sends nothing.
  const size_t sent = ClassRequests(cdc::SET_CONTROL_LINE_STATE).size();
  Ioctl(IOCTL_SERIAL_SET_HANDFLOW, AsBytes(SERIAL_HANDFLOW{0, 0, 2048, 512}));
  EXPECT_EQ(ClassRequests(cdc::SET_CONTROL_LINE_STATE).size(), sent);
  EXPECT_EQ(FromBytes<ULONG>(Ioctl(IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4).output), 0x3u);
}

// ---- Constant answers ---------------------------------------------------------------------

TEST_F(ControlTest, PropertiesAreCompleteAndCarryNothingOfTheBuffer) {
  // The system buffer starts out holding the input: fill it with a pattern.
  emu::IoResult r = Ioctl(IOCTL_SERIAL_GET_PROPERTIES, std::vector<uint8_t>(64, 0xA5), 64);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_EQ(r.information, 64u);

  SERIAL_COMMPROP expected;
  std::memset(&expected, 0, sizeof(expected));
  expected.PacketLength = 64;
  expected.PacketVersion = 2;
  expected.ServiceMask = 0x1;
  expected.MaxTxQueue = 1500;
  expected.MaxRxQueue = 1500;
  expected.MaxBaud = 0x10000000;
  expected.ProvSubType = 0x1;
  expected.ProvCapabilities = 0xFF;
  expected.SettableParams = 0x7F;
  expected.SettableBaud = 0x1006FFFF;
  expected.SettableData = 0x000F;
  expected.SettableStopParity = 0x1F07;
  EXPECT_EQ(r.output, AsBytes(expected));
}

TEST_F(ControlTest, StatusStatisticsAndConfigAnswers) {
  ext()->PerfStats = SERIALPERF_STATS{11, 22, 33, 44, 55, 66};
  EXPECT_EQ(FromBytes<SERIALPERF_STATS>(Ioctl(IOCTL_SERIAL_GET_STATS, {}, 24).output).ParityErrorCount, 66u);
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLEAR_STATS).status, STATUS_SUCCESS);
  auto stats = FromBytes<SERIALPERF_STATS>(Ioctl(IOCTL_SERIAL_GET_STATS, {}, 24).output);
  EXPECT_EQ(stats.ReceivedCount, 0u);
  EXPECT_EQ(stats.TransmittedCount, 0u);
  EXPECT_EQ(stats.FrameErrorCount, 33u);
  EXPECT_EQ(stats.ParityErrorCount, 66u);
  ext()->PerfStats = SERIALPERF_STATS{};
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_GET_STATS, {}, 24).output, std::vector<uint8_t>(24, 0));

  // The comm status: only the unread count is live; the padding is clean too.
  model().queue_in(cdc::BULK_IN_ENDPOINT, "12345");
  std::vector<uint8_t> status;
  ASSERT_TRUE(WaitUntil([&] {
    status = Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, std::vector<uint8_t>(20, 0xEE), 20).output;
    return FromBytes<SERIAL_STATUS>(status).AmountInInQueue == 5;
  }));
  std::vector<uint8_t> expected(20, 0);
  expected[8] = 5;
  EXPECT_EQ(status, expected);

  // The configuration size writes nothing.
  emu::IoResult config = Ioctl(IOCTL_SERIAL_CONFIG_SIZE, {}, 4);
  EXPECT_TRUE(Answers(config, STATUS_SUCCESS, 0u));
}

TEST_F(ControlTest, UnknownCodesAreInvalid) {
  for (ULONG code : kUnknownCodes) {
    SCOPED_TRACE(testing::Message() << std::hex << code);
    emu::IoResult r = Ioctl(code, std::vector<uint8_t>(8, 1), 8);
    EXPECT_TRUE(Answers(r, STATUS_INVALID_PARAMETER, 0u));
  }
  // A serial code that is not a multiple of four (another transfer method)
  // is not the request of the same number.
  const uint8_t rate[4] = {0x80, 0x25, 0, 0};
  emu::IoResult neither = SendIoctlDirect(dev_->fdo(), IOCTL_SERIAL_SET_BAUD_RATE | METHOD_NEITHER, rate, 4);
  EXPECT_EQ(neither.status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(ClassRequests(cdc::SET_LINE_CODING).empty());
  // An immediate character is one character alone.
  EXPECT_EQ(Ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, {'a', 'b'}, 1).status, STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(model().out_data(cdc::BULK_OUT_ENDPOINT).empty());
}

// ---- Admission ------------------------------------------------------------------------------

class ControlAdmissionTest : public DriverFixture {};

TEST_F(ControlAdmissionTest, RefusedBeforeOpenAndAfterSurpriseRemoval) {
  PluggedDevice& dev = PlugScripted();
  ASSERT_EQ(Start(dev), STATUS_SUCCESS);

  const ULONG beforeOpen[] = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_DTR, IOCTL_REMOVAL_NOTIFY,
                              0x1B00A0};
  for (ULONG code : beforeOpen) {
    emu::IoResult r = SendIoctlDirect(dev.fdo(), code, {}, 4);
    EXPECT_TRUE(Answers(r, STATUS_ACCESS_DENIED, 0u));
  }
  EXPECT_FALSE(dev.as<emu::usb::ScriptedDevice>()->control_line_state().has_value());

  emu::Handle& port = Open();
  ASSERT_EQ(port.status(), STATUS_SUCCESS);
  ASSERT_EQ(dev.node->surprise_remove(), STATUS_SUCCESS);
  const ULONG afterRemoval[] = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_WAIT_ON_MASK,
                                IOCTL_REMOVAL_NOTIFY, 0x1B00A0};
  for (ULONG code : afterRemoval) {
    emu::IoResult r = port.ioctl(code, {}, 4);
    EXPECT_TRUE(Answers(r, STATUS_NOT_SUPPORTED, 0u));
  }
}

}  // namespace
}  // namespace vrmdm_test
