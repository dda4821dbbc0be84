// The simulated modem with two extra doors for scripted sessions: bytes sent
// to the host unprompted, and serial-state notifications with chosen line
// bits.  Everything else is the wrapped modem's own behaviour.
#pragma once

#include <emu/usb_bus.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace emu::usb {

// Lock order: this model's lock, then the wrapped modem's.  Its own
// wake-ups go to the bus with its lock released.
class ScenarioModem final : public DeviceModel {
 public:
  explicit ScenarioModem(std::shared_ptr<ModemModel> inner);

  ModemModel& modem() const { return *inner_; }

  // Bytes the host's next bulk IN reads take before anything of the modem's.
  void send(std::span<const uint8_t> bytes);
  // Queues a SERIAL_STATE notification: DCD and DSR as given, the others as
  // last notified here (at first, as the modem shows them).
  void lines(std::optional<bool> dcd, std::optional<bool> dsr);

  std::span<const uint8_t> device_descriptor() const override;
  std::span<const uint8_t> configuration_descriptor() const override;
  std::span<const uint8_t> string_descriptor(uint8_t index, uint16_t language) const override;
  Reply handle_control(const SetupPacket& setup, std::span<uint8_t> data) override;
  Reply handle_data(uint8_t endpoint_address, std::span<uint8_t> buffer) override;
  void attach(std::shared_ptr<Port> port) override;
  void on_configured(const std::vector<PipeConfig>& pipes) override;
  void on_reset_pipe(uint8_t endpoint_address) override;
  void on_power(DEVICE_POWER_STATE state) override;
  void on_unplug() override;
  Speed speed() const override;
  bool sends_zero_length_packets() const override;

 private:
  const std::shared_ptr<ModemModel> inner_;
  std::mutex mutex_;
  std::shared_ptr<Port> port_;
  std::deque<uint8_t> injected_;
  std::deque<std::array<uint8_t, 10>> notifications_;
  std::optional<uint16_t> state_;
};

}  // namespace emu::usb
