#include "usb/models/modem_core.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace emu::usb {

namespace {

constexpr int result_ok = 0;
constexpr int result_connect = 1;
constexpr int result_no_carrier = 3;
constexpr int result_error = 4;
constexpr int result_no_dialtone = 6;
constexpr int result_busy = 7;
constexpr int result_no_answer = 8;

constexpr std::size_t max_line = 255;
constexpr std::chrono::milliseconds s12_unit{20};

char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal number at `i` (none: `fallback`); false when it overflows.
bool read_number(std::string_view s, std::size_t& i, int fallback, int& value) {
  if (i >= s.size() || !is_digit(s[i])) {
    value = fallback;
    return true;
  }
  long v = 0;
  while (i < s.size() && is_digit(s[i])) {
    v = v * 10 + (s[i] - '0');
    if (v > 100000) return false;
    ++i;
  }
  value = static_cast<int>(v);
  return true;
}

// Splits on commas outside double quotes.
std::vector<std::string> split_args(std::string_view s) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (char c : s) {
    if (c == '"') quoted = !quoted;
    if (c == ',' && !quoted) {
      out.emplace_back();
    } else {
      out.back() += c;
    }
  }
  return out;
}

bool is_quoted(const std::string& s) { return s.size() >= 2 && s.front() == '"' && s.back() == '"'; }

}  // namespace

ModemCore::ModemCore(const ModemConfig& config) : config_(config) { reset_registers(); }

void ModemCore::reset_registers() {
  regs_ = Registers{};
  regs_.s = {{0, 0}, {3, 13}, {4, 10}, {5, 8}, {6, 2}, {7, 50}, {8, 2}, {10, 14}};
  regs_.s[12] = static_cast<int>(config_.guard_time / s12_unit);
  guard_override_.reset();
}

ModemCore::Time ModemCore::guard() const { return guard_override_ ? *guard_override_ : config_.guard_time; }

void ModemCore::emit(std::string_view bytes) { to_host_.insert(to_host_.end(), bytes.begin(), bytes.end()); }

void ModemCore::info(std::string_view text) {
  if (regs_.verbose) {
    emit("\r\n");
    emit(text);
    emit("\r\n");
  } else {
    emit(text);
    emit("\r\n");
  }
}

void ModemCore::result(std::string_view verbose_text, int numeric) {
  if (regs_.quiet) return;
  if (regs_.verbose) {
    emit("\r\n");
    emit(verbose_text);
    emit("\r\n");
  } else {
    emit(std::to_string(numeric));
    emit("\r");
  }
}

bool ModemCore::dcd() const { return regs_.dcd_mode == 0 ? true : connected(); }

void ModemCore::host_bytes(std::span<const uint8_t> bytes, Time now) {
  tick(now);
  for (uint8_t b : bytes) {
    if (state_ == State::online) {
      data_byte(b, now);
    } else {
      command_byte(b, now);
    }
  }
}

void ModemCore::command_byte(uint8_t byte, Time now) {
  if (state_ == State::dialing) {
    // Any key aborts a call being set up.
    dial_due_.reset();
    state_ = State::command;
    result("NO CARRIER", result_no_carrier);
    return;
  }
  if (regs_.echo) to_host_.push_back(byte);
  if (byte == regs_.s[3]) {
    std::string line;
    line.swap(line_);
    const bool overflow = line_overflow_;
    line_overflow_ = false;
    if (overflow) {
      result("ERROR", result_error);
      return;
    }
    execute(std::move(line), now);
    return;
  }
  if (byte == regs_.s[5]) {
    if (!line_.empty()) line_.pop_back();
    return;
  }
  if (byte < 0x20 || byte == 0x7F) return;  // line feed and other controls
  if (line_.size() >= max_line) {
    line_overflow_ = true;
    return;
  }
  line_ += static_cast<char>(byte);
}

void ModemCore::execute(std::string line, Time now) {
  std::size_t start = 0;
  while (start < line.size() && line[start] == ' ') ++start;
  if (line.size() - start < 2 || upper(line[start]) != 'A' || upper(line[start + 1]) != 'T') {
    return;  // not a command line: a modem waits for "AT"
  }
  bool suppress_final = false;
  const bool ok = run_commands(std::string_view(line).substr(start + 2), now, suppress_final);
  if (!ok) {
    result("ERROR", result_error);
  } else if (!suppress_final) {
    result("OK", result_ok);
  }
}

