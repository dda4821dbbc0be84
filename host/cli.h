// The command line of vrmdm.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vrmdm {

enum class Mode { terminal, pty, script, bench, export_device, help };

struct Options {
  Mode mode = Mode::terminal;
  std::string port = "COM5";
  std::string modem = "acm";  // the descriptor variant, or usbip:HOST:PORT[/BUSID]
  // The rest of --modem VARIANT[,speed=full|high|unlimited][,zlp=on|off][,downlink=BITS]:
  // the bus speed, the zero-length packets, and a data source after CONNECT
  // at that many bits per second (0: loopback, the modem echoes the data).
  std::string modem_speed = "high";
  bool modem_zlp = true;
  uint64_t modem_downlink = 0;
  // When the emulated host controller reports a transfer done (timed bus):
  // "end-of-frame" as EHCI and xHCI do, or "on-answer" (the kinder bus).
  std::string completion = "end-of-frame";
  double tick_ms = 15.625;                // the emulated clock tick
  bool json = false;                      // bench: a machine-readable record
  bool short_run = false;                 // bench: the CI form (seconds; fails on data errors only)
  bool usbip = false;                     // bench: the figures through USB/IP beside the local ones
  bool peer = false;                      // bench: then ours against cdc_acm in the peer lab
  std::string listen = "127.0.0.1:3240";  // export: where USB/IP clients connect
  bool trace = false;                     // echo the driver's debug output to stderr
  bool verbose = false;                   // pty: log the requests the client's settings cause
  std::optional<std::string> link;        // pty: symbolic link to the slave
  std::string script;                     // script: a file, or "-" for standard input
  std::optional<std::string> pcap;        // every URB, as a usbmon capture
  std::optional<std::string> record;      // terminal, pty: the session as a scenario
  std::optional<std::string> driver;      // a vr_mdm.sys to run instead of the linked driver
};

// Parses argv[1..]; throws std::invalid_argument with a message for the user.
Options parse_options(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace vrmdm
