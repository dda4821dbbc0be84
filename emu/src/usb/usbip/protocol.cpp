// The USB/IP wire format: records to big-endian bytes and back.  Decoding
// reads through a cursor that never passes the end of its span; every field
// a peer sends is checked before a caller sees the record.
#include <emu/usb/usbip.h>

#include <algorithm>
#include <cstring>

namespace emu::usb::usbip {

namespace {

class Writer {
 public:
  void u8(uint8_t v) { out.push_back(v); }
  void u16(uint16_t v) {
    u8(static_cast<uint8_t>(v >> 8));
    u8(static_cast<uint8_t>(v));
  }
  void u32(uint32_t v) {
    u16(static_cast<uint16_t>(v >> 16));
    u16(static_cast<uint16_t>(v));
  }
  // A zero-terminated string in a field of `size` bytes, zero-filled.
  void text(const std::string& s, std::size_t size) {
    const std::size_t n = std::min(s.size(), size - 1);
    out.insert(out.end(), s.begin(), s.begin() + static_cast<std::ptrdiff_t>(n));
    out.insert(out.end(), size - n, 0);
  }
  void raw(std::span<const uint8_t> b) { out.insert(out.end(), b.begin(), b.end()); }
  Bytes out;
};

class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> b) : b_(b) {}
  bool has(std::size_t n) const { return b_.size() - pos_ >= n; }
  std::size_t pos() const { return pos_; }
  // Callers check has() for a whole record first.
  uint8_t u8() { return b_[pos_++]; }
  uint16_t u16() {
    const uint16_t hi = u8();
    return static_cast<uint16_t>(hi << 8 | u8());
  }
  uint32_t u32() {
    const uint32_t hi = u16();
    return hi << 16 | u16();
  }
  // A field of `size` bytes holding a zero-terminated string; nothing when
  // it has no terminator.
  std::optional<std::string> text(std::size_t size) {
    const auto field = b_.subspan(pos_, size);
    pos_ += size;
    const auto end = std::find(field.begin(), field.end(), uint8_t{0});
    if (end == field.end()) return std::nullopt;
    return std::string(field.begin(), end);
  }

 private:
  std::span<const uint8_t> b_;
  std::size_t pos_ = 0;
};

template <class T>
Decoded<T> incomplete(std::size_t needed = 0) {
  Decoded<T> d;
  d.result = Decoded<T>::Result::incomplete;
  d.size = needed;
  return d;
}

template <class T>
Decoded<T> malformed(std::string why) {
  Decoded<T> d;
  d.result = Decoded<T>::Result::error;
  d.error = std::move(why);
  return d;
}

void write_device(Writer& w, const DeviceRecord& d) {
  w.text(d.path, kPathSize);
  w.text(d.busid, kBusIdSize);
  w.u32(d.busnum);
  w.u32(d.devnum);
  w.u32(d.speed);
  w.u16(d.id_vendor);
  w.u16(d.id_product);
  w.u16(d.bcd_device);
  w.u8(d.device_class);
  w.u8(d.device_subclass);
  w.u8(d.device_protocol);
  w.u8(d.configuration_value);
  w.u8(d.num_configurations);
  w.u8(static_cast<uint8_t>(d.interfaces.size()));
}

// A device record; `interfaces` for the device list's form.  Nothing with
// `error` set when malformed, nothing with it empty when short.
std::optional<DeviceRecord> read_device(Cursor& c, bool interfaces, std::string& error) {
  if (!c.has(kDeviceSize)) return std::nullopt;
  DeviceRecord d;
  auto path = c.text(kPathSize);
  auto busid = c.text(kBusIdSize);
  if (!path || !busid) {
    error = "device record: path or busid not terminated";
    return std::nullopt;
  }
  d.path = *path;
  d.busid = *busid;
  d.busnum = c.u32();
  d.devnum = c.u32();
  d.speed = c.u32();
  d.id_vendor = c.u16();
  d.id_product = c.u16();
  d.bcd_device = c.u16();
  d.device_class = c.u8();
  d.device_subclass = c.u8();
  d.device_protocol = c.u8();
  d.configuration_value = c.u8();
  d.num_configurations = c.u8();
  const uint8_t count = c.u8();
  if (d.busnum > 0xFFFF || d.devnum > 0xFFFF) {
    error = "device record: busnum or devnum out of range";
    return std::nullopt;
  }
  if (interfaces) {
    if (count > kMaxInterfaces) {
      error = "device record: " + std::to_string(count) + " interfaces";
      return std::nullopt;
    }
    if (!c.has(4u * count)) return std::nullopt;
    for (unsigned i = 0; i < count; ++i) {
      std::array<uint8_t, 3> k{c.u8(), c.u8(), c.u8()};
      (void)c.u8();  // padding
      d.interfaces.push_back(k);
    }
  }
  return d;
}

