#include "wine_backend.h"

#include <cstdio>
#include <memory>

#include "nt.h"
#include "nt_names.h"

namespace vrmdm {

namespace {

// One request in flight: its status block, buffer and event live here until
// it completes, whoever still holds it.
class NtRequest : public PendingRequest {
 public:
  NtRequest(HANDLE handle, uint32_t output_length) : handle_(handle), buffer_(output_length) {
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    iosb_.Status = kStatusPending;
    iosb_.Information = 0;
  }
  ~NtRequest() override {
    // A request still pending when the process ends is the kernel's to finish.
    if (completed()) CloseHandle(event_);
  }
  // Records what the issuing call returned: a request that did not pend has
  // its final status there, whether the status block was written or not.
  void issued(NTSTATUS status) {
    if (status != (NTSTATUS)kStatusPending) {
      immediate_ = true;
      immediate_status_ = (uint32_t)status;
    }
  }
  bool wait(std::chrono::milliseconds limit) override {
    if (immediate_) return true;
    return WaitForSingleObject(event_, (DWORD)limit.count()) == WAIT_OBJECT_0;
  }
  bool completed() const override { return immediate_ || WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }
  IoOutcome outcome() const override {
    IoOutcome o;
    // A request that failed without pending may leave the status block as
    // it was: then only the returned status is known.
    const bool untouched = immediate_ && iosb_.Status == (NTSTATUS)kStatusPending;
    o.status = immediate_ ? immediate_status_ : (uint32_t)iosb_.Status;
    o.information = untouched ? 0 : iosb_.Information;
    const std::size_t n = o.information < buffer_.size() ? (std::size_t)o.information : buffer_.size();
    o.output.assign(buffer_.begin(), buffer_.begin() + n);
    return o;
  }
  bool cancel() override {
    if (completed()) return false;
    IO_STATUS_BLOCK cancel_status;
    return NtCancelIoFileEx(handle_, &iosb_, &cancel_status) >= 0;
  }

  HANDLE handle_;
  HANDLE event_;
  IO_STATUS_BLOCK iosb_;
  Bytes buffer_;
  bool immediate_ = false;
  uint32_t immediate_status_ = 0;
};

constexpr uint32_t kStatusInvalidHandle = 0xC0000008;
constexpr uint32_t kStatusNoSuchDevice = 0xC000000E;
constexpr uint32_t kStatusNotSupported = 0xC00000BB;

// The port's \DosDevices name in native form.
std::wstring nt_port_path(const std::string& port) {
  return L"\\??\\" + std::wstring(port.begin(), port.end());
}

}  // namespace

uint32_t WinePortBackend::unsupported(const char* what) {
  std::fprintf(stderr, "wine backend: %s cannot be done from outside Wine's kernel\n", what);
  unsupported_.push_back(std::string(what) + ": not available under Wine");
  return kStatusNotSupported;
}

// A fresh modem, as the emulator's plug gives: the one on the test bus (if
// any) is pulled out first.  The port is there once Wine's PnP manager has
// started vr_mdm.sys for the new one.
uint32_t WinePortBackend::plug(const PlugOptions& options) {
  port_ = options.port;
  if (options.modem != "acm") return unsupported("a modem variant other than acm");
  if (!lab_testbus_request(LAB_IOCTL_UNPLUG) || !lab_wait_port(port_.c_str(), true) ||
      !lab_testbus_request(LAB_IOCTL_PLUG) || !lab_wait_port(port_.c_str(), false)) {
    return kStatusNoSuchDevice;
  }
  return kStatusSuccess;
}

uint32_t WinePortBackend::open() {
  close();
  const std::wstring path = nt_port_path(port_);
  UNICODE_STRING name;
  name.Buffer = const_cast<PWSTR>(path.c_str());
  name.Length = (USHORT)(path.size() * sizeof(wchar_t));
  name.MaximumLength = name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb;
  HANDLE handle = INVALID_HANDLE_VALUE;
  // Not synchronous: requests may pend, as the runner's tagged ones must.
  const NTSTATUS status = NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE, &attributes, &iosb, nullptr, 0,
                                       0, FILE_OPEN, 0, nullptr, 0);
  if (status >= 0) handle_ = handle;
  return (uint32_t)status;
}

