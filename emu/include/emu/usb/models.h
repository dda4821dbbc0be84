// The device models of the emulated USB bus: the scriptable test device (any
// descriptor set, well-formed or not) and the simulated modem.
#pragma once

#include <emu/usb/bus.h>
#include <emu/usb/cdc.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace emu::usb {

// ---- The scriptable test device ---------------------------------------------

// Any descriptor set, well-formed or not.  IN endpoints serve what the test
// queued and NAK when empty; OUT endpoints capture; control requests are
// recorded, the CDC line requests answered as a CDC ACM device answers them,
// the others OK.
class ScriptedDevice : public DeviceModel {
 public:
  ScriptedDevice(Bytes device_descriptor, Bytes configuration_descriptor);
  // A CDC ACM device of the given variant.
  static std::shared_ptr<ScriptedDevice> cdc_acm(cdc::Variant variant = cdc::Variant::acm);

  // IN side.  queue_in appends to the endpoint's byte stream (one transfer
  // takes as much as fits); queue_packet keeps its boundary (a read never
  // spans two packets; an empty packet is a zero-length transfer).
  void queue_in(uint8_t endpoint_address, std::span<const uint8_t> bytes);
  void queue_in(uint8_t endpoint_address, std::string_view text);
  void queue_packet(uint8_t endpoint_address, std::span<const uint8_t> bytes);
  void notify_serial_state(uint16_t state, uint16_t interface_number = 0,
                           uint8_t endpoint_address = cdc::NOTIFY_ENDPOINT);
  std::size_t queued_in(uint8_t endpoint_address) const;

  // OUT side.  Captured bytes stay until taken.
  Bytes out_data(uint8_t endpoint_address) const;
  Bytes take_out_data(uint8_t endpoint_address);
  std::size_t out_transfers(uint8_t endpoint_address) const;  // transfers that delivered bytes
  // The endpoint takes at most `bytes` more and then NAKs (nothing: no limit).
  void limit_out(uint8_t endpoint_address, std::optional<std::size_t> bytes);

  // Control requests other than GET_DESCRIPTOR, in arrival order.
  struct ControlRecord {
    SetupPacket setup;
    Bytes data;  // payload of a host-to-device request
  };
  std::vector<ControlRecord> control_requests() const;
  std::optional<cdc::LineCoding> line_coding() const;  // last SET_LINE_CODING
  std::optional<uint16_t> control_line_state() const;  // last SET_CONTROL_LINE_STATE wValue
  // Replaces the answer to control requests (recording still happens).
  void set_control_handler(std::function<Reply(const SetupPacket&, std::span<uint8_t>)> handler);

  std::vector<PipeConfig> configured_pipes() const;
  std::vector<uint8_t> reset_pipes() const;  // endpoints reset, in order
  DEVICE_POWER_STATE power() const;

  // Bus timing (before the device is plugged): its speed, and whether it
  // sends zero-length packets.  Default: unlimited, with.
  void set_speed(Speed speed);
  void set_zero_length_packets(bool on);
  Speed speed() const override;
  bool sends_zero_length_packets() const override;

  std::span<const uint8_t> device_descriptor() const override;
  std::span<const uint8_t> configuration_descriptor() const override;
  Reply handle_control(const SetupPacket& setup, std::span<uint8_t> data) override;
  Reply handle_data(uint8_t endpoint_address, std::span<uint8_t> buffer) override;
  void attach(std::shared_ptr<Port> port) override;
  void on_configured(const std::vector<PipeConfig>& pipes) override;
  void on_reset_pipe(uint8_t endpoint_address) override;
  void on_power(DEVICE_POWER_STATE state) override;

 private:
  struct InQueue {
    std::deque<Bytes> packets;  // front first
    std::deque<bool> merge;     // packet i may be joined with its neighbours
  };
  struct OutCapture {
    Bytes data;
    std::size_t transfers = 0;
    std::optional<std::size_t> limit;
  };
  void wake(uint8_t endpoint_address);

  const Bytes device_;
  const Bytes config_;
  mutable std::mutex mutex_;
  std::shared_ptr<Port> port_;
  std::map<uint8_t, InQueue> in_;
  std::map<uint8_t, OutCapture> out_;
  std::vector<ControlRecord> control_;
  std::optional<cdc::LineCoding> line_coding_;
  std::optional<uint16_t> line_state_;
  std::function<Reply(const SetupPacket&, std::span<uint8_t>)> control_handler_;
  std::vector<PipeConfig> pipes_;
  std::vector<uint8_t> resets_;
  DEVICE_POWER_STATE power_ = PowerDeviceD0;
  Speed speed_ = Speed::unlimited;
  bool zlp_ = true;
};

// ---- The simulated modem ----------------------------------------------------

// The verifiable stream of the modem's data source: byte `offset` of it.
uint8_t pattern_byte(uint64_t offset);
void fill_pattern(uint64_t offset, std::span<uint8_t> out);
// Index of the first byte of `data` that differs from the pattern at
// `offset`, or nothing when all match.
std::optional<std::size_t> check_pattern(uint64_t offset, std::span<const uint8_t> data);

