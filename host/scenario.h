// The scenario language: one command a line, '#' starts a comment.  A whole
// script is parsed before anything runs, so a typo on line 40 costs no
// half-finished run.
#pragma once

#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "text_codec.h"

namespace vrmdm {

enum class Op {
  plug,             // plug [port=COMn] [modem=VARIANT]
  open,             // open
  close,            // close
  read,             // read N [&TAG]
  write,            // write DATA [&TAG]
  ioctl,            // ioctl NAME [in=HEX|in=DATA] [out=N] [&TAG]
  cancel,           // cancel &TAG
  wait,             // wait &TAG [MS]
  modem_send,       // modem send DATA
  modem_lines,      // modem lines [dcd=0|1] [dsr=0|1]
  modem_unplug,     // modem unplug
  surprise_remove,  // device surprise-remove
  remove,           // device remove
  power_device,     // power device D0..D3
  power_system,     // power system S0..S5
  sleep,            // sleep MS
  expect,           // expect REGEX
  clock_freeze,     // clock freeze
  clock_run,        // clock run
};

struct Command {
  Op op = Op::open;
  int line = 0;      // 1-based line in the script
  std::string text;  // the command as written, without comment or surrounding blanks
  std::string tag;   // read/write/ioctl: issued without waiting; cancel/wait: the target
  // plug
  std::string port = "COM5";
  std::string modem = "acm";
  // read length, sleep and wait milliseconds, power state number
  uint32_t number = 0;
  std::optional<uint32_t> wait_ms;
  // write and modem send data, ioctl input
  Bytes data;
  // ioctl
  uint32_t code = 0;
  uint32_t out_length = 0;
  // modem lines
  std::optional<bool> dcd, dsr;
  // expect
  std::string pattern;
  std::regex regex;

  bool is_request() const { return op == Op::read || op == Op::write || op == Op::ioctl; }
};

struct Script {
  std::vector<Command> commands;
};

// A script error, with the 1-based line it is on.
class ScriptError : public std::runtime_error {
 public:
  ScriptError(int line, const std::string& message)
      : std::runtime_error("line " + std::to_string(line) + ": " + message), line_(line) {}
  int line() const { return line_; }

 private:
  int line_;
};

// Parses one line (no newline).  Returns nothing for blank and comment lines.
std::optional<Command> parse_line(std::string_view line, int line_number);
// Parses a whole script and checks that every cancel and wait names a tag
// issued on an earlier line.
Script parse_script(std::string_view text);

}  // namespace vrmdm
