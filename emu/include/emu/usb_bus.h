// The emulated USB bus: a bus driver with one physical device object per
// plugged device, answering IOCTL_INTERNAL_USB_SUBMIT_URB as a host
// controller and hub would, and the device models behind it.
//
// A device model is a set of const descriptor tables plus two callbacks,
// handle_control (class and vendor requests on the default pipe) and
// handle_data (bulk and interrupt transactions).  Each callback answers with
// an explicit Reply: data moved, NAK (the transfer pends until the model
// wakes the endpoint), STALL, or an error status.
//
// Threads: the bus completes transfers from its own thread at DISPATCH_LEVEL,
// or, under set_inline_completion_seed(), sometimes inside the submission.
// A cancelled transfer is completed inside the cancel routine, or, under
// set_late_cancel_seed(), sometimes later on the bus thread.
// The callbacks of one device are never run concurrently; a model still
// guards the state it shares with test code with its own lock.  A model may
// call Port::wake from inside a callback or from any thread.
#pragma once

#include <emu/io_manager.h>
#include <nt/ntddk.h>

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

using Bytes = std::vector<uint8_t>;

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;

  bool device_to_host() const { return (bmRequestType & 0x80) != 0; }
  uint8_t type() const { return (bmRequestType >> 5) & 3; }  // 0 standard, 1 class, 2 vendor
  uint8_t recipient() const { return bmRequestType & 0x1F; }
};

struct Reply {
  enum class Kind { data, nak, stall, error };
  Kind kind = Kind::data;
  std::size_t length = 0;                         // data: bytes written (IN) or taken (OUT)
  USBD_STATUS usbd_status = USBD_STATUS_SUCCESS;  // error only
  NTSTATUS status = STATUS_SUCCESS;               // error only

  static Reply data(std::size_t n) { return {Kind::data, n, USBD_STATUS_SUCCESS, STATUS_SUCCESS}; }
  static Reply nak() { return {Kind::nak, 0, USBD_STATUS_SUCCESS, STATUS_SUCCESS}; }
  static Reply stall() { return {Kind::stall, 0, USBD_STATUS_SUCCESS, STATUS_SUCCESS}; }
  static Reply error(USBD_STATUS usbd, NTSTATUS nt = STATUS_UNSUCCESSFUL) {
    return {Kind::error, 0, usbd, nt};
  }
};

// How fast a device runs on the bus.  unlimited: a transfer moves as soon as
// the model answers (for unit tests).  full: 12 Mbit/s, 1 ms frames, at most
// 19 bulk packets a frame.  high: 480 Mbit/s, 125 us microframes, at most 13
// bulk packets a microframe.  Packet sizes come from the endpoint
// descriptors (64 bytes at full speed, 512 at high speed for bulk).
//
// On a timed bus a bulk transfer costs one slot per packet (with the
// zero-length packet that ends an IN transfer of a multiple of the packet
// size); a transfer starts when the device's schedule has a free slot and
// charges its packets to it, so a transfer waits for the slots of the one
// before it and the bytes a device moves never exceed its speed.  An
// interrupt endpoint is polled every bInterval (frames at full speed,
// 2^(bInterval-1) microframes at high speed).  A bulk IN transfer ends on a
// short packet, a zero-length packet or a full buffer: a device that leaves
// the zero-length packet out holds the host's transfer open until its next
// packet.
enum class Speed { unlimited, full, high };
std::string_view speed_name(Speed speed);
std::optional<Speed> parse_speed(std::string_view name);  // "unlimited", "full", "high"
// Bytes per second the bulk pipes of a device can carry at most, with
// `max_packet`-byte packets (0 for unlimited).
uint64_t bulk_ceiling(Speed speed, uint16_t max_packet);
// The bus's own frame time (1 ms, 125 us; 0 for unlimited).
std::chrono::nanoseconds frame_time(Speed speed);

// The bus as a model sees it.  Safe to call from any thread, before plug and
// after unplug (it then does nothing).
class Port {
 public:
  virtual ~Port() = default;
  // Re-offers the transfers NAKed on `endpoint_address` (new data, or room).
  virtual void wake(uint8_t endpoint_address) = 0;
  // The same once the emulator clock reaches `when` (emu::clock time).
  virtual void wake_at(uint8_t endpoint_address, std::chrono::nanoseconds when) = 0;
};

