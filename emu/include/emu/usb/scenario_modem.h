// The simulated modem with two extra doors for scripted sessions: bytes sent
// to the host unprompted, and serial-state notifications with chosen line
// bits.  Everything else is the modem's own behaviour.
#pragma once

#include <emu/usb/models.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

namespace emu::usb {

// Lock order: the doors' lock, then the modem's.  The doors wake the bus
// with their lock released.
class ScenarioModem final : public ModemModel {
 public:
  explicit ScenarioModem(ModemConfig config = {});

  // Bytes the host's next bulk IN reads take before anything of the modem's.
  void send(std::span<const uint8_t> bytes);
  // Queues a SERIAL_STATE notification: DCD and DSR as given, the others as
  // last notified here (at first, as the modem shows them).
  void lines(std::optional<bool> dcd, std::optional<bool> dsr);

  Reply handle_data(uint8_t endpoint_address, std::span<uint8_t> buffer) override;
  void attach(std::shared_ptr<Port> port) override;

 private:
  std::mutex doors_;
  std::shared_ptr<Port> port_;
  std::deque<uint8_t> injected_;
  std::deque<std::array<uint8_t, 10>> notifications_;
  std::optional<uint16_t> state_;
};

}  // namespace emu::usb