bool ModemCore::run_commands(std::string_view rest, Time now, bool& suppress_final) {
  std::size_t i = 0;
  while (i < rest.size()) {
    const char c = upper(rest[i]);
    if (c == ' ' || c == ';') {
      ++i;
      continue;
    }
    if (c == '+') {
      std::size_t j = i + 1;
      bool quoted = false;
      while (j < rest.size() && (quoted || rest[j] != ';')) {
        if (rest[j] == '"') quoted = !quoted;
        ++j;
      }
      if (!run_extended(rest.substr(i + 1, j - i - 1), now)) return false;
      i = j;
      continue;
    }
    if (c == 'D') {
      return dial(rest.substr(i + 1), now, suppress_final);
    }
    ++i;
    if (c == '&') {
      if (i >= rest.size()) return false;
      const char what = upper(rest[i++]);
      int n = 0;
      if (!read_number(rest, i, 0, n)) return false;
      switch (what) {
        case 'F':
          if (n != 0) return false;
          reset_registers();
          break;
        case 'C':
          if (n > 1) return false;
          regs_.dcd_mode = n;
          break;
        case 'D':
          if (n > 2) return false;
          regs_.dtr_mode = n;
          break;
        case 'K':
        case 'W':
        case 'S':
        case 'V':
          break;
        default:
          return false;
      }
      continue;
    }
    if (c == 'S') {
      int reg = 0;
      if (!read_number(rest, i, -1, reg) || reg < 0 || reg > 255) return false;
      if (i < rest.size() && rest[i] == '?') {
        ++i;
        char text[8];
        snprintf(text, sizeof text, "%03d", regs_.s[reg]);
        info(text);
      } else if (i < rest.size() && rest[i] == '=') {
        ++i;
        int value = 0;
        if (!read_number(rest, i, 0, value) || value > 255) return false;
        regs_.s[reg] = value;
        if (reg == 12) guard_override_ = value * s12_unit;
      } else {
        return false;
      }
      continue;
    }
    int n = 0;
    if (!read_number(rest, i, 0, n)) return false;
    switch (c) {
      case 'E':
        if (n > 1) return false;
        regs_.echo = n == 1;
        break;
      case 'V':
        if (n > 1) return false;
        regs_.verbose = n == 1;
        break;
      case 'Q':
        if (n > 1) return false;
        regs_.quiet = n == 1;
        break;
      case 'Z':
        if (n != 0) return false;
        if (connected()) hang_up();
        reset_registers();
        break;
      case 'I':
        if (n != 0) return false;
        info("Manufacturer: " + config_.manufacturer + "\r\nModel: " + config_.model +
             "\r\nRevision: " + config_.revision + "\r\nIMEI: " + config_.imei + "\r\n+GCAP: +CGSM,+DS,+ES");
        break;
      case 'H':
        if (n != 0) return false;
        if (connected()) hang_up();
        break;
      case 'O':
        if (n != 0) return false;
        suppress_final = true;
        if (state_ == State::online_command) {
          connect(now);
        } else {
          result("NO CARRIER", result_no_carrier);
        }
        return true;
      case 'A':
        // No call is ever ringing.
        suppress_final = true;
        result("NO CARRIER", result_no_carrier);
        return true;
      case 'X':
      case 'L':
      case 'M':
      case 'B':
      case 'C':
      case 'T':
      case 'P':
      case 'W':
      case 'Y':
        break;
      default:
        return false;
    }
  }
  return true;
}