Decoded<OpHeader> read_op(Cursor& c, uint16_t expected_code) {
  if (!c.has(kOpHeaderSize)) return incomplete<OpHeader>(kOpHeaderSize);
  Decoded<OpHeader> d;
  d.message.version = c.u16();
  d.message.code = c.u16();
  d.message.status = c.u32();
  if (d.message.version != kVersion) return malformed<OpHeader>("unsupported USB/IP version");
  if (d.message.code != expected_code) return malformed<OpHeader>("unexpected operation code");
  d.result = Decoded<OpHeader>::Result::message;
  d.size = kOpHeaderSize;
  return d;
}

void write_basic(Writer& w, const UrbMessage& m) {
  w.u32(m.command);
  w.u32(m.seqnum);
  w.u32(m.devid);
  w.u32(m.direction);
  w.u32(m.ep);
}

}  // namespace

UsbdResult to_usbd(int32_t s) {
  switch (s) {
    case 0:
      return {USBD_STATUS_SUCCESS, STATUS_SUCCESS};
    case err::EPIPE_:
      return {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL};
    case err::EOVERFLOW_:
      return {USBD_STATUS_BABBLE_DETECTED, STATUS_UNSUCCESSFUL};
    case err::EREMOTEIO_:
      return {USBD_STATUS_DATA_UNDERRUN, STATUS_UNSUCCESSFUL};
    case err::ECONNRESET_:
    case err::ENOENT_:
      return {USBD_STATUS_CANCELED, STATUS_CANCELLED};
    case err::ESHUTDOWN_:
    case err::ENODEV_:
      return {USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE};
    case err::EPROTO_:
    case err::EILSEQ_:
      return {USBD_STATUS_CRC, STATUS_UNSUCCESSFUL};
    case err::ETIME_:
      return {USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL};
    case err::EINVAL_:
      return {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER};
    default:
      return {USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL};
  }
}

int32_t to_linux(USBD_STATUS usbd) {
  switch (usbd) {
    case USBD_STATUS_SUCCESS:
      return 0;
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED:
      return err::EPIPE_;
    case USBD_STATUS_BABBLE_DETECTED:
    case USBD_STATUS_DATA_OVERRUN:
    case USBD_STATUS_BUFFER_OVERRUN:
      return err::EOVERFLOW_;
    case USBD_STATUS_DATA_UNDERRUN:
      return err::EREMOTEIO_;
    case USBD_STATUS_CANCELED:
      return err::ECONNRESET_;
    case USBD_STATUS_DEVICE_GONE:
      return err::ENODEV_;
    case USBD_STATUS_CRC:
    case USBD_STATUS_BTSTUFF:
      return err::EPROTO_;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
      return err::EINVAL_;
    default:
      return err::EPROTO_;
  }
}

Bytes encode_op(const OpHeader& h) {
  Writer w;
  w.u16(h.version);
  w.u16(h.code);
  w.u32(h.status);
  return w.out;
}

Bytes encode_import_request(const std::string& busid) {
  Writer w;
  w.raw(encode_op({kVersion, OP_REQ_IMPORT, 0}));
  w.text(busid, kBusIdSize);
  return w.out;
}

Bytes encode_import_reply(uint32_t status, const DeviceRecord* device) {
  Writer w;
  w.raw(encode_op({kVersion, OP_REP_IMPORT, device ? status : (status ? status : 1)}));
  if (device && status == 0) write_device(w, *device);
  return w.out;
}

Bytes encode_devlist_reply(const std::vector<DeviceRecord>& devices) {
  Writer w;
  w.raw(encode_op({kVersion, OP_REP_DEVLIST, 0}));
  w.u32(static_cast<uint32_t>(devices.size()));
  for (const DeviceRecord& d : devices) {
    write_device(w, d);
    for (const auto& k : d.interfaces) {
      w.u8(k[0]);
      w.u8(k[1]);
      w.u8(k[2]);
      w.u8(0);
    }
  }
  return w.out;
}

Decoded<OpHeader> decode_op(std::span<const uint8_t> bytes, uint16_t expected_code) {
  Cursor c(bytes);
  return read_op(c, expected_code);
}

