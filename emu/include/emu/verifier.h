// The emulator's Driver Verifier: every kernel subsystem reports a broken
// rule here instead of crashing, so that a test can fail with the routine
// and the request named.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace emu::verifier {

struct Finding {
  std::string check;    // short rule id, e.g. "irp-completed-twice"
  std::string routine;  // the routine at fault, as best known (may be empty)
  const void* object;   // the IRP, pool block, lock... concerned (may be null)
  std::string detail;   // human-readable explanation
};

// Records a finding (thread-safe, callable at any IRQL) and echoes it to
// stderr with a "VERIFIER:" prefix.
void report(std::string_view check, std::string_view routine, const void* object, std::string detail);

std::vector<Finding> findings();       // a copy of all findings so far
std::vector<Finding> take_findings();  // returns the findings and clears them
std::size_t count();
void clear();

// Renders one finding as a single line, for test failure messages.
std::string describe(const Finding& f);

}  // namespace emu::verifier
