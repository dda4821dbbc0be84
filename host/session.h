// The front ends of vrmdm: the user's terminal (the main job) and a
// pseudo-terminal for other programs.  Both bring the port up the same way
// and end the same way: close, remove, unload, report the verifier's findings.
#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include "port_backend.h"

namespace vrmdm {

struct SessionConfig {
  std::string port = "COM5";
  std::string modem = "acm";
  std::string speed = "high";  // the modem's USB speed (PlugOptions)
  bool zlp = true;
  uint64_t downlink = 0;
  std::string completion = "end-of-frame";  // when the bus reports transfers done (PlugOptions)
  // Without a terminal: how long to wait for more answers after the last
  // byte came in (or after the end of the input), and at most after the end.
  std::chrono::milliseconds quiet{500};
  std::chrono::milliseconds linger_limit{5000};
};

// Plugs the modem and opens the port; says why on `err` when it cannot.
bool bring_up(PortBackend& backend, const SessionConfig& config, std::ostream& err);
// Closes the port, removes the device, unloads the driver and reports the
// findings.  Exit status: 0, or 1 when the verifier found something.
int bring_down(PortBackend& backend, std::ostream& err);

// The main job: `in_fd` to the port, the port to `out_fd`, until Ctrl-] on a
// terminal, the end of the input otherwise, or `stop_fd` turns readable.
int run_terminal(PortBackend& backend, const SessionConfig& config, int in_fd, int out_fd, int stop_fd,
                 std::ostream& err);

}  // namespace vrmdm
