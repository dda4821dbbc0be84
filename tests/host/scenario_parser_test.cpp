// The scenario language: string literals, numbers, every command form, and
// the errors a script author gets (with the right line).
#include <gtest/gtest.h>

#include "nt_names.h"
#include "scenario.h"
#include "text_codec.h"
#include "test_helpers.h"

namespace vrmdm {
namespace {

using vrmdm_test::AsBytes;

Bytes decode(std::string_view text) {
  std::size_t pos = 0;
  Bytes b = parse_quoted(text, pos);
  EXPECT_EQ(pos, text.size()) << text;
  return b;
}

TEST(DataLiteral, EscapesDecode) {
  EXPECT_EQ(decode(R"("AT\r")"), AsBytes("AT\r"));
  EXPECT_EQ(decode(R"("a\nb\\c\"d")"), AsBytes("a\nb\\c\"d"));
  EXPECT_EQ(decode(R"("\x00\xff\xAb")"), (Bytes{0x00, 0xFF, 0xAB}));
  EXPECT_EQ(decode(R"("")"), Bytes{});
  // '#' and blanks inside a string are data, not a comment.
  EXPECT_EQ(decode(R"("ATD*99# ok")"), AsBytes("ATD*99# ok"));
}

TEST(DataLiteral, StopsAtClosingQuote) {
  std::string_view text = R"("AT" rest)";
  std::size_t pos = 0;
  EXPECT_EQ(parse_quoted(text, pos), AsBytes("AT"));
  EXPECT_EQ(pos, 4u);
}

TEST(DataLiteral, MalformedLiteralsAreRefused) {
  for (std::string_view bad : {R"("AT)", R"("\q")", R"("\x4")", R"("\xg0")", R"("abc\)", R"(AT)"}) {
    std::size_t pos = 0;
    EXPECT_THROW(parse_quoted(bad, pos), SyntaxError) << bad;
  }
}

TEST(DataLiteral, EveryByteRoundTrips) {
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  const std::string text = "\"" + escape_bytes(all) + "\"";
  EXPECT_EQ(decode(text), all);
  // Printable text stays readable; the rest is escaped in lower-case hex.
  EXPECT_EQ(escape_bytes(AsBytes("\r\nOK\r\n")), R"(\r\nOK\r\n)");
  EXPECT_EQ(escape_bytes(Bytes{0x00, 0x7F, 0x1B, '"', '\\'}), R"(\x00\x7f\x1b\"\\)");
}

TEST(Hex, RoundTripAndErrors) {
  EXPECT_EQ(to_hex(Bytes{0x00, 0xC2, 0x01, 0xFF}), "00c201ff");
  EXPECT_EQ(parse_hex("00C201ff"), (Bytes{0x00, 0xC2, 0x01, 0xFF}));
  EXPECT_EQ(parse_hex(""), Bytes{});
  EXPECT_THROW(parse_hex("abc"), SyntaxError);
  EXPECT_THROW(parse_hex("zz"), SyntaxError);
}

TEST(Numbers, DecimalHexAndRange) {
  EXPECT_EQ(parse_u32("0"), 0u);
  EXPECT_EQ(parse_u32("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(parse_u32("0x1B0004"), 0x1B0004u);
  EXPECT_THROW(parse_u32("4294967296"), SyntaxError);
  EXPECT_THROW(parse_u32("0x100000000"), SyntaxError);
  EXPECT_THROW(parse_u32("-1"), SyntaxError);
  EXPECT_THROW(parse_u32("12ab"), SyntaxError);
  EXPECT_THROW(parse_u32(""), SyntaxError);
}

TEST(Names, StatusesAndRequests) {
  EXPECT_EQ(status_name(0), "STATUS_SUCCESS");
  EXPECT_EQ(status_name(0xC0000120), "STATUS_CANCELLED");
  EXPECT_EQ(status_name(0xC00000BB), "STATUS_NOT_SUPPORTED");
  EXPECT_EQ(status_name(0xC0000022), "STATUS_ACCESS_DENIED");
  EXPECT_EQ(status_name(0x12345678), "0x12345678");
  EXPECT_EQ(status_name(0xC0DEFACE), "0xC0DEFACE");
  EXPECT_EQ(status_value("STATUS_PENDING"), 0x103u);

  EXPECT_EQ(ioctl_code("SET_BAUD_RATE"), 0x1B0004u);
  EXPECT_EQ(ioctl_code("WAIT_ON_MASK"), 0x1B0048u);
  EXPECT_EQ(ioctl_code("SET_FIFO_CONTROL"), 0x1B009Cu);
  EXPECT_EQ(ioctl_code("REMOVAL_NOTIFY"), 0x222000u);
  EXPECT_EQ(ioctl_code("0x1B0006"), 0x1B0006u);
  EXPECT_EQ(ioctl_code("IOCTL_SERIAL_SET_BAUD_RATE"), std::nullopt);
  EXPECT_EQ(ioctl_code("set_baud_rate"), std::nullopt);
  EXPECT_EQ(ioctl_name(0x1B004C), "PURGE");
  EXPECT_EQ(ioctl_name(0x1B0006), "0x001B0006");
}

Command one(std::string_view line) {
  auto c = parse_line(line, 7);
  EXPECT_TRUE(c.has_value()) << line;
  return c.value_or(Command{});
}

TEST(Parser, BlankAndCommentLinesAreSkipped) {
  EXPECT_FALSE(parse_line("", 1));
  EXPECT_FALSE(parse_line("   \t ", 1));
  EXPECT_FALSE(parse_line("# a comment", 1));
  EXPECT_FALSE(parse_line("   # indented", 1));
  EXPECT_FALSE(parse_line("\r", 1));
}

TEST(Parser, TextAsWrittenDropsCommentAndBlanks) {
  Command c = one("   write \"AT\\r\"   &W1   # say hello\r");
  EXPECT_EQ(c.op, Op::write);
  EXPECT_EQ(c.text, "write \"AT\\r\"   &W1");
  EXPECT_EQ(c.tag, "&W1");
  EXPECT_EQ(c.data, AsBytes("AT\r"));
  EXPECT_EQ(c.line, 7);
}

TEST(Parser, PlugOptions) {
  Command c = one("plug");
  EXPECT_EQ(c.op, Op::plug);
  EXPECT_EQ(c.port, "COM5");
  EXPECT_EQ(c.modem, "acm");
  c = one("plug port=COM9 modem=acm-datafirst");
  EXPECT_EQ(c.port, "COM9");
  EXPECT_EQ(c.modem, "acm-datafirst");
  EXPECT_THROW(parse_line("plug modem=pots", 1), ScriptError);
  EXPECT_THROW(parse_line("plug port=", 1), ScriptError);
  EXPECT_THROW(parse_line("plug COM5", 1), ScriptError);
}

TEST(Parser, Requests) {
  Command c = one("read 16");
  EXPECT_EQ(c.op, Op::read);
  EXPECT_EQ(c.number, 16u);
  EXPECT_TRUE(c.tag.empty());

  c = one("read 0x10 &R");
  EXPECT_EQ(c.number, 16u);
  EXPECT_EQ(c.tag, "&R");

  c = one("ioctl SET_BAUD_RATE in=00C20100");
  EXPECT_EQ(c.code, 0x1B0004u);
  EXPECT_EQ(c.data, (Bytes{0x00, 0xC2, 0x01, 0x00}));
  EXPECT_EQ(c.out_length, 0u);

  // Queries get the size of their record unless out= says otherwise.
  EXPECT_EQ(one("ioctl GET_BAUD_RATE").out_length, 4u);
  EXPECT_EQ(one("ioctl GET_PROPERTIES").out_length, 64u);
  EXPECT_EQ(one("ioctl GET_HANDFLOW out=8").out_length, 8u);
  EXPECT_EQ(one("ioctl WAIT_ON_MASK &E").out_length, 4u);

  c = one("ioctl IMMEDIATE_CHAR in=\"A\" out=0 &I");
  EXPECT_EQ(c.data, AsBytes("A"));
  EXPECT_EQ(c.out_length, 0u);
  EXPECT_EQ(c.tag, "&I");

  c = one("ioctl 0x1B0006");
  EXPECT_EQ(c.code, 0x1B0006u);
}

TEST(Parser, RequestErrors) {
  for (std::string_view bad : {
           "read",
           "read x",
           "read 1 2",
           "read 1 &",
           "read 1 &a.b",
           "write AT",
           "write \"AT\" extra",
           "write \"AT\\q\"",
           "ioctl",
           "ioctl NO_SUCH_REQUEST",
           "ioctl SET_BAUD_RATE in=123",
           "ioctl SET_BAUD_RATE in=00 in=00",
           "ioctl SET_BAUD_RATE out=x",
           "ioctl SET_BAUD_RATE foo=1",
           "open &T",
           "close now",
           "frobnicate",
           "\"AT\"",
       }) {
    EXPECT_THROW(parse_line(bad, 3), ScriptError) << bad;
  }
}

TEST(Parser, ModemDevicePowerClock) {
  EXPECT_EQ(one("modem send \"RING\\r\\n\"").data, AsBytes("RING\r\n"));
  Command c = one("modem lines dcd=1 dsr=0");
  EXPECT_EQ(c.op, Op::modem_lines);
  EXPECT_EQ(c.dcd, true);
  EXPECT_EQ(c.dsr, false);
  c = one("modem lines dsr=1");
  EXPECT_FALSE(c.dcd.has_value());
  EXPECT_EQ(c.dsr, true);
  EXPECT_EQ(one("modem unplug").op, Op::modem_unplug);
  EXPECT_EQ(one("device surprise-remove").op, Op::surprise_remove);
  EXPECT_EQ(one("device remove").op, Op::remove);
  c = one("power device D3");
  EXPECT_EQ(c.op, Op::power_device);
  EXPECT_EQ(c.number, 3u);
  c = one("power system S4");
  EXPECT_EQ(c.op, Op::power_system);
  EXPECT_EQ(c.number, 4u);
  EXPECT_EQ(one("sleep 250").number, 250u);
  EXPECT_EQ(one("clock freeze").op, Op::clock_freeze);
  EXPECT_EQ(one("clock run").op, Op::clock_run);
  c = one("wait &R 1500");
  EXPECT_EQ(c.tag, "&R");
  EXPECT_EQ(c.wait_ms, 1500u);
  EXPECT_FALSE(one("wait &R").wait_ms.has_value());

  for (std::string_view bad :
       {"modem", "modem send", "modem send AT", "modem lines", "modem lines dcd=2", "modem lines dcd=1 dcd=0",
        "modem reboot", "device", "device eject", "power device D4", "power system S6", "power device S0",
        "sleep", "sleep soon", "clock stop", "cancel", "cancel R", "wait", "wait &R x"}) {
    EXPECT_THROW(parse_line(bad, 3), ScriptError) << bad;
  }
}

TEST(Parser, ExpectTakesTheRestVerbatim) {
  Command c = one("expect   STATUS_SUCCESS info=4 out=\"?#x  ");
  EXPECT_EQ(c.op, Op::expect);
  EXPECT_EQ(c.pattern, "STATUS_SUCCESS info=4 out=\"?#x");
  EXPECT_TRUE(std::regex_search("read 4 -> STATUS_SUCCESS info=4 out=#x", c.regex));
  EXPECT_THROW(parse_line("expect", 2), ScriptError);
  EXPECT_THROW(parse_line("expect (unclosed", 2), ScriptError);
  // "expected" is not the expect command.
  EXPECT_THROW(parse_line("expected foo", 2), ScriptError);
}

TEST(Script, LineNumbersAndTagChecks) {
  Script s = parse_script("# header\nplug\n\nopen\nread 4 &R\nwait &R 100\ncancel &R\n");
  ASSERT_EQ(s.commands.size(), 5u);
  EXPECT_EQ(s.commands[0].line, 2);
  EXPECT_EQ(s.commands[2].line, 5);
  EXPECT_EQ(s.commands[4].line, 7);

  try {
    parse_script("plug\nopen\nwait &R\nread 4 &R\n");
    FAIL() << "a wait before its request was accepted";
  } catch (const ScriptError& e) {
    EXPECT_EQ(e.line(), 3);
  }
  try {
    parse_script("plug\r\nopen\r\nread 4\r\nbogus\r\n");
    FAIL() << "an unknown command was accepted";
  } catch (const ScriptError& e) {
    EXPECT_EQ(e.line(), 4);
  }
  EXPECT_THROW(parse_script("cancel &X\n"), ScriptError);
}

}  // namespace
}  // namespace vrmdm