bool ModemCore::run_extended(std::string_view command, Time /*now*/) {
  std::size_t i = 0;
  std::string name;
  while (i < command.size() && std::isalnum(static_cast<unsigned char>(command[i])))
    name += upper(command[i++]);
  enum class Form { exec, read, test, set } form = Form::exec;
  std::string_view args;
  if (i < command.size()) {
    if (command.substr(i) == "?") {
      form = Form::read;
    } else if (command.substr(i) == "=?") {
      form = Form::test;
    } else if (command[i] == '=') {
      form = Form::set;
      args = command.substr(i + 1);
    } else {
      return false;
    }
  }

  auto identity = [&](const std::string& text) {
    if (form == Form::exec) {
      info(text);
      return true;
    }
    return form == Form::test;
  };
  if (name == "CGMI" || name == "GMI") return identity(config_.manufacturer);
  if (name == "CGMM" || name == "GMM") return identity(config_.model);
  if (name == "CGMR" || name == "GMR") return identity(config_.revision);
  if (name == "CGSN" || name == "GSN") return identity(config_.imei);
  if (name == "GCAP") return identity("+GCAP: +CGSM,+DS,+ES");
  if (name == "CSQ") {
    if (form == Form::exec) {
      info("+CSQ: " + std::to_string(config_.rssi) + "," + std::to_string(config_.ber));
      return true;
    }
    if (form == Form::test) {
      info("+CSQ: (0-31,99),(0-7,99)");
      return true;
    }
    return false;
  }
  if (name == "CGDCONT") {
    if (form == Form::test) {
      info("+CGDCONT: (1-16),\"IP\",,,(0-2),(0-4)");
      return true;
    }
    if (form == Form::read) {
      std::string text;
      for (const auto& [cid, rest] : contexts_) {
        if (!text.empty()) text += "\r\n";
        text += "+CGDCONT: " + std::to_string(cid) + rest;
      }
      if (!text.empty()) info(text);
      return true;
    }
    if (form != Form::set) return false;
    std::vector<std::string> parts = split_args(args);
    std::size_t k = 0;
    int cid = 0;
    if (!read_number(parts[0], k, -1, cid) || k != parts[0].size() || cid < 1 || cid > 16) return false;
    if (parts.size() == 1) {
      contexts_.erase(cid);  // a context given by cid alone is undefined
      return true;
    }
    std::string type = parts[1];
    std::transform(type.begin(), type.end(), type.begin(), [](char ch) { return upper(ch); });
    if (type != "\"IP\"" && type != "\"PPP\"" && type != "\"IPV6\"" && type != "\"IPV4V6\"") return false;
    if (parts.size() > 2 && !parts[2].empty() && !is_quoted(parts[2])) return false;
    std::string rest;
    for (std::size_t p = 1; p < parts.size(); ++p) rest += "," + parts[p];
    contexts_[cid] = rest;
    return true;
  }
  if (name == "CMEE") {
    if (form == Form::read) {
      info("+CMEE: " + std::to_string(cmee_));
      return true;
    }
    if (form == Form::test) {
      info("+CMEE: (0-2)");
      return true;
    }
    if (form != Form::set) return false;
    std::size_t k = 0;
    int v = 0;
    if (!read_number(args, k, -1, v) || k != args.size() || v < 0 || v > 2) return false;
    cmee_ = v;
    return true;
  }
  if (name == "CFUN") {
    if (form == Form::read) {
      info("+CFUN: 1");
      return true;
    }
    return form == Form::test || form == Form::set;
  }
  return false;
}

bool ModemCore::dial(std::string_view number, Time now, bool& suppress_final) {
  std::string digits;
  for (char c : number) {
    if (c != ' ') digits += c;
  }
  if (!digits.empty() && (upper(digits[0]) == 'T' || upper(digits[0]) == 'P')) digits.erase(0, 1);
  if (digits.empty() || connected()) return false;
  if (digits.back() == ';') return true;  // a voice call: the modem stays in command mode
  suppress_final = true;
  if (config_.dial_delay.count() <= 0) {
    finish_dial(now);
    return true;
  }
  state_ = State::dialing;
  const Time wait_for_carrier = std::chrono::seconds(regs_.s[7]);
  dial_due_ = now + std::min<Time>(config_.dial_delay, wait_for_carrier);
  return true;
}

void ModemCore::finish_dial(Time now) {
  dial_due_.reset();
  state_ = State::command;
  ModemConfig::DialResult outcome = config_.dial_result;
  if (outcome == ModemConfig::DialResult::connect &&
      config_.dial_delay > Time(std::chrono::seconds(regs_.s[7]))) {
    outcome = ModemConfig::DialResult::no_carrier;  // S7 ran out before the carrier came
  }
  switch (outcome) {
    case ModemConfig::DialResult::connect:
      connect(now);
      break;
    case ModemConfig::DialResult::no_carrier:
      result("NO CARRIER", result_no_carrier);
      break;
    case ModemConfig::DialResult::busy:
      result("BUSY", result_busy);
      break;
    case ModemConfig::DialResult::no_dialtone:
      result("NO DIALTONE", result_no_dialtone);
      break;
    case ModemConfig::DialResult::no_answer:
      result("NO ANSWER", result_no_answer);
      break;
  }
}

void ModemCore::connect(Time now) {
  if (state_ != State::online_command) {
    connect_time_ = now;
    source_epoch_sent_ = source_sent_;
  }
  state_ = State::online;
  last_data_time_ = now;
  plus_count_ = 0;
  escape_due_.reset();
  result("CONNECT " + std::to_string(config_.connect_rate), result_connect);
}

