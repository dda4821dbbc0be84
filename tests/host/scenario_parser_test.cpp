// The scenario language: string literals, numbers, every command form, and
// the errors a script author gets (with the right line).
#include <gtest/gtest.h>

#include <sstream>

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

// A command as its non-default fields, in script_lines.txt's order.
std::string describe(const Command& c) {
  static const char* const ops[] = {"plug",       "open",         "close",        "read",
                                    "write",      "ioctl",        "cancel",       "wait",
                                    "modem_send", "modem_lines",  "modem_unplug", "surprise_remove",
                                    "remove",     "power_device", "power_system", "sleep",
                                    "expect",     "clock_freeze", "clock_run"};
  std::ostringstream d;
  d << "op=" << ops[static_cast<int>(c.op)];
  if (c.port != "COM5") d << " port=" << c.port;
  if (c.modem != "acm") d << " modem=" << c.modem;
  if (c.number != 0) d << " number=" << c.number;
  if (c.code != 0) d << " code=" << std::hex << c.code << std::dec;
  if (!c.data.empty()) d << " data=" << to_hex(c.data);
  if (c.out_length != 0) d << " out=" << c.out_length;
  if (c.wait_ms) d << " wait=" << *c.wait_ms;
  if (!c.tag.empty()) d << " tag=" << c.tag;
  if (c.dcd) d << " dcd=" << *c.dcd;
  if (c.dsr) d << " dsr=" << *c.dsr;
  if (!c.pattern.empty()) d << " pattern=" << c.pattern;
  return d.str();
}

TEST(Parser, EveryLineOfTheTableParsesToItsFields) {
  const auto rows = vrmdm_test::ReadTable(VRMDM_HOST_TESTS "/script_lines.txt");
  for (const auto& [line, w] : rows) {
    SCOPED_TRACE("script_lines.txt:" + std::to_string(line) + ": " + w[0]);
    std::string want;
    for (std::size_t i = 1; i < w.size(); ++i) want += (i > 1 ? " " : "") + w[i];
    if (want == "error") {
      EXPECT_THROW(parse_line(w[0], 3), ScriptError);
    } else if (want == "skip") {
      EXPECT_FALSE(parse_line(w[0], 3));
    } else {
      EXPECT_EQ(describe(one(w[0])), want);
    }
  }
  EXPECT_GE(rows.size(), 70u);
}

TEST(Parser, TextAsWrittenDropsCommentAndBlanks) {
  Command c = one("   write \"AT\\r\"   &W1   # say hello\r");
  EXPECT_EQ(c.op, Op::write);
  EXPECT_EQ(c.text, "write \"AT\\r\"   &W1");
  EXPECT_EQ(c.tag, "&W1");
  EXPECT_EQ(c.data, AsBytes("AT\r"));
  EXPECT_EQ(c.line, 7);
  // The rest of an expect line is its pattern, as a regular expression.
  EXPECT_TRUE(std::regex_search("read 4 -> STATUS_SUCCESS info=4 out=#x",
                                one("expect   STATUS_SUCCESS info=4 out=\"?#x  ").regex));
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
