// The scenario language: string literals, names, numbers, every command
// form, result lines, and the errors a script author gets (with the right
// line).
#include <gtest/gtest.h>

#include <sstream>

#include "nt_names.h"
#include "scenario.h"
#include "scenario_runner.h"
#include "text_codec.h"
#include "test_helpers.h"

namespace vrmdm {
namespace {

using vrmdm_test::AsBytes;

TEST(DataLiteral, EveryByteRoundTrips) {
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
  const std::string text = "\"" + escape_bytes(all) + "\"";
  std::size_t end = 0;
  EXPECT_EQ(parse_quoted(text, end), all);
  EXPECT_EQ(end, text.size());
}

// The table's numbers and hex read here, not by the code under test.
uint32_t number(const std::string& text) { return static_cast<uint32_t>(std::stoull(text, nullptr, 0)); }
Bytes hex_bytes(const std::string& hex) {
  Bytes b;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    b.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return b;
}

Command one(std::string_view line) {
  auto c = parse_line(line, 7);
  EXPECT_TRUE(c.has_value()) << line;
  return c.value_or(Command{});
}

TEST(Codec, NamesAndNumbersOfTheTable) {
  const auto rows = vrmdm_test::ReadTable(VRMDM_HOST_TESTS "/codec_cases.txt");
  for (const auto& [line, w] : rows) {
    SCOPED_TRACE("codec_cases.txt:" + std::to_string(line));
    const std::string& kind = w.at(0);
    const std::string& want = w.back();
    if (kind == "status") {
      EXPECT_EQ(status_name(number(w.at(1))), want);
      if (!want.starts_with("0x")) {
        EXPECT_EQ(status_value(want), number(w[1]));
      }
    } else if (kind == "ioctl") {
      EXPECT_EQ(ioctl_name(number(w.at(1))), want);
      EXPECT_EQ(ioctl_code(want), number(w[1]));
    } else if (kind == "no-ioctl") {
      EXPECT_EQ(ioctl_code(want), std::nullopt);
    } else if (kind == "literal") {
      std::size_t end = 0;
      if (want == "error") {
        EXPECT_THROW(parse_quoted(w.at(1), end), SyntaxError);
      } else {
        EXPECT_EQ(parse_quoted(w.at(1), end), hex_bytes(w.at(2)));
        EXPECT_EQ(end, w.size() > 3 ? number(w[3]) : w[1].size());
      }
    } else if (kind == "result") {
      const IoOutcome o{number(w.at(2)), number(w.at(3)), hex_bytes(w.at(4))};
      EXPECT_EQ(format_result(w.at(1), one(w[1]).op, o), want);
    } else if (kind == "escape") {
      EXPECT_EQ(escape_bytes(hex_bytes(w.at(1))), want);
    } else if (want == "error") {
      EXPECT_THROW(kind == "u32" ? (void)parse_u32(w.at(1)) : (void)parse_hex(w.at(1)), SyntaxError);
    } else if (kind == "u32") {
      EXPECT_EQ(parse_u32(w.at(1)), number(want));
    } else {
      EXPECT_EQ(parse_hex(w.at(1)), hex_bytes(want));
      EXPECT_EQ(to_hex(hex_bytes(want)), want);
    }
  }
  EXPECT_GE(rows.size(), 45u);
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