uint32_t WinePortBackend::close() {
  if (handle_ == INVALID_HANDLE_VALUE) return kStatusInvalidHandle;
  const NTSTATUS status = NtClose(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  return (uint32_t)status;
}

PendingPtr WinePortBackend::read(uint32_t length) {
  if (handle_ == INVALID_HANDLE_VALUE) return completed_request(kStatusInvalidHandle);
  auto r = std::make_shared<NtRequest>(handle_, length);
  LARGE_INTEGER offset{};
  r->issued(NtReadFile(handle_, r->event_, nullptr, nullptr, &r->iosb_, r->buffer_.data(), length, &offset,
                       nullptr));
  return r;
}

PendingPtr WinePortBackend::write(std::span<const uint8_t> data) {
  if (handle_ == INVALID_HANDLE_VALUE) return completed_request(kStatusInvalidHandle);
  auto r = std::make_shared<NtRequest>(handle_, 0);
  r->buffer_.assign(data.begin(), data.end());
  LARGE_INTEGER offset{};
  r->issued(NtWriteFile(handle_, r->event_, nullptr, nullptr, &r->iosb_, r->buffer_.data(),
                        (ULONG)r->buffer_.size(), &offset, nullptr));
  // A write returns no bytes to the client.
  r->buffer_.clear();
  return r;
}

PendingPtr WinePortBackend::ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t output_length) {
  if (handle_ == INVALID_HANDLE_VALUE) return completed_request(kStatusInvalidHandle);
  auto r = std::make_shared<NtRequest>(handle_, output_length);
  Bytes in(input.begin(), input.end());
  r->issued(NtDeviceIoControlFile(handle_, r->event_, nullptr, nullptr, &r->iosb_, code,
                                  in.empty() ? nullptr : in.data(), (ULONG)in.size(),
                                  r->buffer_.empty() ? nullptr : r->buffer_.data(), output_length));
  return r;
}

// The test bus's doors, as the emulator's scenario modem has them.
void WinePortBackend::modem_send(std::span<const uint8_t> data) {
  lab_testbus_request(LAB_IOCTL_SEND, data.data(), (DWORD)data.size());
}
void WinePortBackend::modem_lines(std::optional<bool> dcd, std::optional<bool> dsr) {
  LabLines lines = {0, 0};
  if (dcd) {
    lines.mask |= 1;
    lines.state |= *dcd ? 1 : 0;
  }
  if (dsr) {
    lines.mask |= 2;
    lines.state |= *dsr ? 2 : 0;
  }
  lab_testbus_request(LAB_IOCTL_LINES, &lines, sizeof(lines));
}
void WinePortBackend::modem_unplug() { lab_testbus_request(LAB_IOCTL_UNPLUG); }
// Wine's PnP manager sends both removal requests itself as soon as the bus
// reports the modem gone (surprise removal, then removal at once, open
// handles or not); these wait for that to have happened.  Their statuses are
// not seen from here: success means the port is gone.
uint32_t WinePortBackend::surprise_remove() {
  return lab_wait_port(port_.c_str(), true) ? kStatusSuccess : kStatusNoSuchDevice;
}
uint32_t WinePortBackend::remove() { return surprise_remove(); }
uint32_t WinePortBackend::power_device(int) { return unsupported("power device"); }
uint32_t WinePortBackend::power_system(int) { return unsupported("power system"); }
void WinePortBackend::freeze_clock() { unsupported("clock freeze"); }
void WinePortBackend::run_clock() {}
void WinePortBackend::sleep(std::chrono::milliseconds span) { Sleep((DWORD)span.count()); }

void WinePortBackend::shutdown() {
  if (handle_ != INVALID_HANDLE_VALUE) close();
}

}  // namespace vrmdm
