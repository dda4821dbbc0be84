// USB/IP: USB carried over TCP between a server that exports a device and a
// client that imports it, as the Linux kernel's usbip-host / vhci-hcd speak
// it (protocol version 1.1.1).  This header has the wire protocol, the
// exporting server (any model of the bus, served to USB/IP clients) and the
// importing client (a remote device plugged into the emulated bus).
//
// The wire: operation messages (device list, import) start with an 8-byte
// header; URB messages have a 48-byte header; every field is big-endian but
// the SETUP packet, 8 raw bytes in USB (little-endian) order.  OUT data
// follows CMD_SUBMIT, IN data follows RET_SUBMIT.  Every length and field
// read from a peer is checked here before anything uses it.
#pragma once

#include <emu/usb/bus.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace emu::usb::usbip {

// ---- The protocol -----------------------------------------------------------

constexpr uint16_t kVersion = 0x0111;
constexpr uint16_t OP_REQ_DEVLIST = 0x8005;
constexpr uint16_t OP_REP_DEVLIST = 0x0005;
constexpr uint16_t OP_REQ_IMPORT = 0x8003;
constexpr uint16_t OP_REP_IMPORT = 0x0003;
constexpr uint32_t CMD_SUBMIT = 1;
constexpr uint32_t CMD_UNLINK = 2;
constexpr uint32_t RET_SUBMIT = 3;
constexpr uint32_t RET_UNLINK = 4;

constexpr std::size_t kOpHeaderSize = 8;
constexpr std::size_t kUrbHeaderSize = 48;
constexpr std::size_t kPathSize = 256;
constexpr std::size_t kBusIdSize = 32;
constexpr std::size_t kDeviceSize = 312;  // a device record without its interfaces
constexpr uint32_t kDirOut = 0;
constexpr uint32_t kDirIn = 1;
// transfer_flags (Linux's URB flags)
constexpr uint32_t kShortNotOk = 0x0001;
constexpr uint32_t kZeroPacket = 0x0040;
constexpr uint32_t kDirInFlag = 0x0200;
constexpr uint32_t kNotIso = 0xFFFFFFFF;  // number_of_packets of a non-isochronous URB (0 also seen)
// Limits on what a peer may announce.
constexpr uint32_t kMaxTransfer = 1u << 20;  // transfer_buffer_length
constexpr uint32_t kMaxDevices = 64;         // in a device list
constexpr uint32_t kMaxInterfaces = 32;      // of one device

// Linux status codes carried in RET_SUBMIT / RET_UNLINK (negative errno).
namespace err {
constexpr int32_t ENOENT_ = -2;
constexpr int32_t ENODEV_ = -19;
constexpr int32_t EINVAL_ = -22;
constexpr int32_t EPIPE_ = -32;
constexpr int32_t ETIME_ = -62;
constexpr int32_t EPROTO_ = -71;
constexpr int32_t EOVERFLOW_ = -75;
constexpr int32_t EILSEQ_ = -84;
constexpr int32_t ECONNRESET_ = -104;
constexpr int32_t ESHUTDOWN_ = -108;
constexpr int32_t EREMOTEIO_ = -121;
}  // namespace err

// A Linux URB status as the bus reports it, and back.
struct UsbdResult {
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
};
UsbdResult to_usbd(int32_t linux_status);
int32_t to_linux(USBD_STATUS usbd);

// An exported device, as the device list and the import reply describe it.
struct DeviceRecord {
  std::string path;
  std::string busid;
  uint32_t busnum = 0;
  uint32_t devnum = 0;
  uint32_t speed = 0;  // Linux's: 1 low, 2 full, 3 high, 5 super
  uint16_t id_vendor = 0;
  uint16_t id_product = 0;
  uint16_t bcd_device = 0;
  uint8_t device_class = 0;
  uint8_t device_subclass = 0;
  uint8_t device_protocol = 0;
  uint8_t configuration_value = 0;
  uint8_t num_configurations = 0;
  std::vector<std::array<uint8_t, 3>> interfaces;  // class, subclass, protocol (device list only)

  uint32_t devid() const { return busnum << 16 | (devnum & 0xFFFF); }
};

struct OpHeader {
  uint16_t version = kVersion;
  uint16_t code = 0;
  uint32_t status = 0;
};

// A URB message.  Which fields count depends on `command`.
struct UrbMessage {
  uint32_t command = 0;
  uint32_t seqnum = 0;
  uint32_t devid = 0;
  uint32_t direction = 0;
  uint32_t ep = 0;
  // CMD_SUBMIT
  uint32_t transfer_flags = 0;
  uint32_t transfer_length = 0;
  uint32_t start_frame = 0;
  uint32_t number_of_packets = kNotIso;
  uint32_t interval = 0;
  std::array<uint8_t, 8> setup{};
  // RET_SUBMIT, RET_UNLINK
  int32_t status = 0;
  uint32_t actual_length = 0;
  uint32_t error_count = 0;
  // CMD_UNLINK
  uint32_t unlink_seqnum = 0;
};

