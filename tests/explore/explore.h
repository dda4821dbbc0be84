// Shared by the exploration suites: how big a run is (CI or the long form),
// seeds that replay, a tally printed at the end of each test, and small
// helpers to talk to the modem through the port.
//
// Sizes: each test names its CI count and its long-form count.  The long form
// is chosen with --long or VRMDM_EXPLORE_LONG=1; sanitizer builds scale the
// CI count down (VRMDM_EXPLORE_SCALE overrides the factor).  --seed=N (or
// VRMDM_EXPLORE_SEED) sets the first round's seed, --rounds=N the count, so
// "--seed=<printed seed> --rounds=1" replays one failing round.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/usb/bus.h>
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>
#include <emu/verifier.h>

#include "rng.h"

namespace explore {

using namespace std::chrono_literals;

struct Options {
  bool long_form = false;
  std::optional<uint64_t> seed;
  std::optional<std::size_t> rounds;
  double scale = 1.0;  // applied to CI counts
};
const Options& options();
void parse_options(int* argc, char** argv);

// The number of rounds (or cases) to run: --rounds, else the long-form or
// the (scaled) CI count.
std::size_t rounds(std::size_t ci, std::size_t long_form);
// The seed of round `i`: consecutive from the base seed (`fallback` unless
// --seed was given), so one failing round replays alone.
uint64_t round_seed(uint64_t fallback, std::size_t i);

// What an exploration covered, printed when the test ends:
//   [ explore  ] random removal: 300 rounds, 300 clean, 0 failing; seeds 1000..1299
// A failing case is recorded with its seed (or index) and what went wrong,
// and fails the test.
class Tally {
 public:
  explicit Tally(std::string name) : name_(std::move(name)) {}
  ~Tally() { print(); }
  void clean() { ++cases_; }
  void failing(std::string key, std::string what);
  // A case that is clean when `problems` is empty; `seed` (if any) is
  // printed with the command that replays it.
  void record(const std::string& key, const std::string& problems, std::optional<uint64_t> seed = {});
  void note(std::string text) { notes_.push_back(std::move(text)); }
  std::size_t cases() const { return cases_ + failures_.size(); }
  std::size_t failures() const { return failures_.size(); }
  void print();

 private:
  std::string name_;
  std::size_t cases_ = 0;
  std::vector<std::string> failures_;
  std::vector<std::string> notes_;
  bool printed_ = false;
};

// The command that replays one round of the running test.
std::string replay_command(uint64_t seed);

// Bounds every wait on a request while it lives, so that a hang becomes a
// failing case rather than a stuck run.
class WaitLimit {
 public:
  explicit WaitLimit(std::chrono::milliseconds limit) : previous_(emu::set_request_wait_limit(limit)) {}
  ~WaitLimit() { emu::set_request_wait_limit(previous_); }

 private:
  std::chrono::milliseconds previous_;
};

// Takes the verifier's findings as one text (empty: none).
std::string take_findings_text();

// ---- The port ------------------------------------------------------------------

// Read time-outs for the helpers below: short total time-outs so a read
// returns what the ring holds.
void set_short_read_timeouts(emu::Handle& port, ULONG total_ms = 20);
// Reads until `want` has arrived (or a read fails, or `limit` passes: a
// bound against a hang); returns all read.
std::string read_until(emu::Handle& port, std::string_view want, std::chrono::milliseconds limit = 10s);
// Writes "AT\r" and waits for "OK".
bool answers_at(emu::Handle& port, std::chrono::milliseconds limit = 10s);

std::string hex(uint64_t value);

}  // namespace explore
