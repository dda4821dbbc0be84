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

// When a timed bus tells the client that a bulk or interrupt transfer is
// done.  end_of_frame: as an EHCI or xHCI controller reports it, by its
// interrupt at the end of the (micro)frame in which the transfer's last
// packet moved; a transfer takes only slots that have not begun, so one
// submitted after the last slot of a frame waits for the next frame.
// on_answer: as soon as the device has answered, its packets charged to
// the slots ahead, so that the client's turnaround overlaps the transfer's
// own bus time: kinder than any host controller, it measures the client and
// this machine rather than what a real host permits.
enum class CompletionTiming { end_of_frame, on_answer };
std::string_view completion_timing_name(CompletionTiming timing);
std::optional<CompletionTiming> parse_completion_timing(
    std::string_view name);  // "end-of-frame", "on-answer"

// Bytes per second the bulk pipes of a device can carry at most, with
// `max_packet`-byte packets (0 for unlimited).
uint64_t bulk_ceiling(Speed speed, uint16_t max_packet);
// Bytes per second a client moves at most that keeps one bulk transfer of
// `transfer_bytes` (which fills its buffer) in flight and submits the next
// the moment the last completes, on a host that reports completions at the
// end of the (micro)frame (0 for unlimited): what a design of one transfer
// in flight permits, computed on the bus's own schedule.
uint64_t one_in_flight_ceiling(Speed speed, uint16_t max_packet, uint64_t transfer_bytes);
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
  // An asynchronous device's answer to transfer `id` (see AsyncDeviceModel):
  // data(n) with the bytes an IN transfer got in `in_data`, stall or error.
  // False when the bus no longer holds the transfer.
  virtual bool complete(uint64_t /*id*/, const Reply& /*reply*/, std::span<const uint8_t> /*in_data*/ = {}) {
    return false;
  }
  // The device leaves the bus, as unplug(pdo) makes it.
  virtual void unplug() {}
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

// A device that answers later, as one reached over a network does.  The
// bus hands it each data transfer and each control transfer but
// GET_DESCRIPTOR (answered from its tables) and SET_CONFIGURATION (through
// handle_control, as for any model) whole, and the device answers each
// exactly once, from any thread, through Port::complete.  A transfer the
// client cancels, or that the bus drops (abort, new configuration, power
// down, removal), is passed to cancel(); it still ends only with the
// device's answer, cancelled or done, whichever the device had first.  A
// device that leaves the bus has its transfers ended by the bus.
//
// submit() and cancel() run with the bus lock held: they take note and
// return, and never call the bus.  The device calls Port::complete and
// Port::unplug without holding a lock that submit() or cancel() takes.
struct AsyncTransfer {
  uint64_t id = 0;            // unique on the device while the bus holds it
  uint8_t endpoint = 0;       // address with its direction bit; control: 0x80 when data flows in
  uint8_t transfer_type = 0;  // USB_ENDPOINT_TYPE_CONTROL, _BULK or _INTERRUPT
  uint8_t interval = 0;       // interrupt endpoints: bInterval
  bool in = false;
  bool short_ok = true;              // IN: a short transfer is no error
  std::optional<SetupPacket> setup;  // control transfers
  uint32_t length = 0;               // IN: bytes asked for; OUT: bytes given
  std::span<const uint8_t> out;      // OUT data, valid during submit() only
};

class AsyncDeviceModel : public DeviceModel {
 public:
  virtual void submit(const AsyncTransfer& transfer) = 0;
  virtual void cancel(uint64_t id) = 0;
  // Never called: data transfers go to submit().
  Reply handle_data(uint8_t /*endpoint_address*/, std::span<uint8_t> /*buffer*/) override {
    return Reply::error(USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
  }
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
  // When its timed transfers are reported done (see CompletionTiming).
  CompletionTiming completion = CompletionTiming::end_of_frame;
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

}  // namespace emu::usb