struct ModemConfig {
  cdc::Variant variant = cdc::Variant::acm;
  std::string manufacturer = "Velmar";
  std::string model = "VR-MDM 3G";
  std::string revision = "1.0.1.8";
  std::string imei = "356938035643809";
  int rssi = 21;  // +CSQ
  int ber = 99;
  uint32_t connect_rate = 7200000;  // "CONNECT <rate>"

  enum class DialResult { connect, no_carrier, busy, no_dialtone, no_answer };
  DialResult dial_result = DialResult::connect;
  std::chrono::nanoseconds dial_delay{0};  // emulator time from ATD to the result

  // Escape guard time (S12 in fiftieths of a second: 50 = 1 s).
  std::chrono::nanoseconds guard_time = std::chrono::seconds(1);

  // Data mode: loopback echoes the host's bytes; source sends the pattern
  // (pattern_byte) at source_rate bytes per second of emulator time (0: as
  // fast as the host reads), at most source_limit bytes (0: no limit), and
  // swallows the host's bytes.
  enum class DataMode { loopback, source };
  DataMode data_mode = DataMode::loopback;
  uint64_t source_rate = 0;
  uint64_t source_limit = 0;

  // On the bus: the speed (which also picks the descriptors' packet sizes)
  // and whether bulk IN transfers of a multiple of the packet size end with
  // a zero-length packet.
  Speed speed = Speed::unlimited;
  bool zero_length_packets = true;
};

class ModemCore;

// The modem: CDC ACM descriptors of the chosen variant and an AT command
// interpreter behind them.  Command mode with echo on (ATE1) and verbose
// result codes framed CR LF text CR LF; ATD answers "CONNECT <rate>" and
// raises DCD by a SERIAL_STATE notification, then data mode until "+++"
// (guarded by silence, on the emulator clock), a DTR drop (NO CARRIER) or
// ATH; DSR follows DTR.
class ModemModel : public DeviceModel {
 public:
  explicit ModemModel(ModemConfig config = {});
  ~ModemModel() override;

  // What the modem saw and shows, evaluated at the emulator clock's now.
  // Every byte the host wrote on bulk OUT, but for the data-mode bytes of a
  // source, which are checked instead (uplink_bytes, uplink_mismatch).
  Bytes received() const;
  std::optional<cdc::LineCoding> line_coding() const;
  uint16_t control_line_state() const;
  bool dcd() const;
  bool dsr() const;
  bool connected() const;     // a call is up (data mode or escaped to command mode)
  bool in_data_mode() const;  // bytes are data, not commands
  uint64_t source_bytes_sent() const;
  std::size_t pending_to_host() const;  // bytes waiting for a bulk IN read (source excluded)
  std::size_t notifications_sent() const;
  std::vector<PipeConfig> configured_pipes() const;
  const ModemConfig& config() const { return config_; }

  std::span<const uint8_t> device_descriptor() const override;
  std::span<const uint8_t> configuration_descriptor() const override;
  std::span<const uint8_t> string_descriptor(uint8_t index, uint16_t language) const override;
  Reply handle_control(const SetupPacket& setup, std::span<uint8_t> data) override;
  Reply handle_data(uint8_t endpoint_address, std::span<uint8_t> buffer) override;
  void attach(std::shared_ptr<Port> port) override;
  void on_configured(const std::vector<PipeConfig>& pipes) override;
  Speed speed() const override { return config_.speed; }
  bool sends_zero_length_packets() const override { return config_.zero_length_packets; }

  // Source mode: the host's bytes are checked against the pattern instead
  // of kept.  Bytes taken so far, and the offset of the first that differed.
  uint64_t uplink_bytes() const;
  std::optional<uint64_t> uplink_mismatch() const;

 private:
  // Runs what fell due and turns the core's changes into notifications,
  // wake-ups and deadlines.  Mutex held.
  void sync() const;
  void after_core_change() const;
  bool has_notify_endpoint() const;
  std::chrono::nanoseconds now() const;

  const ModemConfig config_;
  const Bytes device_;
  const Bytes config_bytes_;
  std::vector<Bytes> strings_;
  mutable std::mutex mutex_;
  std::unique_ptr<ModemCore> core_;
  std::shared_ptr<Port> port_;
  mutable std::deque<std::array<uint8_t, 10>> notifications_;
  std::size_t notifications_sent_ = 0;
  mutable uint16_t notified_state_ = 0;
  std::optional<cdc::LineCoding> line_coding_;
  uint16_t line_state_ = 0;
  std::vector<PipeConfig> pipes_;
  Bytes received_;
  uint64_t uplink_ = 0;
  std::optional<uint64_t> uplink_mismatch_;
};

// A modem by variant name ("acm", "acm-nointr", "acm-datafirst").
std::shared_ptr<ModemModel> make_modem(std::string_view variant_name, ModemConfig config = {});

}  // namespace emu::usb