// The pipe the host opened for an endpoint, as the driver's select-
// configuration request left it.
struct PipeConfig {
  uint8_t interface_number = 0;
  uint8_t endpoint_address = 0;
  uint8_t attributes = 0;  // bmAttributes
  uint16_t max_packet = 0;
  ULONG max_transfer_size = 0;  // MaximumTransferSize the driver asked for
};

class DeviceModel {
 public:
  virtual ~DeviceModel() = default;

  // Raw descriptor bytes, returned as they stand (well-formed or not).
  virtual std::span<const uint8_t> device_descriptor() const = 0;
  virtual std::span<const uint8_t> configuration_descriptor() const = 0;
  virtual std::span<const uint8_t> string_descriptor(uint8_t /*index*/, uint16_t /*language*/) const {
    return {};
  }

  // Control transfers on the default pipe other than GET_DESCRIPTOR, which
  // the bus answers from the tables.  For a device-to-host request `data` is
  // the buffer to fill (wLength bytes), otherwise the payload.
  virtual Reply handle_control(const SetupPacket& setup, std::span<uint8_t> data) = 0;
  // One bulk or interrupt transfer: an IN endpoint fills `buffer` (a reply
  // shorter than the buffer ends the transfer short), an OUT endpoint takes
  // up to buffer.size() bytes (taking fewer leaves the rest pending).
  virtual Reply handle_data(uint8_t endpoint_address, std::span<uint8_t> buffer) = 0;

  // The speed the device runs at (read once, when it is plugged), and
  // whether it ends an IN transfer of a multiple of the packet size with a
  // zero-length packet, as CDC devices must.
  virtual Speed speed() const { return Speed::unlimited; }
  virtual bool sends_zero_length_packets() const { return true; }

  // Notifications; the defaults ignore them.
  virtual void attach(std::shared_ptr<Port> /*port*/) {}
  virtual void on_configured(const std::vector<PipeConfig>& /*pipes*/) {}
  virtual void on_reset_pipe(uint8_t /*endpoint_address*/) {}
  virtual void on_power(DEVICE_POWER_STATE /*state*/) {}
  virtual void on_unplug() {}
};

// ---- Plugging ------------------------------------------------------------

struct PlugOptions {
  // Device power state reported for S1..S3 in the capabilities (S0 is D0,
  // S4 and S5 are D3).
  DEVICE_POWER_STATE sleep_device_state = PowerDeviceD3;
  // How a transfer fails while the device is below D0.
  NTSTATUS powered_down_status = STATUS_DEVICE_POWERED_OFF;
  // Transfers pending when the device leaves D0 fail with that status too
  // (else they stay queued until the device is back in D0).
  bool fail_pending_on_power_down = true;
  // The instance part of the device's identifiers (default: its number).
  std::u16string instance_id;
};

// Plugs a device: creates its physical device object ("\Device\USBPDO-<n>",
// instance path USB\VID_xxxx&PID_yyyy\<n>) and starts the bus thread on
// first use.  The caller drives Plug and Play through node(pdo): AddDevice,
// start, removal.
PDEVICE_OBJECT plug(std::shared_ptr<DeviceModel> model, const PlugOptions& options = {});
// The Plug and Play manager's view of a plugged device (null once the bus
// let it go: after unplug and removal, or reset).
std::shared_ptr<DeviceNode> node(PDEVICE_OBJECT pdo);

// Pulls the device out: pending transfers complete with USBD_STATUS_DEVICE_GONE
// and STATUS_NO_SUCH_DEVICE, later ones fail the same way.  The PDO lives on
// until the stack above has seen IRP_MN_REMOVE_DEVICE (surprise removal, as
// the system sends it, then removal); then the bus lets it go.  A surprise
// removal sent to the stack also counts as the device leaving.
void unplug(PDEVICE_OBJECT pdo);

// Between test cases, before emu::kernel_reset(): unplugs every device,
// drops the bus's references to their nodes (deleting PDOs nobody else
// holds), stops the bus thread and turns inline completion off.  The stacks
// above must be gone already.
void reset();

// Some submissions complete at once inside IofCallDriver instead of on the
// bus thread, chosen by a generator seeded here.  Off again after disable.
void set_inline_completion_seed(uint64_t seed);
void disable_inline_completion();

