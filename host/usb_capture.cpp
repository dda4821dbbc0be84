#include "usb_capture.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstring>

#include <emu/usb/cdc.h>

namespace vrmdm {

namespace {

namespace usb = emu::usb;

constexpr int kSnapLength = 1 << 18;  // libpcap's largest
constexpr std::size_t kHeaderLength = 64;
// A stdio buffer larger than any record, so that each flush is a single
// write(2): a run killed by a signal leaves only whole records behind.
constexpr std::size_t kFileBuffer = kSnapLength + kHeaderLength + 64;
constexpr int64_t kUnixEpochIn100ns = 116444736000000000LL;  // 1970 counted from 1601

// usbmon's transfer types and URB flags.
constexpr uint8_t kIsochronous = 0, kInterrupt = 1, kControl = 2, kBulk = 3;
constexpr uint32_t kUrbShortNotOk = 0x0001;
constexpr uint32_t kUrbDirIn = 0x0200;

template <class T>
void put(Bytes& out, std::size_t offset, T value) {
  std::memcpy(out.data() + offset, &value, sizeof value);
}

uint8_t usbmon_type(uint8_t endpoint_type) {
  switch (endpoint_type & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_ISOCHRONOUS:
      return kIsochronous;
    case USB_ENDPOINT_TYPE_BULK:
      return kBulk;
    case USB_ENDPOINT_TYPE_INTERRUPT:
      return kInterrupt;
    default:
      return kControl;
  }
}

}  // namespace

int usbmon_status(uint32_t usbd_status, uint32_t nt_status) {
  switch (static_cast<USBD_STATUS>(usbd_status)) {
    case USBD_STATUS_SUCCESS:
      return NT_SUCCESS(static_cast<NTSTATUS>(nt_status)) ? 0 : -EIO;
    case USBD_STATUS_CANCELED:
      return -ENOENT;  // as for a killed URB
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED:
      return -EPIPE;
    case USBD_STATUS_DEVICE_GONE:
      return -ESHUTDOWN;
    case USBD_STATUS_DATA_UNDERRUN:
      return -EREMOTEIO;  // short packet with URB_SHORT_NOT_OK
    case USBD_STATUS_DATA_OVERRUN:
    case USBD_STATUS_BABBLE_DETECTED:
      return -EOVERFLOW;
    case USBD_STATUS_CRC:
      return -EILSEQ;
    case USBD_STATUS_TIMEOUT:
      return -ETIMEDOUT;
    case USBD_STATUS_DEV_NOT_RESPONDING:
      return -EPROTO;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
      return -EINVAL;
    default:
      return -EIO;
  }
}

Bytes usbmon_record(const usb::UrbEvent& e, std::size_t max_data) {
  const bool submit = e.kind == usb::UrbEvent::Kind::submit;
  const std::size_t captured = std::min(e.data.size(), max_data);
  const bool in = (e.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
  Bytes out(kHeaderLength + captured, 0);
  put<uint64_t>(out, 0, reinterpret_cast<uintptr_t>(e.urb));
  out[8] = submit ? 'S' : 'C';
  out[9] = usbmon_type(e.transfer_type);
  out[10] = e.endpoint;
  out[11] = static_cast<uint8_t>(e.device);
  put<uint16_t>(out, 12, 1);  // bus number
  out[14] = submit && e.setup ? 0 : '-';
  // 0: data follows; otherwise why not, as usbmon's text interface says it.
  out[15] = captured > 0 ? 0 : (submit && in) ? '<' : (!submit && !in) ? '>' : '=';
  const int64_t unix_time = e.system_time - kUnixEpochIn100ns;
  put<int64_t>(out, 16, unix_time / 10000000);
  put<int32_t>(out, 24, static_cast<int32_t>(unix_time % 10000000 / 10));
  put<int32_t>(out, 28,
               submit ? -EINPROGRESS
                      : usbmon_status(static_cast<uint32_t>(e.usbd_status), static_cast<uint32_t>(e.status)));
  put<uint32_t>(out, 32, e.length);
  put<uint32_t>(out, 36, static_cast<uint32_t>(captured));
  if (submit && e.setup) {
    const usb::SetupPacket& s = *e.setup;
    out[40] = s.bmRequestType;
    out[41] = s.bRequest;
    put<uint16_t>(out, 42, s.wValue);
    put<uint16_t>(out, 44, s.wIndex);
    put<uint16_t>(out, 46, s.wLength);
  }
  put<int32_t>(out, 48, e.interval);
  put<uint32_t>(out, 56, (in ? kUrbDirIn : 0) | (in && !e.short_ok ? kUrbShortNotOk : 0));
  if (captured > 0) std::memcpy(out.data() + kHeaderLength, e.data.data(), captured);
  return out;
}

std::optional<uint16_t> serial_state_of(const usb::UrbEvent& e) {
  if (e.kind != usb::UrbEvent::Kind::complete || e.transfer_type != USB_ENDPOINT_TYPE_INTERRUPT) return {};
  if (e.data.size() < 10 || e.data[0] != 0xA1 || e.data[1] != usb::cdc::SERIAL_STATE) return {};
  return static_cast<uint16_t>(e.data[8] | e.data[9] << 8);
}

std::string describe_serial_state(uint16_t state) {
  char text[80];
  std::snprintf(text, sizeof text, "serial state 0x%04x: DCD %s, DSR %s, ring %s", state,
                state & usb::cdc::SERIAL_STATE_DCD ? "on" : "off",
                state & usb::cdc::SERIAL_STATE_DSR ? "on" : "off", state & 0x0008 ? "on" : "off");
  return text;
}

bool UsbCapture::open(const std::string& path, std::string& error) {
  close();
  std::unique_lock lock(mutex_);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  buffer_ = std::make_unique<char[]>(kFileBuffer);
  std::setvbuf(file, buffer_.get(), _IOFBF, kFileBuffer);
  pcap_ = pcap_open_dead(DLT_USB_LINUX_MMAPPED, kSnapLength);
  dumper_ = pcap_ ? pcap_dump_fopen(pcap_, file) : nullptr;
  if (dumper_ == nullptr) {
    error = "cannot start a capture in " + path + (pcap_ ? std::string(": ") + pcap_geterr(pcap_) : "");
    std::fclose(file);
    if (pcap_) pcap_close(pcap_);
    pcap_ = nullptr;
    return false;
  }
  pcap_dump_flush(dumper_);  // a capture with no record yet is still a capture
  records_ = 0;
  // Watchers run under the bus's watcher lock and then take mutex_: never
  // the other way round.
  lock.unlock();
  watch_ = std::make_unique<BusWatch>([this](const usb::UrbEvent& e) { write(e); });
  return true;
}

void UsbCapture::close() {
  watch_.reset();  // no watcher runs after this
  std::lock_guard lock(mutex_);
  if (dumper_) pcap_dump_close(dumper_);
  if (pcap_) pcap_close(pcap_);
  dumper_ = nullptr;
  pcap_ = nullptr;
  buffer_.reset();
}

std::size_t UsbCapture::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

void UsbCapture::write(const usb::UrbEvent& e) {
  const Bytes record = usbmon_record(e, kSnapLength - kHeaderLength);
  std::lock_guard lock(mutex_);
  if (!dumper_) return;
  pcap_pkthdr header{};
  const int64_t unix_time = e.system_time - kUnixEpochIn100ns;
  header.ts.tv_sec = static_cast<time_t>(unix_time / 10000000);
  header.ts.tv_usec = static_cast<suseconds_t>(unix_time % 10000000 / 10);
  header.caplen = static_cast<bpf_u_int32>(record.size());
  header.len = static_cast<bpf_u_int32>(kHeaderLength + e.data.size());
  pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, record.data());
  pcap_dump_flush(dumper_);
  ++records_;
}

}  // namespace vrmdm
