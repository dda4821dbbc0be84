#include <emu/usb/scenario_modem.h>

#include <algorithm>

namespace emu::usb {

ScenarioModem::ScenarioModem(std::shared_ptr<ModemModel> inner) : inner_(std::move(inner)) {}

void ScenarioModem::send(std::span<const uint8_t> bytes) {
  std::shared_ptr<Port> port;
  {
    std::lock_guard lock(mutex_);
    injected_.insert(injected_.end(), bytes.begin(), bytes.end());
    port = port_;
  }
  if (port) port->wake(cdc::BULK_IN_ENDPOINT);
}

void ScenarioModem::lines(std::optional<bool> dcd, std::optional<bool> dsr) {
  std::shared_ptr<Port> port;
  {
    std::lock_guard lock(mutex_);
    if (!state_)
      state_ = static_cast<uint16_t>((inner_->dcd() ? cdc::SERIAL_STATE_DCD : 0) |
                                     (inner_->dsr() ? cdc::SERIAL_STATE_DSR : 0));
    uint16_t s = *state_;
    if (dcd) s = *dcd ? (s | cdc::SERIAL_STATE_DCD) : (s & ~cdc::SERIAL_STATE_DCD);
    if (dsr) s = *dsr ? (s | cdc::SERIAL_STATE_DSR) : (s & ~cdc::SERIAL_STATE_DSR);
    state_ = s;
    notifications_.push_back(cdc::serial_state_notification(s));
    port = port_;
  }
  if (port) port->wake(cdc::NOTIFY_ENDPOINT);
}

std::span<const uint8_t> ScenarioModem::device_descriptor() const { return inner_->device_descriptor(); }
std::span<const uint8_t> ScenarioModem::configuration_descriptor() const {
  return inner_->configuration_descriptor();
}
std::span<const uint8_t> ScenarioModem::string_descriptor(uint8_t index, uint16_t language) const {
  return inner_->string_descriptor(index, language);
}

Reply ScenarioModem::handle_control(const SetupPacket& setup, std::span<uint8_t> data) {
  return inner_->handle_control(setup, data);
}

Reply ScenarioModem::handle_data(uint8_t endpoint_address, std::span<uint8_t> buffer) {
  {
    std::lock_guard lock(mutex_);
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
  return inner_->handle_data(endpoint_address, buffer);
}

void ScenarioModem::attach(std::shared_ptr<Port> port) {
  {
    std::lock_guard lock(mutex_);
    port_ = port;
  }
  inner_->attach(std::move(port));
}

void ScenarioModem::on_configured(const std::vector<PipeConfig>& pipes) { inner_->on_configured(pipes); }
void ScenarioModem::on_reset_pipe(uint8_t endpoint_address) { inner_->on_reset_pipe(endpoint_address); }
void ScenarioModem::on_power(DEVICE_POWER_STATE state) { inner_->on_power(state); }
void ScenarioModem::on_unplug() { inner_->on_unplug(); }
Speed ScenarioModem::speed() const { return inner_->speed(); }
bool ScenarioModem::sends_zero_length_packets() const { return inner_->sends_zero_length_packets(); }

}  // namespace emu::usb
