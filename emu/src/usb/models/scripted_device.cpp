// The scriptable test device.  Its lock guards everything the test and the
// bus share; port wake-ups are made with it held (lock order: model, then
// bus), which the bus allows because it never calls a model under its own.
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>

#include <algorithm>

#include "usb/models/acm_requests.h"

namespace emu::usb {

ScriptedDevice::ScriptedDevice(Bytes device_descriptor, Bytes configuration_descriptor)
    : device_(std::move(device_descriptor)), config_(std::move(configuration_descriptor)) {}

std::shared_ptr<ScriptedDevice> ScriptedDevice::cdc_acm(cdc::Variant variant) {
  return std::make_shared<ScriptedDevice>(cdc::device_descriptor(), cdc::configuration_descriptor(variant));
}

std::span<const uint8_t> ScriptedDevice::device_descriptor() const { return device_; }
std::span<const uint8_t> ScriptedDevice::configuration_descriptor() const { return config_; }

void ScriptedDevice::wake(uint8_t endpoint_address) {
  if (port_) port_->wake(endpoint_address);
}

void ScriptedDevice::attach(std::shared_ptr<Port> port) {
  std::lock_guard lock(mutex_);
  port_ = std::move(port);
}

void ScriptedDevice::queue_in(uint8_t endpoint_address, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  std::lock_guard lock(mutex_);
  InQueue& q = in_[endpoint_address];
  q.packets.emplace_back(bytes.begin(), bytes.end());
  q.merge.push_back(true);
  wake(endpoint_address);
}

void ScriptedDevice::queue_in(uint8_t endpoint_address, std::string_view text) {
  queue_in(endpoint_address, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void ScriptedDevice::queue_packet(uint8_t endpoint_address, std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  InQueue& q = in_[endpoint_address];
  q.packets.emplace_back(bytes.begin(), bytes.end());
  q.merge.push_back(false);
  wake(endpoint_address);
}

void ScriptedDevice::notify_serial_state(uint16_t state, uint16_t interface_number,
                                         uint8_t endpoint_address) {
  const auto n = cdc::serial_state_notification(state, interface_number);
  queue_packet(endpoint_address, n);
}

std::size_t ScriptedDevice::queued_in(uint8_t endpoint_address) const {
  std::lock_guard lock(mutex_);
  auto it = in_.find(endpoint_address);
  if (it == in_.end()) return 0;
  std::size_t n = 0;
  for (const Bytes& p : it->second.packets) n += p.size();
  return n;
}

Bytes ScriptedDevice::out_data(uint8_t endpoint_address) const {
  std::lock_guard lock(mutex_);
  auto it = out_.find(endpoint_address);
  return it == out_.end() ? Bytes{} : it->second.data;
}

Bytes ScriptedDevice::take_out_data(uint8_t endpoint_address) {
  std::lock_guard lock(mutex_);
  Bytes data;
  data.swap(out_[endpoint_address].data);
  return data;
}

std::size_t ScriptedDevice::out_transfers(uint8_t endpoint_address) const {
  std::lock_guard lock(mutex_);
  auto it = out_.find(endpoint_address);
  return it == out_.end() ? 0 : it->second.transfers;
}

void ScriptedDevice::limit_out(uint8_t endpoint_address, std::optional<std::size_t> bytes) {
  std::lock_guard lock(mutex_);
  out_[endpoint_address].limit = bytes;
  wake(endpoint_address);
}

std::vector<ScriptedDevice::ControlRecord> ScriptedDevice::control_requests() const {
  std::lock_guard lock(mutex_);
  return control_;
}

std::optional<cdc::LineCoding> ScriptedDevice::line_coding() const {
  std::lock_guard lock(mutex_);
  return line_coding_;
}

std::optional<uint16_t> ScriptedDevice::control_line_state() const {
  std::lock_guard lock(mutex_);
  return line_state_;
}

void ScriptedDevice::set_control_handler(
    std::function<Reply(const SetupPacket&, std::span<uint8_t>)> handler) {
  std::lock_guard lock(mutex_);
  control_handler_ = std::move(handler);
}

std::vector<PipeConfig> ScriptedDevice::configured_pipes() const {
  std::lock_guard lock(mutex_);
  return pipes_;
}

std::vector<uint8_t> ScriptedDevice::reset_pipes() const {
  std::lock_guard lock(mutex_);
  return resets_;
}

void ScriptedDevice::set_speed(Speed speed) {
  std::lock_guard lock(mutex_);
  speed_ = speed;
}

void ScriptedDevice::set_zero_length_packets(bool on) {
  std::lock_guard lock(mutex_);
  zlp_ = on;
}

Speed ScriptedDevice::speed() const {
  std::lock_guard lock(mutex_);
  return speed_;
}

bool ScriptedDevice::sends_zero_length_packets() const {
  std::lock_guard lock(mutex_);
  return zlp_;
}

DEVICE_POWER_STATE ScriptedDevice::power() const {
  std::lock_guard lock(mutex_);
  return power_;
}

void ScriptedDevice::on_configured(const std::vector<PipeConfig>& pipes) {
  std::lock_guard lock(mutex_);
  pipes_ = pipes;
}

void ScriptedDevice::on_reset_pipe(uint8_t endpoint_address) {
  std::lock_guard lock(mutex_);
  resets_.push_back(endpoint_address);
}

void ScriptedDevice::on_power(DEVICE_POWER_STATE state) {
  std::lock_guard lock(mutex_);
  power_ = state;
}

Reply ScriptedDevice::handle_control(const SetupPacket& setup, std::span<uint8_t> data) {
  std::function<Reply(const SetupPacket&, std::span<uint8_t>)> handler;
  {
    std::lock_guard lock(mutex_);
    ControlRecord record{setup, {}};
    if (!setup.device_to_host()) record.data.assign(data.begin(), data.end());
    control_.push_back(std::move(record));
    handler = control_handler_;
  }
  if (handler) return handler(setup, data);

  std::lock_guard lock(mutex_);
  if (auto acm = cdc::answer_acm_request(setup, data, 0, line_coding_)) {
    if (acm->control_lines) line_state_ = acm->control_lines;
    return acm->reply;
  }
  if (setup.type() == 0) return Reply::data(setup.device_to_host() ? 0 : data.size());  // standard requests
  // Unknown requests: a device takes what it is sent and has nothing to say.
  return setup.device_to_host() ? Reply::stall() : Reply::data(data.size());
}

Reply ScriptedDevice::handle_data(uint8_t endpoint_address, std::span<uint8_t> buffer) {
  std::lock_guard lock(mutex_);
  if (endpoint_address & 0x80) {
    auto it = in_.find(endpoint_address);
    if (it == in_.end() || it->second.packets.empty()) return Reply::nak();
    InQueue& q = it->second;
    if (!q.merge.front()) {
      // A packet is a transfer of its own; an empty one is a zero-length transfer.
      Bytes& p = q.packets.front();
      const std::size_t take = std::min(p.size(), buffer.size());
      std::copy_n(p.begin(), take, buffer.begin());
      if (take == p.size()) {
        q.packets.pop_front();
        q.merge.pop_front();
      } else {
        p.erase(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(take));
      }
      return Reply::data(take);
    }
    std::size_t n = 0;
    while (!q.packets.empty() && q.merge.front() && n < buffer.size()) {
      Bytes& p = q.packets.front();
      const std::size_t take = std::min(p.size(), buffer.size() - n);
      std::copy_n(p.begin(), take, buffer.begin() + static_cast<std::ptrdiff_t>(n));
      n += take;
      if (take == p.size()) {
        q.packets.pop_front();
        q.merge.pop_front();
      } else {
        p.erase(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(take));
      }
    }
    return Reply::data(n);
  }
  OutCapture& out = out_[endpoint_address];
  std::size_t take = buffer.size();
  if (out.limit) {
    take = std::min(take, *out.limit);
    *out.limit -= take;
    if (take == 0 && !buffer.empty()) return Reply::nak();
  }
  out.data.insert(out.data.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(take));
  if (take > 0) ++out.transfers;
  return Reply::data(take);
}

}  // namespace emu::usb