Decoded<std::string> decode_import_request(std::span<const uint8_t> bytes) {
  Cursor c(bytes);
  auto h = read_op(c, OP_REQ_IMPORT);
  if (h.result == Decoded<OpHeader>::Result::error) return malformed<std::string>(h.error);
  if (!h.ok() || !c.has(kBusIdSize)) return incomplete<std::string>(kOpHeaderSize + kBusIdSize);
  auto busid = c.text(kBusIdSize);
  if (!busid) return malformed<std::string>("import request: busid not terminated");
  Decoded<std::string> d;
  d.result = Decoded<std::string>::Result::message;
  d.message = *busid;
  d.size = c.pos();
  return d;
}

Decoded<DeviceRecord> decode_import_reply(std::span<const uint8_t> bytes) {
  Cursor c(bytes);
  auto h = read_op(c, OP_REP_IMPORT);
  if (h.result == Decoded<OpHeader>::Result::error) return malformed<DeviceRecord>(h.error);
  if (!h.ok()) return incomplete<DeviceRecord>(kOpHeaderSize);
  if (h.message.status != 0)
    return malformed<DeviceRecord>("the server refused the import (status " +
                                   std::to_string(h.message.status) + ")");
  std::string error;
  auto device = read_device(c, false, error);
  if (!error.empty()) return malformed<DeviceRecord>(error);
  if (!device) return incomplete<DeviceRecord>(kOpHeaderSize + kDeviceSize);
  Decoded<DeviceRecord> d;
  d.result = Decoded<DeviceRecord>::Result::message;
  d.message = std::move(*device);
  d.size = c.pos();
  return d;
}

Decoded<std::vector<DeviceRecord>> decode_devlist_reply(std::span<const uint8_t> bytes) {
  using Out = std::vector<DeviceRecord>;
  Cursor c(bytes);
  auto h = read_op(c, OP_REP_DEVLIST);
  if (h.result == Decoded<OpHeader>::Result::error) return malformed<Out>(h.error);
  if (!h.ok() || !c.has(4)) return incomplete<Out>(kOpHeaderSize + 4);
  if (h.message.status != 0) return malformed<Out>("device list refused");
  const uint32_t count = c.u32();
  if (count > kMaxDevices) return malformed<Out>("device list: " + std::to_string(count) + " devices");
  Decoded<Out> d;
  for (uint32_t i = 0; i < count; ++i) {
    std::string error;
    auto device = read_device(c, true, error);
    if (!error.empty()) return malformed<Out>(error);
    if (!device) return incomplete<Out>();
    d.message.push_back(std::move(*device));
  }
  d.result = Decoded<Out>::Result::message;
  d.size = c.pos();
  return d;
}

Bytes encode_urb(const UrbMessage& m, std::span<const uint8_t> payload) {
  Writer w;
  write_basic(w, m);
  switch (m.command) {
    case CMD_SUBMIT:
      w.u32(m.transfer_flags);
      w.u32(m.transfer_length);
      w.u32(m.start_frame);
      w.u32(m.number_of_packets);
      w.u32(m.interval);
      w.raw(m.setup);
      break;
    case RET_SUBMIT:
      w.u32(static_cast<uint32_t>(m.status));
      w.u32(m.actual_length);
      w.u32(m.start_frame);
      w.u32(m.number_of_packets);
      w.u32(m.error_count);
      w.out.insert(w.out.end(), 8, 0);
      break;
    case CMD_UNLINK:
      w.u32(m.unlink_seqnum);
      w.out.insert(w.out.end(), 24, 0);
      break;
    default:  // RET_UNLINK
      w.u32(static_cast<uint32_t>(m.status));
      w.out.insert(w.out.end(), 24, 0);
      break;
  }
  w.raw(payload);
  return w.out;
}

