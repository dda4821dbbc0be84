// The simulated phone modem: CDC ACM descriptors around the modem core.
// The model's lock guards the core and everything the test reads back; the
// bus's port is called with it held (model before bus in the lock order).
#include <emu/kernel.h>
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>
#include <emu/usb/descriptors.h>

#include <algorithm>
#include <stdexcept>

#include "usb/models/acm_requests.h"
#include "usb/models/modem_core.h"

namespace emu::usb {

namespace {

std::u16string widen(std::string_view text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

ModemModel::ModemModel(ModemConfig config)
    : config_(std::move(config)),
      device_(cdc::device_descriptor()),
      config_bytes_(cdc::configuration_descriptor(config_.variant, config_.speed)),
      core_(std::make_unique<ModemCore>(config_)) {
  // String 0 lists the languages: US English only.
  strings_ = {serialize_string(u"\u0409"), serialize_string(widen(config_.manufacturer)),
              serialize_string(widen(config_.model)), serialize_string(widen(config_.imei))};
}

ModemModel::~ModemModel() = default;

std::shared_ptr<ModemModel> make_modem(std::string_view variant_name, ModemConfig config) {
  const auto variant = cdc::parse_variant(variant_name);
  if (!variant) throw std::invalid_argument("unknown modem variant: " + std::string(variant_name));
  config.variant = *variant;
  return std::make_shared<ModemModel>(std::move(config));
}

std::chrono::nanoseconds ModemModel::now() const { return emu::clock::now(); }

bool ModemModel::has_notify_endpoint() const { return config_.variant != cdc::Variant::acm_nointr; }

std::span<const uint8_t> ModemModel::device_descriptor() const { return device_; }
std::span<const uint8_t> ModemModel::configuration_descriptor() const { return config_bytes_; }

std::span<const uint8_t> ModemModel::string_descriptor(uint8_t index, uint16_t /*language*/) const {
  if (index >= strings_.size()) return {};
  return strings_[index];
}

void ModemModel::attach(std::shared_ptr<Port> port) {
  std::lock_guard lock(mutex_);
  port_ = std::move(port);
}

void ModemModel::on_configured(const std::vector<PipeConfig>& pipes) {
  std::lock_guard lock(mutex_);
  pipes_ = pipes;
}

void ModemModel::sync() const {
  core_->tick(now());
  after_core_change();
}

void ModemModel::after_core_change() const {
  const auto t = now();
  const uint16_t state = static_cast<uint16_t>((core_->dcd() ? cdc::SERIAL_STATE_DCD : 0) |
                                               (core_->dsr() ? cdc::SERIAL_STATE_DSR : 0));
  if (state != notified_state_) {
    notified_state_ = state;
    if (has_notify_endpoint()) {
      notifications_.push_back(cdc::serial_state_notification(state, 0));
      if (port_) port_->wake(cdc::NOTIFY_ENDPOINT);
    }
  }
  if (!port_) return;
  if (core_->has_output(t)) port_->wake(cdc::BULK_IN_ENDPOINT);
  if (const auto due = core_->next_deadline(t)) port_->wake_at(cdc::BULK_IN_ENDPOINT, *due);
}

Reply ModemModel::handle_control(const SetupPacket& setup, std::span<uint8_t> data) {
  std::lock_guard lock(mutex_);
  if (auto acm = cdc::answer_acm_request(setup, data, 0, line_coding_)) {
    if (acm->control_lines) {
      line_state_ = *acm->control_lines;
      core_->set_lines((line_state_ & cdc::CONTROL_LINE_DTR) != 0, (line_state_ & cdc::CONTROL_LINE_RTS) != 0,
                       now());
      after_core_change();
    }
    return acm->reply;
  }
  if (setup.type() == 0) {
    switch (setup.bRequest) {
      case USB_REQUEST_SET_CONFIGURATION:
      case USB_REQUEST_SET_INTERFACE:
      case USB_REQUEST_CLEAR_FEATURE:
      case USB_REQUEST_SET_FEATURE:
        return Reply::data(0);
      case USB_REQUEST_GET_STATUS: {
        const std::size_t n = std::min<std::size_t>(data.size(), 2);
        std::fill_n(data.begin(), n, 0);
        return Reply::data(n);
      }
      default:
        return Reply::stall();
    }
  }
  // The modem has no other class or vendor requests.
  return Reply::stall();
}

Reply ModemModel::handle_data(uint8_t endpoint_address, std::span<uint8_t> buffer) {
  std::lock_guard lock(mutex_);
  const auto t = now();
  switch (endpoint_address) {
    case cdc::BULK_OUT_ENDPOINT:
      if (config_.data_mode == ModemConfig::DataMode::source && core_->in_data_mode()) {
        // A long upload is checked as it comes rather than kept.
        if (auto bad = check_pattern(uplink_, buffer); bad && !uplink_mismatch_)
          uplink_mismatch_ = uplink_ + *bad;
        uplink_ += buffer.size();
      } else {
        received_.insert(received_.end(), buffer.begin(), buffer.end());
      }
      core_->host_bytes(buffer, t);
      after_core_change();
      return Reply::data(buffer.size());
    case cdc::BULK_IN_ENDPOINT: {
      const std::size_t n = core_->read(buffer, t);
      after_core_change();
      return n == 0 && !buffer.empty() ? Reply::nak() : Reply::data(n);
    }
    case cdc::NOTIFY_ENDPOINT: {
      if (!has_notify_endpoint()) return Reply::stall();
      sync();
      if (notifications_.empty()) return Reply::nak();
      const auto n = notifications_.front();
      if (buffer.size() < n.size()) {
        // The device sends its whole packet: more than the host asked for.
        notifications_.pop_front();
        return Reply::error(USBD_STATUS_DATA_OVERRUN, STATUS_UNSUCCESSFUL);
      }
      notifications_.pop_front();
      ++notifications_sent_;
      std::copy(n.begin(), n.end(), buffer.begin());
      return Reply::data(n.size());
    }
    default:
      return Reply::stall();
  }
}

Bytes ModemModel::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

uint64_t ModemModel::uplink_bytes() const {
  std::lock_guard lock(mutex_);
  return uplink_;
}

std::optional<uint64_t> ModemModel::uplink_mismatch() const {
  std::lock_guard lock(mutex_);
  return uplink_mismatch_;
}

std::optional<cdc::LineCoding> ModemModel::line_coding() const {
  std::lock_guard lock(mutex_);
  return line_coding_;
}

uint16_t ModemModel::control_line_state() const {
  std::lock_guard lock(mutex_);
  return line_state_;
}

bool ModemModel::dcd() const {
  std::lock_guard lock(mutex_);
  sync();
  return core_->dcd();
}

bool ModemModel::dsr() const {
  std::lock_guard lock(mutex_);
  return core_->dsr();
}

bool ModemModel::connected() const {
  std::lock_guard lock(mutex_);
  sync();
  return core_->connected();
}

bool ModemModel::in_data_mode() const {
  std::lock_guard lock(mutex_);
  sync();
  return core_->in_data_mode();
}

uint64_t ModemModel::source_bytes_sent() const {
  std::lock_guard lock(mutex_);
  return core_->source_sent();
}

std::size_t ModemModel::pending_to_host() const {
  std::lock_guard lock(mutex_);
  return core_->pending_output();
}

std::size_t ModemModel::notifications_sent() const {
  std::lock_guard lock(mutex_);
  return notifications_sent_;
}

std::vector<PipeConfig> ModemModel::configured_pipes() const {
  std::lock_guard lock(mutex_);
  return pipes_;
}

}  // namespace emu::usb
