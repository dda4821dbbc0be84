// A client above the bus's PDO, as a function driver keeps one: request
// packets it allocates and reuses, URBs in pool, completion routines that
// stop completion and count how often they ran.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/usb/bus.h>
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>
#include <emu/verifier.h>

#include "descriptor_builder.h"

namespace usbtest {

using namespace std::chrono_literals;

inline constexpr ULONG kTestTag = emu::pool::tag("UsbT");
inline constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
inline constexpr ULONG kOut = USBD_TRANSFER_DIRECTION_OUT;

// One packet and one URB, reused request after request.
class UrbRequest {
 public:
  explicit UrbRequest(PDEVICE_OBJECT target, std::size_t urb_size = sizeof(URB)) : target_(target) {
    irp_ = IoAllocateIrp(target->StackSize, FALSE);
    urb_size = std::max<std::size_t>(urb_size, sizeof(struct _URB_HEADER));
    urb_ = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, urb_size, kTestTag));
    memset(urb_, 0, urb_size);
  }
  ~UrbRequest() {
    if (sent_ && !done()) {
      // Never free a packet the bus still holds.
      cancel();
      EXPECT_TRUE(wait()) << "a cancelled request never completed";
    }
    if (irp_ != nullptr) IoFreeIrp(irp_);
    if (urb_ != nullptr) ExFreePoolWithTag(urb_, kTestTag);
  }
  UrbRequest(const UrbRequest&) = delete;
  UrbRequest& operator=(const UrbRequest&) = delete;

  PURB urb() { return urb_; }
  PIRP irp() { return irp_; }

  // Sends the packet down with a completion routine that keeps it; returns
  // what IofCallDriver returned.
  NTSTATUS send(ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB, PVOID argument = nullptr) {
    {
      std::lock_guard lock(m_);
      done_ = false;
    }
    IoReuseIrp(irp_, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp_);
    sp->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = code;
    sp->Parameters.Others.Argument1 = argument != nullptr ? argument : urb_;
    IoSetCompletionRoutine(irp_, &UrbRequest::on_complete, this, TRUE, TRUE, TRUE);
    sent_ = true;
    returned_ = IoCallDriver(target_, irp_);
    return returned_;
  }

  // Real-time wait for the completion routine.
  bool wait(std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, limit, [&] { return done_; });
  }
  bool done() {
    std::lock_guard lock(m_);
    return done_;
  }
  int completions() const { return completions_.load(); }
  KIRQL completion_irql() const { return irql_.load(); }
  std::thread::id completion_thread() {
    std::lock_guard lock(m_);
    return thread_;
  }
  NTSTATUS returned() const { return returned_; }
  NTSTATUS status() const { return irp_->IoStatus.Status; }
  USBD_STATUS usbd() const { return urb_->UrbHeader.Status; }
  BOOLEAN cancel() { return IoCancelIrp(irp_); }

 private:
  static NTSTATUS NTAPI on_complete(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* self = static_cast<UrbRequest*>(context);
    self->irql_ = KeGetCurrentIrql();
    self->completions_.fetch_add(1);
    // Notified under the lock: the waiter may destroy the request as soon
    // as it sees done_.
    std::lock_guard lock(self->m_);
    self->done_ = true;
    self->thread_ = std::this_thread::get_id();
    self->cv_.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
  }

  PDEVICE_OBJECT target_;
  PIRP irp_ = nullptr;
  PURB urb_ = nullptr;
  NTSTATUS returned_ = STATUS_PENDING;
  bool sent_ = false;
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread::id thread_;
  std::atomic<int> completions_{0};
  std::atomic<KIRQL> irql_{0};
};

// What a synchronous submission leaves behind.
struct Sync {
  NTSTATUS status = STATUS_PENDING;
  USBD_STATUS usbd = USBD_STATUS_PENDING;
  PVOID device_handle = nullptr;  // the bus's stamp on the URB
};

// A bus client with the pipe handles of the selected configuration.
class Client {
 public:
  explicit Client(PDEVICE_OBJECT pdo) : pdo_(pdo) {}
  PDEVICE_OBJECT pdo() const { return pdo_; }

  // Submits and waits for the completion.
  Sync submit(UrbRequest& r) {
    r.send();
    EXPECT_TRUE(r.wait()) << "URB function " << r.urb()->UrbHeader.Function << " never completed";
    return {r.status(), r.usbd(), r.urb()->UrbHeader.UsbdDeviceHandle};
  }

