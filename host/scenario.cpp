// GCC 12 with the address sanitizer reports std::regex's own internals as
// maybe-uninitialized; the warning is about the library, not this file.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

#include "scenario.h"

// The Wine lab's Win32 client parses scenarios without the emulator; there a
// USB/IP target is not checked before the plug, which has no USB/IP anyway.
#if __has_include(<emu/usb/usbip.h>)
#include <emu/usb/usbip.h>
#define VRMDM_SCENARIO_USBIP 1
#endif

#include <set>

#include "nt_names.h"

namespace vrmdm {

namespace {

struct Token {
  std::string word;            // the bare text, up to a quote ("in=" for in="...")
  std::optional<Bytes> bytes;  // the decoded quoted literal, when the token has one
  std::size_t column = 0;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool valid_tag(std::string_view tag) {
  if (tag.size() < 2 || tag[0] != '&') return false;
  for (char c : tag.substr(1)) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// Splits a command line into tokens; stops at a '#' that starts a token.
// `end` receives the end of the last token, for the command's written text.
std::vector<Token> tokenize(std::string_view line, int line_number, std::size_t& end) {
  std::vector<Token> tokens;
  std::size_t i = 0;
  end = 0;
  while (true) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i >= line.size() || line[i] == '#') break;
    Token t;
    t.column = i;
    while (i < line.size() && !is_blank(line[i])) {
      if (line[i] == '"') {
        if (t.bytes) throw ScriptError(line_number, "two strings in one word");
        try {
          t.bytes = parse_quoted(line, i);
        } catch (const SyntaxError& e) {
          throw ScriptError(line_number,
                            std::string(e.what()) + " (column " + std::to_string(e.column() + 1) + ")");
        }
        if (i < line.size() && !is_blank(line[i]))
          throw ScriptError(line_number, "unexpected text after the closing quote");
        break;
      }
      t.word += line[i++];
    }
    end = i;
    tokens.push_back(std::move(t));
  }
  return tokens;
}

uint32_t number_arg(const Token& t, int line_number, std::string_view what) {
  if (t.bytes) throw ScriptError(line_number, std::string(what) + " must be a number");
  try {
    return parse_u32(t.word);
  } catch (const SyntaxError&) {
    throw ScriptError(line_number, std::string(what) + " must be a number, not '" + t.word + "'");
  }
}

Bytes data_arg(const Token& t, int line_number) {
  if (!t.bytes || !t.word.empty()) throw ScriptError(line_number, "expected a double-quoted string");
  return *t.bytes;
}

bool flag_value(std::string_view v, int line_number, std::string_view key) {
  if (v == "0") return false;
  if (v == "1") return true;
  throw ScriptError(line_number, std::string(key) + " must be 0 or 1");
}

void expect_count(const std::vector<Token>& args, std::size_t min, std::size_t max, int line_number,
                  std::string_view usage) {
  if (args.size() < min || args.size() > max) throw ScriptError(line_number, "usage: " + std::string(usage));
}

}  // namespace

std::optional<Command> parse_line(std::string_view line, int line_number) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::size_t start = 0;
  while (start < line.size() && is_blank(line[start])) ++start;
  if (start >= line.size() || line[start] == '#') return std::nullopt;

  Command cmd;
  cmd.line = line_number;

  // expect takes the rest of the line verbatim: a pattern may hold '#' or '"'.
  const std::string_view body = line.substr(start);
  if (body.starts_with("expect") && (body.size() == 6 || is_blank(body[6]))) {
    std::size_t p = 6;
    while (p < body.size() && is_blank(body[p])) ++p;
    std::size_t e = body.size();
    while (e > p && is_blank(body[e - 1])) --e;
    cmd.op = Op::expect;
    cmd.pattern = std::string(body.substr(p, e - p));
    cmd.text = std::string(body.substr(0, e));
    if (cmd.pattern.empty()) throw ScriptError(line_number, "usage: expect REGEX");
    try {
      cmd.regex = std::regex(cmd.pattern, std::regex::ECMAScript);
    } catch (const std::regex_error& e) {
      throw ScriptError(line_number, "bad regular expression: " + std::string(e.what()));
    }
    return cmd;
  }

