#include "explore.h"

#include "test_helpers.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace explore {

namespace {

// One option by its name, from the command line or the environment; false
// for a name that is not the suite's.
bool set_option(Options& o, std::string_view name, const char* value) {
  if (name == "long") {
    o.long_form = *value && std::strcmp(value, "0") != 0;
  } else if (name == "seed" || name == "rounds") {
    (name == "seed" ? o.seed : o.rounds) = std::strtoull(value, nullptr, 0);
  } else if (name == "scale") {
    o.scale = std::strtod(value, nullptr);
  } else {
    return false;
  }
  return true;
}

Options& mutable_options() {
  static Options o = [] {
    Options d;
#if defined(__SANITIZE_THREAD__)
    d.scale = 0.2;  // TSan runs these threads about ten times slower
#elif defined(__SANITIZE_ADDRESS__)
    d.scale = 0.3;
#endif
    for (std::string name : {"long", "seed", "rounds", "scale"}) {
      std::string variable = "VRMDM_EXPLORE_" + name;
      std::transform(variable.begin(), variable.end(), variable.begin(), ::toupper);
      if (const char* v = std::getenv(variable.c_str()); v && *v) set_option(d, name, v);
    }
    return d;
  }();
  return o;
}

}  // namespace

const Options& options() { return mutable_options(); }

// --long, --seed=N, --rounds=N and --scale=F; the rest is left for GoogleTest.
void parse_options(int* argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    const std::string_view a = argv[i];
    const auto equals = std::min(a.find('='), a.size());
    if (!a.starts_with("--") || !set_option(mutable_options(), a.substr(2, equals - 2),
                                            equals < a.size() ? argv[i] + equals + 1 : "1"))
      argv[kept++] = argv[i];
  }
  *argc = kept;
}

std::size_t rounds(std::size_t ci, std::size_t long_form) {
  const Options& o = options();
  if (o.rounds) return *o.rounds;
  if (o.long_form) return long_form;
  const auto scaled = static_cast<std::size_t>(static_cast<double>(ci) * o.scale);
  return scaled == 0 ? 1 : scaled;
}

uint64_t round_seed(uint64_t fallback, std::size_t i) { return options().seed.value_or(fallback) + i; }

void Tally::failing(std::string key, std::string what) {
  ADD_FAILURE() << name_ << ": failing case " << key << ": " << what;
  failures_.push_back(std::move(key));
}

void Tally::record(const std::string& key, const std::string& problems, std::optional<uint64_t> seed) {
  if (problems.empty()) {
    clean();
  } else {
    failing(key, seed ? problems + "\n    replay: " + replay_command(*seed) : problems);
  }
}

void Tally::print() {
  if (printed_) return;
  printed_ = true;
  std::string line = "[ explore  ] " + name_ + ": " + std::to_string(cases()) + " cases, " +
                     std::to_string(cases_) + " clean, " + std::to_string(failures_.size()) + " failing";
  if (!failures_.empty()) {
    line += " (";
    for (std::size_t i = 0; i < failures_.size() && i < 20; ++i) line += (i ? ", " : "") + failures_[i];
    if (failures_.size() > 20) line += ", ...";
    line += ")";
  }
  for (const auto& n : notes_) line += "; " + n;
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string replay_command(uint64_t seed) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = info ? std::string(info->test_suite_name()) + "." + info->name() : "*";
  return "explore_tests --gtest_filter=" + filter + " --seed=" + std::to_string(seed) + " --rounds=1";
}

std::string take_findings_text() {
  std::string text;
  for (const auto& f : emu::verifier::take_findings())
    text += (text.empty() ? "" : " | ") + emu::verifier::describe(f);
  return text;
}

void set_short_read_timeouts(emu::Handle& port, ULONG total_ms) {
  SERIAL_TIMEOUTS t{};
  t.ReadTotalTimeoutConstant = total_ms;
  t.WriteTotalTimeoutConstant = 2000;
  port.ioctl(IOCTL_SERIAL_SET_TIMEOUTS, vrmdm_test::AsBytes(t));
}

std::string read_until(emu::Handle& port, std::string_view want, std::chrono::milliseconds limit) {
  std::string got;
  vrmdm_test::WaitUntil(
      [&] {
        emu::IoResult r = port.read(256);
        got += vrmdm_test::AsText(r.output);
        return NT_ERROR(r.status) || got.find(want) != std::string::npos;
      },
      limit);
  return got;
}

bool answers_at(emu::Handle& port, std::chrono::milliseconds limit) {
  emu::IoResult w = port.write("AT\r");
  if (w.status != STATUS_SUCCESS || w.information != 3) return false;
  return read_until(port, "OK\r\n", limit).find("OK\r\n") != std::string::npos;
}

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace explore