  std::vector<uint8_t> get_descriptor(UCHAR type, ULONG length, Sync* sync = nullptr, UCHAR index = 0) {
    UrbRequest r(pdo_);
    std::vector<uint8_t> buffer(length + 16, 0xEE);
    UsbBuildGetDescriptorRequest(r.urb(), (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 0, buffer.data(), nullptr, length, nullptr);
    Sync s = submit(r);
    if (sync != nullptr) *sync = s;
    EXPECT_EQ(buffer[length], 0xEE) << "the bus wrote past the requested length";
    buffer.resize(NT_SUCCESS(s.status) ? r.urb()->UrbControlDescriptorRequest.TransferBufferLength : 0);
    return buffer;
  }

  // Selects the whole configuration with every interface, as a driver does:
  // library parse, library URB, optional adjustment of the sizes.
  Sync select(std::vector<uint8_t>& config, const std::function<void(PURB)>& adjust = {}) {
    auto* cd = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(cd->bNumInterfaces + 1);
    std::size_t n = 0;
    for (auto* id : interfaces_of(cd, cd->bNumInterfaces)) list[n++].InterfaceDescriptor = id;
    list[n] = {nullptr, nullptr};
    PURB urb = USBD_CreateConfigurationRequestEx(cd, list.data());
    if (urb == nullptr) return {STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_NO_MEMORY};
    if (adjust) adjust(urb);
    UrbRequest r(pdo_, 0);
    r.send(IOCTL_INTERNAL_USB_SUBMIT_URB, urb);  // this URB, not the request's own
    EXPECT_TRUE(r.wait());
    const Sync s{r.status(), urb->UrbHeader.Status};
    pipes_.clear();
    interfaces_.clear();
    config_handle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (std::size_t i = 0; i < n; ++i) {
      PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
      interfaces_.push_back(*info);
      for (ULONG p = 0; p < info->NumberOfPipes; ++p) pipes_.push_back(info->Pipes[p]);
    }
    ExFreePool(urb);
    return s;
  }

  // The pipe of an endpoint after select().
  USBD_PIPE_INFORMATION pipe(uint8_t endpoint_address) const {
    for (const auto& p : pipes_)
      if (p.EndpointAddress == endpoint_address) return p;
    ADD_FAILURE() << "no pipe for endpoint " << int(endpoint_address);
    return {};
  }
  const std::vector<USBD_PIPE_INFORMATION>& pipes() const { return pipes_; }
  const std::vector<USBD_INTERFACE_INFORMATION>& interfaces() const { return interfaces_; }
  USBD_CONFIGURATION_HANDLE config_handle() const { return config_handle_; }

  // Fetches the device's own configuration set and selects it.
  Sync configure(const std::function<void(PURB)>& adjust = {}) {
    auto head = get_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
    if (head.size() < 9) return {STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR};
    config_ = get_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, head[2] | head[3] << 8);
    return select(config_, adjust);
  }