// The outcome of decoding from the front of a byte span: a whole message,
// not yet enough bytes (`needed` is the total size it will take once known,
// else 0), or a malformed message with the reason.
template <class T>
struct Decoded {
  enum class Result { message, incomplete, error };
  Result result = Result::incomplete;
  T message{};
  std::span<const uint8_t> payload;  // the bytes after the header that belong to it
  std::size_t size = 0;              // message: bytes consumed; incomplete: bytes needed (0: unknown)
  std::string error;

  bool ok() const { return result == Result::message; }
};

Bytes encode_op(const OpHeader& header);
Bytes encode_import_request(const std::string& busid);
Bytes encode_import_reply(uint32_t status, const DeviceRecord* device);
Bytes encode_devlist_reply(const std::vector<DeviceRecord>& devices);
// An 8-byte operation header; `expected_code` checked (and the version).
Decoded<OpHeader> decode_op(std::span<const uint8_t> bytes, uint16_t expected_code);
// An OP_REQ_IMPORT: the busid it names.
Decoded<std::string> decode_import_request(std::span<const uint8_t> bytes);
// An OP_REP_IMPORT: the device (status 0) or the server's refusal (error).
Decoded<DeviceRecord> decode_import_reply(std::span<const uint8_t> bytes);
Decoded<std::vector<DeviceRecord>> decode_devlist_reply(std::span<const uint8_t> bytes);

// URB messages.  encode_urb writes the 48-byte header and `payload` after it.
Bytes encode_urb(const UrbMessage& m, std::span<const uint8_t> payload = {});
// What a client sent and still waits for, to check a reply against:
// nothing when `seqnum` is no request of ours in flight, else the IN length
// it asked for (0 for OUT, and for an unlink).
using Outstanding = std::function<std::optional<uint32_t>(uint32_t seqnum)>;
// A reply from a server (RET_SUBMIT, RET_UNLINK).
Decoded<UrbMessage> decode_reply(std::span<const uint8_t> bytes, const Outstanding& outstanding);
// A command from a client (CMD_SUBMIT, CMD_UNLINK) for the device `devid`.
Decoded<UrbMessage> decode_command(std::span<const uint8_t> bytes, uint32_t devid);

// "HOST:PORT" with a numeric IPv4 or [IPv6] host; only loopback addresses
// (127.0.0.0/8, ::1) when `loopback_only`.
struct Endpoint {
  std::string host;
  uint16_t port = 0;
};
std::optional<Endpoint> parse_endpoint(const std::string& text, std::string& error,
                                       bool loopback_only = false);

// ---- Export (server) --------------------------------------------------------

struct ServerOptions {
  Endpoint listen{"127.0.0.1", 3240};  // port 0: any free port
  // A fresh device for each import (usbip-host resets the device when its
  // importer leaves).
  std::function<std::shared_ptr<DeviceModel>()> make_device;
  std::string busid = "1-1";
  std::chrono::milliseconds io_timeout{5000};   // a peer's message, once begun, and each send
  std::function<void(const std::string&)> log;  // one line per session event (optional)
};

class Server {
 public:
  virtual ~Server() = default;
  virtual uint16_t port() const = 0;
  // Imports served so far (a refused or failed one is not counted).
  virtual std::size_t sessions() const = 0;
  // Closes the listening socket and every session, and waits for them.
  virtual void stop() = 0;
};
// Binds and listens; null with the reason in `error`.
std::unique_ptr<Server> serve(const ServerOptions& options, std::string& error);

// ---- Import (client) --------------------------------------------------------

struct ImportOptions {
  Endpoint server;
  std::string busid;  // empty: the first device the server lists
  // Connecting, each operation reply, each send, a request's answer while
  // the bus waits for it (configuration, pipe reset), and an unlink's answer.
  std::chrono::milliseconds io_timeout{5000};
};

// A remote device on the emulated bus.  Lost connection or a peer that
// breaks the protocol: the device leaves the bus (Port::unplug).
class RemoteDevice : public AsyncDeviceModel {
 public:
  // Why the session ended (empty while it runs).
  virtual std::string detach_reason() const = 0;
  virtual const DeviceRecord& record() const = 0;
  // Ends the session (as a lost connection does).
  virtual void detach() = 0;
};
// "HOST:PORT[/BUSID]" (as after "usbip:" in --modem); loopback hosts only
// when `loopback_only`.
std::optional<ImportOptions> parse_import_target(const std::string& text, std::string& error,
                                                 bool loopback_only = false);
// Connects, imports and reads the device's descriptors; null with the
// reason in `error`.  Plug the result into the bus.
std::shared_ptr<RemoteDevice> import_device(const ImportOptions& options, std::string& error);
// The server's device list.
std::optional<std::vector<DeviceRecord>> list_devices(const ImportOptions& options, std::string& error);

}  // namespace emu::usb::usbip
