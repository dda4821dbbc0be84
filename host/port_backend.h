// What the host program needs from the port and the machinery behind it:
// the driver loaded in the emulator, the simulated modem on the emulated USB
// bus, and one client handle.  The scenario runner and the terminal and pty
// bridges talk only to this interface, so they are tested against a fake.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "text_codec.h"

namespace vrmdm {

// The end of a request as the client saw it.
struct IoOutcome {
  uint32_t status = 0;
  uint64_t information = 0;
  Bytes output;  // bytes copied back to the client (read data, control output)
};

// One request sent without waiting.  Thread-safe.
class PendingRequest {
 public:
  virtual ~PendingRequest() = default;
  // Waits in real time; true once the request has completed.
  virtual bool wait(std::chrono::milliseconds limit) = 0;
  virtual bool completed() const = 0;
  // The final outcome; meaningful once completed() is true.
  virtual IoOutcome outcome() const = 0;
  // Asks for cancellation (a client's CancelIo for this one request);
  // false when it had already completed or could not be cancelled.
  virtual bool cancel() = 0;
};
using PendingPtr = std::shared_ptr<PendingRequest>;

struct PlugOptions {
  std::string port = "COM5";
  std::string modem = "acm";  // acm, acm-nointr or acm-datafirst
  // The modem on the bus: full, high or unlimited (transfers move at once,
  // which a scenario on a frozen clock relies on); zero-length packets; a
  // data source after CONNECT at that many bits per second (0: echo).
  std::string speed = "unlimited";
  bool zlp = true;
  uint64_t downlink = 0;
  // On a timed bus, when the host controller reports a transfer done:
  // "end-of-frame" (as EHCI and xHCI) or "on-answer" (the kinder bus).
  std::string completion = "end-of-frame";
};

class PortBackend {
 public:
  virtual ~PortBackend() = default;

  // Loads the driver (once), plugs a modem, gives it its PortName, adds the
  // device and starts it.  Returns the start's status.
  virtual uint32_t plug(const PlugOptions& options) = 0;
  // Opens "\DosDevices\<port>" of the last plug.  A successful open becomes
  // the handle the requests go to.
  virtual uint32_t open() = 0;
  // Cleanup and close of the current handle; the status of the close.
  virtual uint32_t close() = 0;

  // Requests on the current handle.  Without an open handle they complete at
  // once with STATUS_INVALID_HANDLE.
  virtual PendingPtr read(uint32_t length) = 0;
  virtual PendingPtr write(std::span<const uint8_t> data) = 0;
  virtual PendingPtr ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t output_length) = 0;

  // The modem side.  send: bytes the modem sends to the host unprompted;
  // lines: a serial-state notification with the given carrier (DCD) and
  // data-set-ready (DSR) bits (unset ones keep their last value); unplug:
  // the modem leaves the bus.
  virtual void modem_send(std::span<const uint8_t> data) = 0;
  virtual void modem_lines(std::optional<bool> dcd, std::optional<bool> dsr) = 0;
  virtual void modem_unplug() = 0;
  // The line coding the modem last received, if any (dte rate, char format, parity, data bits).
  virtual std::optional<std::string> modem_line_coding() const = 0;

  // Plug and Play and power requests to the device's stack; their statuses.
  virtual uint32_t surprise_remove() = 0;
  virtual uint32_t remove() = 0;
  virtual uint32_t power_device(int d_state) = 0;  // 0..3 for D0..D3
  virtual uint32_t power_system(int s_state) = 0;  // 0..5 for S0..S5

  // Time: sleep waits in real time while the clock runs and moves a frozen
  // clock forward instead.
  virtual void freeze_clock() = 0;
  virtual void run_clock() = 0;
  virtual void sleep(std::chrono::milliseconds span) = 0;

  // Closes what is open, removes every device still present and unloads the
  // driver.  Idempotent.
  virtual void shutdown() = 0;
  // Verifier findings so far, one line each.
  virtual std::vector<std::string> findings() const = 0;
};

// A request that completed at once (no handle, bad state...).
PendingPtr completed_request(uint32_t status, uint64_t information = 0, Bytes output = {});

}  // namespace vrmdm
