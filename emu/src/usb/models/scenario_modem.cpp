#include <emu/usb/scenario_modem.h>

#include <algorithm>

namespace emu::usb {

ScenarioModem::ScenarioModem(ModemConfig config) : ModemModel(std::move(config)) {}

void ScenarioModem::send(std::span<const uint8_t> bytes) {
  std::shared_ptr<Port> port;
  {
    std::lock_guard lock(doors_);
    injected_.insert(injected_.end(), bytes.begin(), bytes.end());
    port = port_;
  }
  if (port) port->wake(cdc::BULK_IN_ENDPOINT);
}

void ScenarioModem::lines(std::optional<bool> dcd, std::optional<bool> dsr) {
  std::shared_ptr<Port> port;
  {
    std::lock_guard lock(doors_);
    if (!state_)
      state_ = static_cast<uint16_t>((ModemModel::dcd() ? cdc::SERIAL_STATE_DCD : 0) |
                                     (ModemModel::dsr() ? cdc::SERIAL_STATE_DSR : 0));
    uint16_t s = *state_;
    if (dcd) s = *dcd ? (s | cdc::SERIAL_STATE_DCD) : (s & ~cdc::SERIAL_STATE_DCD);
    if (dsr) s = *dsr ? (s | cdc::SERIAL_STATE_DSR) : (s & ~cdc::SERIAL_STATE_DSR);
    state_ = s;
    notifications_.push_back(cdc::serial_state_notification(s));
    port = port_;
  }
  if (port) port->wake(cdc::NOTIFY_ENDPOINT);
}

Reply ScenarioModem::handle_data(uint8_t endpoint_address, std::span<uint8_t> buffer) {
  {
    std::lock_guard lock(doors_);
    if (endpoint_address == cdc::BULK_IN_ENDPOINT && !injected_.empty()) {
      const std::size_t n = std::min(buffer.size(), injected_.size());
      std::copy_n(injected_.begin(), n, buffer.begin());
      injected_.erase(injected_.begin(), injected_.begin() + static_cast<std::ptrdiff_t>(n));
      return Reply::data(n);
    }
    if (endpoint_address == cdc::NOTIFY_ENDPOINT && !notifications_.empty()) {
      const auto& note = notifications_.front();
      const std::size_t n = std::min(buffer.size(), note.size());
      std::copy_n(note.begin(), n, buffer.begin());
      notifications_.pop_front();
      return Reply::data(n);
    }
  }
  return ModemModel::handle_data(endpoint_address, buffer);
}

void ScenarioModem::attach(std::shared_ptr<Port> port) {
  {
    std::lock_guard lock(doors_);
    port_ = port;
  }
  ModemModel::attach(std::move(port));
}

}  // namespace emu::usb
