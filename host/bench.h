// vrmdm bench: the driver's data path on the emulated bus, measured against
// the ceilings of the same run (the bus's speed, the driver's design on a
// host controller, the clock tick, memcpy).
#pragma once

#include <iosfwd>
#include <string>

namespace vrmdm {

struct BenchOptions {
  bool json = false;       // one JSON record instead of the table
  bool short_run = false;  // the CI form: a few seconds, fails on data errors only
  // When the emulated host controller reports completions: "end-of-frame"
  // (as EHCI and xHCI do) or "on-answer" (as soon as the device answered).
  std::string completion = "end-of-frame";
  bool usbip = false;  // also through USB/IP on loopback: throughput and AT round trip
};

// Prints the figures.  Returns 0 when every byte arrived once and in order
// and the emulator's verifier found nothing, 1 otherwise: the speed goals
// are reported (they hold or not), never failed on, as the machine may be
// shared.
int run_bench(const BenchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace vrmdm