void ModemCore::hang_up() {
  state_ = State::command;
  plus_count_ = 0;
  escape_due_.reset();
  dial_due_.reset();
}

void ModemCore::data_byte(uint8_t byte, Time now) {
  if (escape_due_) {
    // Data inside the closing guard time: the pluses were data after all.
    escape_due_.reset();
    plus_count_ = 0;
  }
  if (byte == '+') {
    if (plus_count_ == 0) {
      if (now - last_data_time_ >= guard()) {
        plus_count_ = 1;
        last_plus_time_ = now;
      }
    } else if (now - last_plus_time_ <= guard()) {
      ++plus_count_;
      last_plus_time_ = now;
      if (plus_count_ == 3) escape_due_ = now + guard();
    } else {
      plus_count_ = 0;
    }
  } else {
    plus_count_ = 0;
  }
  last_data_time_ = now;
  if (config_.data_mode == ModemConfig::DataMode::loopback) to_host_.push_back(byte);
}

void ModemCore::set_lines(bool dtr, bool rts, Time now) {
  tick(now);
  const bool dropped = dtr_ && !dtr;
  dtr_ = dtr;
  rts_ = rts;
  if (!dropped) return;
  if (state_ == State::dialing) {
    if (regs_.dtr_mode == 0) return;
    hang_up();
    result("NO CARRIER", result_no_carrier);
    return;
  }
  if (!connected()) return;
  if (regs_.dtr_mode == 1) {
    if (state_ == State::online) {
      state_ = State::online_command;
      plus_count_ = 0;
      escape_due_.reset();
      result("OK", result_ok);
    }
  } else if (regs_.dtr_mode == 2) {
    hang_up();
    result("NO CARRIER", result_no_carrier);
  }
}

void ModemCore::tick(Time now) {
  if (state_ == State::dialing && dial_due_ && now >= *dial_due_) finish_dial(now);
  if (state_ == State::online && escape_due_ && now >= *escape_due_) {
    escape_due_.reset();
    plus_count_ = 0;
    state_ = State::online_command;
    result("OK", result_ok);
  }
}

uint64_t ModemCore::source_available(Time now) const {
  if (state_ != State::online || config_.data_mode != ModemConfig::DataMode::source) return 0;
  uint64_t remaining = UINT64_MAX;
  if (config_.source_limit != 0) {
    remaining = config_.source_limit > source_sent_ ? config_.source_limit - source_sent_ : 0;
  }
  if (config_.source_rate == 0) return remaining;
  const Time elapsed = std::max(Time(0), now - connect_time_);
  const auto ns = static_cast<unsigned __int128>(elapsed.count());
  const auto produced = static_cast<uint64_t>(ns * config_.source_rate / 1000000000u);
  const uint64_t sent_this_call = source_sent_ - source_epoch_sent_;
  const uint64_t ready = produced > sent_this_call ? produced - sent_this_call : 0;
  return std::min(ready, remaining);
}

std::optional<ModemCore::Time> ModemCore::next_deadline(Time now) const {
  std::optional<Time> due;
  auto consider = [&](Time t) {
    if (!due || t < *due) due = t;
  };
  if (state_ == State::dialing && dial_due_) consider(*dial_due_);
  if (state_ == State::online && escape_due_) consider(*escape_due_);
  if (state_ == State::online && config_.data_mode == ModemConfig::DataMode::source &&
      config_.source_rate != 0 && (config_.source_limit == 0 || source_sent_ < config_.source_limit) &&
      source_available(now) == 0) {
    // The moment the next byte of the source is due.
    const auto next = static_cast<unsigned __int128>(source_sent_ - source_epoch_sent_ + 1);
    const auto ns = (next * 1000000000u + config_.source_rate - 1) / config_.source_rate;
    consider(connect_time_ + Time(static_cast<int64_t>(ns)));
  }
  return due;
}

bool ModemCore::has_output(Time now) const { return !to_host_.empty() || source_available(now) > 0; }

std::size_t ModemCore::read(std::span<uint8_t> out, Time now) {
  tick(now);
  std::size_t n = std::min(out.size(), to_host_.size());
  std::copy_n(to_host_.begin(), n, out.begin());
  to_host_.erase(to_host_.begin(), to_host_.begin() + static_cast<std::ptrdiff_t>(n));
  if (n < out.size()) {
    const auto take = static_cast<std::size_t>(std::min<uint64_t>(source_available(now), out.size() - n));
    fill_pattern(source_sent_, out.subspan(n, take));
    source_sent_ += take;
    n += take;
  }
  return n;
}

}  // namespace emu::usb