  std::size_t end = 0;
  std::vector<Token> tokens = tokenize(line, line_number, end);
  cmd.text = std::string(line.substr(start, end - start));
  const Token head = tokens.front();
  if (head.bytes) throw ScriptError(line_number, "a command starts with its name");
  const std::string& name = head.word;
  std::vector<Token> args(tokens.begin() + 1, tokens.end());

  // A trailing &TAG makes a request asynchronous.
  auto take_tag = [&]() {
    if (!args.empty() && !args.back().bytes && args.back().word.starts_with("&")) {
      if (!valid_tag(args.back().word)) throw ScriptError(line_number, "bad tag '" + args.back().word + "'");
      cmd.tag = args.back().word;
      args.pop_back();
    }
  };
  auto target_tag = [&](std::string_view usage) {
    if (args.empty() || args[0].bytes || !valid_tag(args[0].word))
      throw ScriptError(line_number, "usage: " + std::string(usage));
    cmd.tag = args[0].word;
  };

  if (name == "plug") {
    cmd.op = Op::plug;
    for (const Token& a : args) {
      if (a.bytes) throw ScriptError(line_number, "usage: plug [port=COMn] [modem=VARIANT]");
      if (a.word.starts_with("port=") && a.word.size() > 5) {
        cmd.port = a.word.substr(5);
      } else if (a.word.starts_with("modem=")) {
        cmd.modem = a.word.substr(6);
        std::string error;
        if (cmd.modem.starts_with("usbip:")) {
#ifdef VRMDM_SCENARIO_USBIP
          if (!emu::usb::usbip::parse_import_target(cmd.modem.substr(6), error))
            throw ScriptError(line_number, "modem=" + cmd.modem + ": " + error);
#endif
        } else if (cmd.modem != "acm" && cmd.modem != "acm-nointr" && cmd.modem != "acm-datafirst") {
          throw ScriptError(line_number,
                            "modem must be acm, acm-nointr, acm-datafirst or usbip:HOST:PORT[/BUSID]");
        }
      } else {
        throw ScriptError(line_number, "usage: plug [port=COMn] [modem=VARIANT]");
      }
    }
  } else if (name == "open" || name == "close") {
    cmd.op = name == "open" ? Op::open : Op::close;
    expect_count(args, 0, 0, line_number, name);
  } else if (name == "read") {
    cmd.op = Op::read;
    take_tag();
    expect_count(args, 1, 1, line_number, "read N [&TAG]");
    cmd.number = number_arg(args[0], line_number, "the read length");
  } else if (name == "write") {
    cmd.op = Op::write;
    take_tag();
    expect_count(args, 1, 1, line_number, "write DATA [&TAG]");
    cmd.data = data_arg(args[0], line_number);
  } else if (name == "ioctl") {
    cmd.op = Op::ioctl;
    take_tag();
    expect_count(args, 1, 3, line_number, "ioctl NAME [in=HEX] [out=N] [&TAG]");
    if (args[0].bytes) throw ScriptError(line_number, "usage: ioctl NAME [in=HEX] [out=N] [&TAG]");
    const auto code = ioctl_code(args[0].word);
    if (!code) throw ScriptError(line_number, "unknown request '" + args[0].word + "'");
    cmd.code = *code;
    cmd.out_length = ioctl_default_output(cmd.code);
    bool have_in = false, have_out = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
      const Token& a = args[i];
      if (a.word.starts_with("in=") && !have_in) {
        have_in = true;
        if (a.bytes) {
          if (a.word != "in=") throw ScriptError(line_number, "bad in= value");
          cmd.data = *a.bytes;
        } else {
          try {
            cmd.data = parse_hex(std::string_view(a.word).substr(3));
          } catch (const SyntaxError& e) {
            throw ScriptError(line_number, "in=: " + std::string(e.what()));
          }
        }
      } else if (a.word.starts_with("out=") && !a.bytes && !have_out) {
        have_out = true;
        Token n = a;
        n.word = a.word.substr(4);
        cmd.out_length = number_arg(n, line_number, "out=");
      } else {
        throw ScriptError(line_number, "usage: ioctl NAME [in=HEX] [out=N] [&TAG]");
      }
    }
  } else if (name == "cancel") {
    cmd.op = Op::cancel;
    expect_count(args, 1, 1, line_number, "cancel &TAG");
    target_tag("cancel &TAG");
  } else if (name == "wait") {
    cmd.op = Op::wait;
    expect_count(args, 1, 2, line_number, "wait &TAG [MS]");
    target_tag("wait &TAG [MS]");
    if (args.size() == 2) cmd.wait_ms = number_arg(args[1], line_number, "the wait time");
  } else if (name == "modem") {
    if (args.empty() || args[0].bytes)
      throw ScriptError(line_number, "usage: modem send DATA | modem lines dcd=0|1 dsr=0|1 | modem unplug");
    const std::string& sub = args[0].word;
    if (sub == "send") {
      cmd.op = Op::modem_send;
      expect_count(args, 2, 2, line_number, "modem send DATA");
      cmd.data = data_arg(args[1], line_number);
    } else if (sub == "lines") {
      cmd.op = Op::modem_lines;
      expect_count(args, 2, 3, line_number, "modem lines dcd=0|1 dsr=0|1");
      for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& w = args[i].word;
        if (args[i].bytes) throw ScriptError(line_number, "usage: modem lines dcd=0|1 dsr=0|1");
        if (w.starts_with("dcd=") && !cmd.dcd) {
          cmd.dcd = flag_value(w.substr(4), line_number, "dcd");
        } else if (w.starts_with("dsr=") && !cmd.dsr) {
          cmd.dsr = flag_value(w.substr(4), line_number, "dsr");
        } else {
          throw ScriptError(line_number, "usage: modem lines dcd=0|1 dsr=0|1");
        }
      }
    } else if (sub == "unplug") {
      cmd.op = Op::modem_unplug;
      expect_count(args, 1, 1, line_number, "modem unplug");
    } else {
      throw ScriptError(line_number, "unknown modem command '" + sub + "'");
    }
  } else if (name == "device") {
    expect_count(args, 1, 1, line_number, "device surprise-remove | device remove");
    if (args[0].word == "surprise-remove" && !args[0].bytes) {
      cmd.op = Op::surprise_remove;
    } else if (args[0].word == "remove" && !args[0].bytes) {
      cmd.op = Op::remove;
    } else {
      throw ScriptError(line_number, "usage: device surprise-remove | device remove");
    }
  } else if (name == "power") {
    expect_count(args, 2, 2, line_number, "power device D0..D3 | power system S0..S5");
    const std::string& kind = args[0].word;
    const std::string& state = args[1].word;
    if (kind == "device" && state.size() == 2 && state[0] == 'D' && state[1] >= '0' && state[1] <= '3') {
      cmd.op = Op::power_device;
    } else if (kind == "system" && state.size() == 2 && state[0] == 'S' && state[1] >= '0' &&
               state[1] <= '5') {
      cmd.op = Op::power_system;
    } else {
      throw ScriptError(line_number, "usage: power device D0..D3 | power system S0..S5");
    }
    cmd.number = static_cast<uint32_t>(state[1] - '0');
  } else if (name == "sleep") {
    cmd.op = Op::sleep;
    expect_count(args, 1, 1, line_number, "sleep MS");
    cmd.number = number_arg(args[0], line_number, "the sleep time");
  } else if (name == "clock") {
    expect_count(args, 1, 1, line_number, "clock freeze | clock run");
    if (args[0].word == "freeze") {
      cmd.op = Op::clock_freeze;
    } else if (args[0].word == "run") {
      cmd.op = Op::clock_run;
    } else {
      throw ScriptError(line_number, "usage: clock freeze | clock run");
    }
  } else {
    throw ScriptError(line_number, "unknown command '" + name + "'");
  }

  if (!cmd.tag.empty() && !cmd.is_request() && cmd.op != Op::cancel && cmd.op != Op::wait)
    throw ScriptError(line_number, "only read, write and ioctl take a &TAG");
  return cmd;
}

Script parse_script(std::string_view text) {
  Script script;
  std::set<std::string> issued;
  int line_number = 0;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    ++line_number;
    auto cmd = parse_line(text.substr(pos, nl - pos), line_number);
    if (cmd) {
      if (cmd->is_request() && !cmd->tag.empty()) issued.insert(cmd->tag);
      if ((cmd->op == Op::cancel || cmd->op == Op::wait) && !issued.contains(cmd->tag))
        throw ScriptError(line_number, "no request tagged " + cmd->tag + " before this line");
      script.commands.push_back(std::move(*cmd));
    }
    pos = nl + 1;
  }
  return script;
}

}  // namespace vrmdm