namespace {

// The 48-byte header, whatever the command; fields after the basic header
// read by their offsets.
UrbMessage read_urb_header(Cursor& c) {
  UrbMessage m;
  m.command = c.u32();
  m.seqnum = c.u32();
  m.devid = c.u32();
  m.direction = c.u32();
  m.ep = c.u32();
  const uint32_t a = c.u32();
  const uint32_t b = c.u32();
  const uint32_t frame = c.u32();
  const uint32_t packets = c.u32();
  const uint32_t e = c.u32();
  for (auto& s : m.setup) s = c.u8();
  switch (m.command) {
    case CMD_SUBMIT:
      m.transfer_flags = a;
      m.transfer_length = b;
      m.start_frame = frame;
      m.number_of_packets = packets;
      m.interval = e;
      break;
    case RET_SUBMIT:
      m.status = static_cast<int32_t>(a);
      m.actual_length = b;
      m.start_frame = frame;
      m.number_of_packets = packets;
      m.error_count = e;
      break;
    case CMD_UNLINK:
      m.unlink_seqnum = a;
      break;
    case RET_UNLINK:
      m.status = static_cast<int32_t>(a);
      break;
    default:
      break;
  }
  return m;
}

// Isochronous transfers are not carried: a packet count other than "none".
bool iso(uint32_t packets) { return packets != 0 && packets != kNotIso; }

Decoded<UrbMessage> with_payload(std::span<const uint8_t> bytes, const UrbMessage& m, uint32_t payload) {
  const std::size_t total = kUrbHeaderSize + payload;
  if (bytes.size() < total) return incomplete<UrbMessage>(total);
  Decoded<UrbMessage> d;
  d.result = Decoded<UrbMessage>::Result::message;
  d.message = m;
  d.payload = bytes.subspan(kUrbHeaderSize, payload);
  d.size = total;
  return d;
}

}  // namespace

Decoded<UrbMessage> decode_reply(std::span<const uint8_t> bytes, const Outstanding& outstanding) {
  Cursor c(bytes);
  if (!c.has(kUrbHeaderSize)) return incomplete<UrbMessage>(kUrbHeaderSize);
  const UrbMessage m = read_urb_header(c);
  if (m.command != RET_SUBMIT && m.command != RET_UNLINK)
    return malformed<UrbMessage>("unknown reply command " + std::to_string(m.command));
  const std::optional<uint32_t> asked = outstanding ? outstanding(m.seqnum) : std::nullopt;
  if (!asked)
    return malformed<UrbMessage>("reply to sequence number " + std::to_string(m.seqnum) +
                                 ", which has no request in flight");
  if (m.command == RET_UNLINK) return with_payload(bytes, m, 0);
  if (iso(m.number_of_packets)) return malformed<UrbMessage>("isochronous reply");
  if (m.actual_length > kMaxTransfer) return malformed<UrbMessage>("reply length past the limit");
  // IN data follows, whatever the status: as much as the request asked
  // for, at most.  OUT replies carry none.
  if (*asked == 0) return with_payload(bytes, m, 0);
  if (m.actual_length > *asked) return malformed<UrbMessage>("reply carries more than the request asked for");
  return with_payload(bytes, m, m.actual_length);
}

Decoded<UrbMessage> decode_command(std::span<const uint8_t> bytes, uint32_t devid) {
  Cursor c(bytes);
  if (!c.has(kUrbHeaderSize)) return incomplete<UrbMessage>(kUrbHeaderSize);
  const UrbMessage m = read_urb_header(c);
  if (m.command != CMD_SUBMIT && m.command != CMD_UNLINK)
    return malformed<UrbMessage>("unknown command " + std::to_string(m.command));
  if (m.devid != devid) return malformed<UrbMessage>("command for another device");
  if (m.command == CMD_UNLINK) return with_payload(bytes, m, 0);
  if (m.direction != kDirIn && m.direction != kDirOut) return malformed<UrbMessage>("bad direction");
  if (m.ep > 15) return malformed<UrbMessage>("bad endpoint number");
  if (iso(m.number_of_packets)) return malformed<UrbMessage>("isochronous transfers are not carried");
  if (m.transfer_length > kMaxTransfer) return malformed<UrbMessage>("transfer length past the limit");
  return with_payload(bytes, m, m.direction == kDirOut ? m.transfer_length : 0);
}

std::optional<Endpoint> parse_endpoint(const std::string& text, std::string& error, bool loopback_only) {
  Endpoint e;
  std::string port;
  if (text.starts_with("[")) {
    const auto close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      error = "expected [IPV6]:PORT";
      return std::nullopt;
    }
    e.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) {
      error = "expected HOST:PORT";
      return std::nullopt;
    }
    e.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoul(port) > 65535) {
    error = "bad port '" + port + "'";
    return std::nullopt;
  }
  e.port = static_cast<uint16_t>(std::stoul(port));
  if (e.host == "localhost") e.host = "127.0.0.1";
  if (e.host.empty()) {
    error = "no host";
    return std::nullopt;
  }
  if (loopback_only && !(e.host == "::1" || e.host.starts_with("127."))) {
    error = "only loopback addresses (127.0.0.0/8, ::1) are allowed here";
    return std::nullopt;
  }
  return e;
}

}  // namespace emu::usb::usbip