// Some cancelled transfers complete later, on the bus thread, after the
// cancel routine (and possibly IoCancelIrp's caller) has returned, as a host
// controller completes them once the hardware has let the transfer go;
// chosen by a generator seeded here.  The others complete inside the cancel
// routine.  Off again after disable or reset().
void set_late_cancel_seed(uint64_t seed);
void disable_late_cancel();

// ---- Faults ----------------------------------------------------------------

struct Fault {
  enum class Kind {
    stall,           // the transfer stalls; a bulk/interrupt pipe halts until RESET_PIPE
    never_complete,  // the transfer pends until cancelled or the device leaves
    error,           // the transfer fails with usbd_status / status
    delay,           // the transfer reaches the device `delay` of emulator time late
    unplug,          // the device is pulled out while this transfer is pending
  };
  Kind kind = Kind::stall;
  USBD_STATUS usbd_status = USBD_STATUS_DEV_NOT_RESPONDING;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::chrono::nanoseconds delay{0};
  int count = 1;  // transfers affected; negative: until cleared

  static Fault stall(int n = 1) { return {Kind::stall, 0, 0, {}, n}; }
  static Fault never_complete(int n = 1) { return {Kind::never_complete, 0, 0, {}, n}; }
  static Fault error(USBD_STATUS usbd, NTSTATUS nt, int n = 1) { return {Kind::error, usbd, nt, {}, n}; }
  static Fault delayed(std::chrono::nanoseconds d, int n = 1) { return {Kind::delay, 0, 0, d, n}; }
  static Fault unplug_while_pending() { return {Kind::unplug, 0, 0, {}, 1}; }
};

// Faults apply to an endpoint's transfers in order: a transfer already
// queued and not yet taken by the device when the fault is injected, else the
// next one submitted.  A transfer cancelled before the bus reached it takes
// its fault with it; the fault does not move on to the next transfer.
// Endpoint 0 is the default pipe (descriptor, class and vendor requests).
void inject_fault(PDEVICE_OBJECT pdo, uint8_t endpoint_address, const Fault& fault);
void clear_faults(PDEVICE_OBJECT pdo);

// ---- What the bus saw ------------------------------------------------------

struct DeviceInfo {
  bool plugged = false;  // false once unplugged
  bool started = false;
  bool surprise_removed = false;
  bool removed = false;  // IRP_MN_REMOVE_DEVICE seen
  DEVICE_POWER_STATE power = PowerDeviceD0;
  std::optional<uint8_t> configuration;  // bConfigurationValue selected, if any
  std::vector<PipeConfig> pipes;
  PVOID device_handle = nullptr;  // as written into URB headers
  std::size_t pending_transfers = 0;
  std::map<USHORT, std::size_t> urbs_by_function;  // URBs received, per function
  std::size_t completed_inline = 0;
  std::size_t completed_on_bus_thread = 0;
  std::size_t cancelled = 0;
  std::size_t cancelled_late = 0;  // of which completed after the cancel routine returned
};

