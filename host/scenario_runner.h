// Runs a parsed scenario against a port backend and prints one result line
// per request:  <command as written> -> <status> info=<n>[ data="..."| out=<hex>]
#pragma once

#include <chrono>
#include <ostream>
#include <string>
#include <string_view>

#include "port_backend.h"
#include "scenario.h"

namespace vrmdm {

struct RunnerLimits {
  // How long a request without a tag is waited for before its line reports
  // STATUS_PENDING (it then completes, unreported, at teardown).
  std::chrono::milliseconds request = std::chrono::milliseconds(5000);
  // `wait &TAG` without a time.
  std::chrono::milliseconds wait = std::chrono::milliseconds(10000);
  // Waiting for tagged requests nobody waited for, after teardown.
  std::chrono::milliseconds teardown = std::chrono::milliseconds(5000);
};

// Exit statuses of a run.
constexpr int kRunPassed = 0;
constexpr int kRunFailed = 1;       // an expect did not hold, or the verifier found something
constexpr int kRunScriptError = 2;  // the script is malformed or misuses a tag

// The result line for a request; `op` decides whether output shows as data or out.
std::string format_result(std::string_view command, Op op, const IoOutcome& outcome);

class ScenarioRunner {
 public:
  ScenarioRunner(PortBackend& backend, std::ostream& out, std::ostream& err, RunnerLimits limits = {});
  // Runs every command, then shuts the backend down and reports findings.
  int run(const Script& script);

 private:
  PortBackend& backend_;
  std::ostream& out_;
  std::ostream& err_;
  RunnerLimits limits_;
};

}  // namespace vrmdm
