// The modem's brain, free of USB and of the kernel: the AT command
// interpreter, the call state and data mode.  Time is passed in, so every
// rule that depends on it (escape guard time, dial delay, data-source rate)
// is driven by the emulator clock of the caller.  Not thread-safe: the
// modem model serialises calls.
#pragma once

#include <emu/usb/models.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace emu::usb {

class ModemCore {
 public:
  using Time = std::chrono::nanoseconds;

  explicit ModemCore(const ModemConfig& config);

  // Bytes the host wrote on bulk OUT.
  void host_bytes(std::span<const uint8_t> bytes, Time now);
  // SET_CONTROL_LINE_STATE.
  void set_lines(bool dtr, bool rts, Time now);
  // Runs what fell due by `now` (escape, dial result).
  void tick(Time now);
  // The next moment tick() has something to do, if any.
  std::optional<Time> next_deadline(Time now) const;

  // Bulk IN: copies queued responses and, in data mode, source data into
  // `out`; returns the count (0: nothing to send now).
  std::size_t read(std::span<uint8_t> out, Time now);
  std::size_t pending_output() const { return to_host_.size(); }
  bool has_output(Time now) const;

  bool dcd() const;
  bool dsr() const { return dtr_; }
  bool connected() const { return state_ == State::online || state_ == State::online_command; }
  bool in_data_mode() const { return state_ == State::online; }
  uint64_t source_sent() const { return source_sent_; }

 private:
  enum class State { command, dialing, online, online_command };

  struct Registers {
    bool echo = true;
    bool verbose = true;
    bool quiet = false;
    int dcd_mode = 1;  // &C
    int dtr_mode = 2;  // &D
    std::map<int, int> s;
  };

  void reset_registers();
  void command_byte(uint8_t byte, Time now);
  void data_byte(uint8_t byte, Time now);
  void execute(std::string line, Time now);
  // Runs one command line after "AT"; returns false on ERROR.
  bool run_commands(std::string_view rest, Time now, bool& suppress_final);
  bool run_extended(std::string_view command, Time now);
  bool dial(std::string_view number, Time now, bool& suppress_final);
  void connect(Time now);
  void hang_up();
  void finish_dial(Time now);

  void info(std::string_view text);
  void result(std::string_view verbose_text, int numeric);
  void emit(std::string_view bytes);

  Time guard() const;
  uint64_t source_available(Time now) const;

  ModemConfig config_;
  Registers regs_;
  State state_ = State::command;
  std::string line_;
  bool line_overflow_ = false;
  std::deque<uint8_t> to_host_;
  bool dtr_ = false;
  bool rts_ = false;

  // Data mode.
  Time last_data_time_{0};
  int plus_count_ = 0;
  Time last_plus_time_{0};
  std::optional<Time> escape_due_;
  Time connect_time_{0};
  uint64_t source_sent_ = 0;
  uint64_t source_epoch_sent_ = 0;      // source_sent_ when the call came up
  std::optional<Time> guard_override_;  // set by ATS12=
  int cmee_ = 0;

  std::optional<Time> dial_due_;
  std::map<int, std::string> contexts_;  // +CGDCONT, by cid
};

}  // namespace emu::usb