DeviceInfo info(PDEVICE_OBJECT pdo);
// The MaximumTransferSize selected for an endpoint (nothing when no pipe).
std::optional<ULONG> selected_max_transfer_size(PDEVICE_OBJECT pdo, uint8_t endpoint_address);
// Waits (real time, for the bus thread) until the device has `count` pending
// transfers on `endpoint_address`; false on time-out.
bool wait_pending(PDEVICE_OBJECT pdo, uint8_t endpoint_address, std::size_t count,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

// ---- Watching the bus ------------------------------------------------------
// What a bus analyser sees of a URB: its submission and its completion, in
// the terms of the wire.  Descriptor reads show as GET_DESCRIPTOR, select-
// configuration as SET_CONFIGURATION and pipe resets as CLEAR_FEATURE
// (ENDPOINT_HALT) on the default pipe; an abort, which moves nothing on the
// bus, and a URB refused as malformed are not shown.
struct UrbEvent {
  enum class Kind { submit, complete };
  Kind kind = Kind::submit;
  const void* urb = nullptr;         // the same for a URB's submission and its completion
  uint64_t device = 0;               // the device's number on the bus (1, 2...)
  uint8_t endpoint = 0;              // address with its direction bit; control: 0x80 when data flows in
  uint8_t transfer_type = 0;         // USB_ENDPOINT_TYPE_CONTROL, _BULK or _INTERRUPT
  uint8_t interval = 0;              // interrupt endpoints: bInterval
  bool short_ok = true;              // IN: a short transfer is no error
  std::optional<SetupPacket> setup;  // control transfers, at submission
  uint32_t length = 0;               // submission: requested; completion: moved
  std::span<const uint8_t> data;     // submission: OUT data; completion: IN data
  USBD_STATUS usbd_status = USBD_STATUS_PENDING;  // completion
  NTSTATUS status = STATUS_PENDING;               // completion
  int64_t system_time = 0;                        // emu::clock::system_time() at the event
};
using UrbWatcher = std::function<void(const UrbEvent&)>;

// Calls `watcher` for every URB submitted and completed from now on, in the
// order the bus takes them: a URB's submission always comes before its
// completion.  Watchers run one at a time, on the submitting thread (bus lock
// held) or the completing one (before the client's completion routine, at
// its IRQL); they must not call into the bus or the I/O manager.  `data` is
// valid during the call only.  Returns the id for unwatch().
uint64_t watch(UrbWatcher watcher);
// Once it returns, the watcher runs no more.
void unwatch(uint64_t id);

// ---- Communications-class helpers -------------------------------------------

namespace cdc {
constexpr uint8_t SEND_ENCAPSULATED_COMMAND = 0x00;
constexpr uint8_t GET_ENCAPSULATED_RESPONSE = 0x01;
constexpr uint8_t SET_LINE_CODING = 0x20;
constexpr uint8_t GET_LINE_CODING = 0x21;
constexpr uint8_t SET_CONTROL_LINE_STATE = 0x22;
constexpr uint8_t SEND_BREAK = 0x23;
constexpr uint8_t SERIAL_STATE = 0x20;         // notification code
constexpr uint16_t SERIAL_STATE_DCD = 0x0001;  // bRxCarrier
constexpr uint16_t SERIAL_STATE_DSR = 0x0002;  // bTxCarrier
constexpr uint16_t CONTROL_LINE_DTR = 0x0001;
constexpr uint16_t CONTROL_LINE_RTS = 0x0002;

// The 10-byte SERIAL_STATE notification: header (0xA1, 0x20, wValue 0,
// wIndex interface, wLength 2) and the 16-bit state bitmap.
std::array<uint8_t, 10> serial_state_notification(uint16_t state, uint16_t interface_number = 0);

struct LineCoding {
  uint32_t dte_rate = 9600;
  uint8_t char_format = 0;  // 0: 1 stop bit, 1: 1.5, 2: 2
  uint8_t parity = 0;       // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint8_t data_bits = 8;
  std::array<uint8_t, 7> bytes() const;
  static LineCoding from(std::span<const uint8_t, 7> bytes);
  bool operator==(const LineCoding&) const = default;
};

enum class Variant { acm, acm_nointr, acm_datafirst };
std::optional<Variant> parse_variant(std::string_view name);  // "acm", "acm-nointr", "acm-datafirst"

// Endpoint addresses of the CDC descriptor sets below.
constexpr uint8_t NOTIFY_ENDPOINT = 0x81;   // interrupt IN, 16-byte packets
constexpr uint8_t BULK_IN_ENDPOINT = 0x82;  // 64-byte packets
constexpr uint8_t BULK_OUT_ENDPOINT = 0x02;
constexpr uint16_t VENDOR_ID = 0x1234;
constexpr uint16_t PRODUCT_ID = 0x5678;

// A communications interface 0 (with the notification endpoint unless
// acm_nointr) and a data interface 1 with bulk IN and OUT; acm_datafirst puts
// the data interface's descriptors first.
Bytes device_descriptor(uint16_t vendor = VENDOR_ID, uint16_t product = PRODUCT_ID);
// At high speed the bulk endpoints have 512-byte packets and the
// notification endpoint is polled every 16 ms (bInterval 8), at full speed
// (and unlimited) 64 bytes and 10 ms.
Bytes configuration_descriptor(Variant variant, Speed speed = Speed::full);
}  // namespace cdc

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