  // Prepares `r` for a bulk or interrupt transfer on `endpoint_address`.
  void build_transfer(UrbRequest& r, uint8_t endpoint_address, void* buffer, ULONG length, ULONG flags) {
    memset(r.urb(), 0, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(r.urb(), (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                           pipe(endpoint_address).PipeHandle, buffer, nullptr, length, flags,
                                           nullptr);
  }
  // The same, sent; what the bus's dispatch routine returned.
  NTSTATUS send_transfer(UrbRequest& r, uint8_t endpoint_address, void* buffer, ULONG length, ULONG flags) {
    build_transfer(r, endpoint_address, buffer, length, flags);
    return r.send();
  }

  // A whole transfer, waited for.  Returns the bytes moved.
  Sync transfer(uint8_t endpoint_address, void* buffer, ULONG length, ULONG flags, ULONG* moved = nullptr) {
    UrbRequest r(pdo_);
    build_transfer(r, endpoint_address, buffer, length, flags);
    Sync s = submit(r);
    if (moved != nullptr) *moved = r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
    return s;
  }

  Sync write(uint8_t endpoint_address, std::string_view text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    return transfer(endpoint_address, bytes.data(), (ULONG)bytes.size(), USBD_TRANSFER_DIRECTION_OUT);
  }

  Sync class_request(UCHAR request, USHORT value, USHORT index, void* buffer, ULONG length, bool in,
                     ULONG* moved = nullptr) {
    UrbRequest r(pdo_);
    UsbBuildVendorRequest(r.urb(), URB_FUNCTION_CLASS_INTERFACE,
                          (USHORT)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), in ? kIn : 0, 0,
                          request, value, index, buffer, nullptr, length, nullptr);
    Sync s = submit(r);
    if (moved != nullptr) *moved = r.urb()->UrbControlVendorClassRequest.TransferBufferLength;
    return s;
  }

  Sync pipe_request(USHORT function, uint8_t endpoint_address) {
    UrbRequest r(pdo_);
    r.urb()->UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    r.urb()->UrbHeader.Function = function;
    r.urb()->UrbPipeRequest.PipeHandle = pipe(endpoint_address).PipeHandle;
    return submit(r);
  }

 private:
  PDEVICE_OBJECT pdo_;
  std::vector<uint8_t> config_;
  std::vector<USBD_PIPE_INFORMATION> pipes_;
  std::vector<USBD_INTERFACE_INFORMATION> interfaces_;
  USBD_CONFIGURATION_HANDLE config_handle_ = nullptr;
};

// The sizes a serial driver gives its pipes.  Before the selection the
// type is unknown; the driver goes by the descriptors: here interface 0 has
// the interrupt pipe.
inline void driver_sizes(PURB urb) {
  auto* p = reinterpret_cast<uint8_t*>(&urb->UrbSelectConfiguration.Interface);
  for (PUSBD_INTERFACE_INFORMATION info = nullptr;
       p < reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length; p += info->Length) {
    info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
    for (ULONG i = 0; i < info->NumberOfPipes; ++i)
      info->Pipes[i].MaximumTransferSize = info->InterfaceNumber == 0 ? 64 : 65536;
  }
}

// Each case ends with the bus reset (the shared listener then checks findings and leaks).
class BusTest : public ::testing::Test {
 protected:
  void TearDown() override {
    emu::usb::reset();
    if (emu::clock::frozen()) emu::clock::unfreeze();
  }
  PDEVICE_OBJECT plug_scripted(emu::usb::cdc::Variant v = emu::usb::cdc::Variant::acm) {
    dev_ = emu::usb::ScriptedDevice::cdc_acm(v);
    return emu::usb::plug(dev_);
  }
  // The scripted device plugged and configured, with its client.
  Client& open() {
    client_ = std::make_unique<Client>(plug_scripted());
    EXPECT_EQ(client_->configure().status, STATUS_SUCCESS);
    return *client_;
  }
  std::shared_ptr<emu::usb::ScriptedDevice> dev_;
  std::unique_ptr<Client> client_;
};

// Reads of a bulk IN endpoint raced by arriving bytes and by cancellation:
// each read succeeded with bytes or was cancelled with none, and at the end
// what no read took is still in the device, in order, nothing lost or doubled.
struct RaceTally {
  std::string queued, received;
  int cancelled = 0, delivered = 0;
  uint8_t buffer[8];

  // Submits `r` as the next read into the buffer.
  void submit(Client& c, UrbRequest& r) { c.send_transfer(r, cdc_in, buffer, sizeof buffer, kIn); }
  // Counts the outcome of the read `r`, completed.
  void take(UrbRequest& r) {
    const ULONG n = r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (r.status() == STATUS_SUCCESS) {
      ASSERT_EQ(r.usbd(), USBD_STATUS_SUCCESS);
      ASSERT_GE(n, 1u);
      ASSERT_LE(n, sizeof buffer);
      received.append(reinterpret_cast<char*>(buffer), n);
      ++delivered;
    } else {
      ASSERT_EQ(r.status(), STATUS_CANCELLED);
      ASSERT_EQ(r.usbd(), USBD_STATUS_CANCELED);
      ASSERT_EQ(n, 0u);
      ++cancelled;
    }
  }
  // Reads the rest and checks the whole; both ways of the race were taken.
  void finish(Client& c) {
    std::string rest;
    for (int i = 0; i < 1000 && received.size() + rest.size() < queued.size(); ++i) {
      ULONG n = 0;
      ASSERT_EQ(c.transfer(cdc_in, buffer, sizeof buffer, kIn, &n).status, STATUS_SUCCESS);
      rest.append(reinterpret_cast<char*>(buffer), n);
    }
    EXPECT_EQ(received + rest, queued);
    EXPECT_GT(cancelled, 0) << "the race never went the cancel's way";
    EXPECT_GT(delivered, 0) << "the race never went the data's way";
    EXPECT_EQ(emu::usb::info(c.pdo()).pending_transfers, 0u);
  }
  static constexpr uint8_t cdc_in = emu::usb::cdc::BULK_IN_ENDPOINT;
};

}  // namespace usbtest
