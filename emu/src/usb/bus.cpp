// The emulated USB bus driver: one physical device object per plugged
// device, answering IOCTL_INTERNAL_USB_SUBMIT_URB as a host controller and
// hub would.
//
// Locking.  The bus lock (Bus::m) guards every Device's state and queues.
// It is never held while a model callback runs or while a request is
// completed.  Model callbacks of one device run under its callback_mutex,
// taken without the bus lock; a model may take its own lock inside and call
// Port::wake from there, which takes the bus lock: the order is callback
// mutex, model lock, bus lock.
//
// A queued transfer carries the bus's cancel routine.  Whoever takes a
// transfer out of a queue first clears the cancel routine; if that finds it
// already gone, IoCancelIrp owns the packet and the cancel routine takes it
// out, so each packet is completed exactly once.  The cancel routine
// completes the packet itself, or (under set_late_cancel_seed) leaves it on
// its endpoint's cancelled list for the bus thread to complete later, as a
// host controller does once the hardware has let go of the transfer.
#include <sys/prctl.h>

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/usb_bus.h>
#include <emu/verifier.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "usb/descriptor_set.h"
#include "usb/scheduler.h"
#include "usb/watch.h"

namespace emu::usb {

namespace {

using std::chrono::nanoseconds;

// How a powered-down device's transfers fail at the USB level.
constexpr USBD_STATUS powered_down_usbd = USBD_STATUS_DEV_NOT_RESPONDING;

enum class Op { descriptor, select_configuration, control, data, reset_pipe, abort_pipe };

struct Transfer {
  PIRP irp = nullptr;
  PURB urb = nullptr;
  Op op = Op::data;
  uint8_t endpoint = 0;  // the queue it waits in; 0 is the default pipe
  uint64_t generation = 0;
  bool in = false;
  bool short_ok = false;
  SetupPacket setup{};
  uint8_t* buffer = nullptr;
  ULONG length = 0;
  ULONG done = 0;              // bytes moved so far
  uint8_t target = 0;          // reset / abort: the pipe's endpoint address
  bool fault_checked = false;  // a fault of the endpoint was bound to it
  std::optional<Fault> fault;  // bound and not yet applied
  bool held = false;           // held back by a fault until cancelled or the device leaves
  // It waited for the slots of the transfer before it: it starts in the
  // first free slot, however late the bus thread gets to it.
  bool waited_for_slot = false;
  std::optional<nanoseconds> start_at;
  detail::WatchedUrb watch;  // what watchers are told at its completion
};

struct Outcome {
  enum class Kind { done, nak, again } kind = Kind::done;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  static Outcome ok() { return {}; }
  static Outcome fail(USBD_STATUS u, NTSTATUS s) { return {Kind::done, u, s}; }
};

struct Pipe {
  PipeConfig config;
  uint8_t interval = 0;
  bool halted = false;
};

struct Endpoint {
  uint64_t generation = 0;
  std::deque<std::unique_ptr<Transfer>> queue;
  bool busy = false;         // its head transfer is with the model
  bool parked = false;       // NAKed: waits for a wake (or wake_at)
  bool woken = false;        // a wake came while busy
  bool cancel_wait = false;  // the head is being cancelled
  std::optional<nanoseconds> wake_at;
  // Cancelled, out of the queue, to be completed by the bus thread.
  std::deque<std::unique_ptr<Transfer>> cancelled;
  std::deque<Fault> faults;
};

struct Completion {
  PIRP irp;
  PURB urb;
  Op op;
  USBD_STATUS usbd;
  NTSTATUS status;
  ULONG length;
  detail::WatchedUrb watch;
};

struct Device;

class PortImpl final : public Port {
 public:
  explicit PortImpl(std::weak_ptr<Device> device) : device_(std::move(device)) {}
  void wake(uint8_t endpoint_address) override;
  void wake_at(uint8_t endpoint_address, nanoseconds when) override;

 private:
  std::weak_ptr<Device> device_;
};

struct Device {
  uint64_t id = 0;
  std::shared_ptr<DeviceModel> model;
  PlugOptions options;
  PDEVICE_OBJECT pdo = nullptr;
  std::shared_ptr<DeviceNode> node;
  std::shared_ptr<PortImpl> port;
  std::mutex callback_mutex;

  // Opaque handles handed to the client: addresses of these tokens.
  uint8_t device_token = 0;
  uint8_t configuration_token = 0;
  std::array<uint8_t, 256> interface_tokens{};

  // Guarded by the bus lock.
  bool plugged = true;
  bool unplug_told = false;
  bool unplug_requested = false;
  bool started = false;
  bool surprise_removed = false;
  bool removed = false;
  DEVICE_POWER_STATE power = PowerDeviceD0;
  std::optional<uint8_t> configuration;
  std::map<uint8_t, std::unique_ptr<Pipe>> pipes;  // by endpoint address
  // Pipes of replaced configurations, kept so that no later pipe gets the
  // address (the handle) of an old one.
  std::vector<std::unique_ptr<Pipe>> retired_pipes;
  std::map<uint8_t, Endpoint> endpoints;  // 0: the default pipe
  uint64_t next_generation = 1;
  std::set<PURB> urbs_in_flight;
  DeviceInfo counters;
  detail::Schedule schedule;  // bus timing (fixed at plug, slots under the bus lock)
};

// Runs the model's callbacks for one device, one at a time.
template <class Fn>
auto with_model(Device& dev, Fn&& fn) {
  std::lock_guard lock(dev.callback_mutex);
  return fn(*dev.model);
}

// One seeded choice (splitmix64); none while unseeded.
bool coin(std::optional<uint64_t>& state) {
  if (!state) return false;
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return ((z ^ (z >> 31)) & 1) != 0;
}

class Bus {
 public:
  ~Bus() {
    stop_thread();
    // At exit the I/O manager may be gone already: the nodes of devices never
    // reset are kept, not destroyed.
    static auto* kept = new std::vector<std::shared_ptr<DeviceNode>>;
    for (auto& [pdo, dev] : devices) kept->push_back(std::move(dev->node));
  }

  std::mutex m;
  std::condition_variable work;     // for the bus thread
  std::condition_variable changed;  // queues changed (wait_pending)
  std::map<PDEVICE_OBJECT, std::shared_ptr<Device>> devices;
  uint64_t next_id = 1;
  std::optional<uint64_t> rng;
  std::optional<uint64_t> late_rng;

  void ensure_thread() {
    std::lock_guard lock(thread_mutex_);
    if (thread_.joinable()) return;
    {
      std::lock_guard l(m);
      stopping_ = false;
    }
    thread_ = std::thread([this] {
      emu::name_this_thread("emu-usb-bus");
      run();
    });
  }

  void stop_thread() {
    std::lock_guard lock(thread_mutex_);
    if (!thread_.joinable()) return;
    {
      std::lock_guard l(m);
      stopping_ = true;
    }
    work.notify_all();
    thread_.join();
  }

  bool next_inline() { return coin(rng); }
  bool next_late() { return coin(late_rng); }

  // Whether the bus thread must be woken for a transfer that can start at
  // `start` (nothing: at once): not when it is awake, since it looks at
  // every queue again before it sleeps, nor when it sleeps until then
  // anyway.  Bus lock held.
  bool must_wake_for(std::optional<nanoseconds> start) const {
    return sleeps_until_ && (!start || *start < *sleeps_until_);
  }

 private:
  void run();

  std::mutex thread_mutex_;
  std::thread thread_;
  bool stopping_ = false;
  std::optional<nanoseconds> sleeps_until_;  // the bus thread's wait; nothing while it runs
};

Bus& bus() {
  static Bus instance;
  return instance;
}

std::shared_ptr<Device> find_device(PDEVICE_OBJECT pdo) {
  auto it = bus().devices.find(pdo);
  return it == bus().devices.end() ? nullptr : it->second;
}

// ---- Completion --------------------------------------------------------------

void set_transfer_length(PURB urb, Op op, ULONG length) {
  switch (op) {
    case Op::data:
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = length;
      break;
    case Op::descriptor:
      urb->UrbControlDescriptorRequest.TransferBufferLength = length;
      break;
    case Op::control:
      if (urb->UrbHeader.Function == URB_FUNCTION_CONTROL_TRANSFER) {
        urb->UrbControlTransfer.TransferBufferLength = length;
      } else {
        urb->UrbControlVendorClassRequest.TransferBufferLength = length;
      }
      break;
    default:
      break;
  }
}

void complete(const Completion& c, bool raise_to_dispatch) {
  detail::report_complete(c.watch, c.usbd, c.status, c.length);
  c.urb->UrbHeader.Status = c.usbd;
  set_transfer_length(c.urb, c.op, c.length);
  c.irp->IoStatus.Status = c.status;
  c.irp->IoStatus.Information = 0;
  if (raise_to_dispatch) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(c.irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
  } else {
    IoCompleteRequest(c.irp, IO_NO_INCREMENT);
  }
}

// Takes the transfer out of the bookkeeping and records its completion.
// Bus lock held.
void finish(Device& dev, Transfer& t, USBD_STATUS usbd, NTSTATUS status, std::vector<Completion>& out) {
  dev.urbs_in_flight.erase(t.urb);
  if (usbd == USBD_STATUS_CANCELED) ++dev.counters.cancelled;
  out.push_back({t.irp, t.urb, t.op, usbd, status, t.done, t.watch});
}

// Completes the transfers the cancel routine left to the bus.  Bus lock held.
void finish_cancelled(Device& dev, Endpoint& ep, std::vector<Completion>& out) {
  for (auto& t : ep.cancelled) finish(dev, *t, USBD_STATUS_CANCELED, STATUS_CANCELLED, out);
  dev.counters.cancelled_late += ep.cancelled.size();
  ep.cancelled.clear();
}

// Faults apply to an endpoint's transfers in the order they reach it: a
// transfer takes the first waiting fault when it is submitted (or, if it was
// queued already, when the fault is injected), so a transfer cancelled before
// the bus reached it takes its fault with it.  Bus lock held.
bool can_fault(const Transfer& t) { return t.op != Op::reset_pipe && t.op != Op::abort_pipe; }
void bind_fault(Endpoint& ep, Transfer& t) {
  if (t.fault_checked || ep.faults.empty() || !can_fault(t)) return;
  t.fault_checked = true;
  t.fault = ep.faults.front();
  if (ep.faults.front().count > 0 && --ep.faults.front().count == 0) ep.faults.pop_front();
}

VOID NTAPI cancel_routine(PDEVICE_OBJECT pdo, PIRP irp);

// IoCancelIrp sets the flag from another thread, without our lock.
bool cancel_requested(PIRP irp) { return __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != FALSE; }

// Puts a transfer back at the head of its queue with the cancel routine
// armed; if the packet was cancelled meanwhile, finishes it as cancelled.
// Bus lock held.
void requeue_front(Device& dev, Endpoint& ep, std::unique_ptr<Transfer> t, std::vector<Completion>& out) {
  PIRP irp = t->irp;
  ep.queue.push_front(std::move(t));
  (void)IoSetCancelRoutine(irp, cancel_routine);
  if (cancel_requested(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    std::unique_ptr<Transfer> back = std::move(ep.queue.front());
    ep.queue.pop_front();
    finish(dev, *back, USBD_STATUS_CANCELED, STATUS_CANCELLED, out);
  }
}

// Fails every queued transfer of the device that can still be taken (the
// others are being cancelled).  Bus lock held.
void fail_queued(Device& dev, USBD_STATUS usbd, NTSTATUS status, std::vector<Completion>& out,
                 std::optional<uint8_t> only_endpoint = std::nullopt) {
  for (auto& [address, ep] : dev.endpoints) {
    if (only_endpoint && address != *only_endpoint) continue;
    for (auto it = ep.queue.begin(); it != ep.queue.end();) {
      if (IoSetCancelRoutine((*it)->irp, nullptr) == nullptr) {
        ++it;  // its cancel routine is on the way
        continue;
      }
      finish(dev, **it, usbd, status, out);
      it = ep.queue.erase(it);
    }
    finish_cancelled(dev, ep, out);
    ep.parked = false;
    ep.wake_at.reset();
  }
  bus().changed.notify_all();
}

void complete_all(std::vector<Completion>& list, bool raise) {
  for (const Completion& c : list) complete(c, raise);
  list.clear();
}

// ---- Processing one transfer --------------------------------------------------

// Gives a timed device's transfer its packet slots: from the first free one
// if it waited for them, else from now (slots nobody used are gone).
void charge_slots(Device& dev, Transfer& t, uint64_t packets) {
  detail::charge(dev.schedule, t.waited_for_slot ? nanoseconds(0) : emu::clock::now(), packets);
  t.waited_for_slot = false;
}

// A timed device's bulk IN transfer after the model moved `got` more
// bytes: ends on a full buffer, a short packet or a zero-length packet, and
// charges its packets to the schedule.  Nothing when it stays open (the
// device sent a multiple of the packet size and no zero-length packet).
std::optional<Outcome> timed_in(Device& dev, Transfer& t, const Pipe* pipe, ULONG got) {
  const uint16_t max_packet = pipe ? pipe->config.max_packet : 64;
  const bool bulk = pipe && (pipe->config.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK;
  const bool full = t.done == t.length;
  const bool short_packet = got == 0 || got % max_packet != 0;
  const bool zlp = !full && !short_packet && dev.schedule.zero_length_packets;
  if (bulk) {
    uint64_t packets = got == 0 ? 1 : detail::packet_count(got, max_packet) + (zlp ? 1 : 0);
    charge_slots(dev, t, packets);
  }
  if (!full && !short_packet && !zlp) return std::nullopt;
  if (t.done < t.length && !t.short_ok) {
    if (auto it = dev.pipes.find(t.endpoint); it != dev.pipes.end()) it->second->halted = true;
    return Outcome::fail(USBD_STATUS_DATA_UNDERRUN, STATUS_UNSUCCESSFUL);
  }
  return Outcome::ok();
}

Outcome run_data(Device& dev, Transfer& t, std::unique_lock<std::mutex>& lk) {
  // An IN transfer kept open on a timed bus goes on where it stopped.
  const ULONG offset = t.done;
  std::span<uint8_t> buffer(t.buffer + offset, t.length - offset);
  lk.unlock();
  const Reply r = with_model(dev, [&](DeviceModel& m) { return m.handle_data(t.endpoint, buffer); });
  lk.lock();
  auto pipe_it = dev.pipes.find(t.endpoint);
  Pipe* pipe = pipe_it == dev.pipes.end() ? nullptr : pipe_it->second.get();
  switch (r.kind) {
    case Reply::Kind::data:
      if (t.in && detail::timed(dev.schedule)) {
        const auto got = static_cast<ULONG>(std::min<std::size_t>(r.length, t.length - t.done));
        t.done += got;
        if (auto end = timed_in(dev, t, pipe, got)) return *end;
        return {Outcome::Kind::nak};  // held open until the device's next packet
      }
      if (t.in) {
        t.done = static_cast<ULONG>(std::min<std::size_t>(r.length, t.length));
        if (t.done < t.length && !t.short_ok) {
          // A short packet the client did not allow halts the pipe.
          if (pipe) pipe->halted = true;
          return Outcome::fail(USBD_STATUS_DATA_UNDERRUN, STATUS_UNSUCCESSFUL);
        }
        return Outcome::ok();
      } else {
        const auto taken = static_cast<ULONG>(std::min<std::size_t>(r.length, t.length - t.done));
        t.done += taken;
        if (detail::timed(dev.schedule) && pipe &&
            (pipe->config.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK) {
          charge_slots(dev, t, detail::packet_count(taken, pipe->config.max_packet));
        }
        if (t.done < t.length) return {taken == 0 ? Outcome::Kind::nak : Outcome::Kind::again};
        return Outcome::ok();
      }
    case Reply::Kind::nak:
      t.waited_for_slot = false;  // nothing to send: the slot went unused
      return {Outcome::Kind::nak};
    case Reply::Kind::stall:
      if (pipe) pipe->halted = true;
      return Outcome::fail(USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    case Reply::Kind::error:
      if (pipe && USBD_HALTED(r.usbd_status)) pipe->halted = true;
      return Outcome::fail(r.usbd_status, r.status);
  }
  return Outcome::ok();
}

Outcome run_control(Device& dev, Transfer& t, std::unique_lock<std::mutex>& lk) {
  std::span<uint8_t> data(t.buffer, t.length);
  lk.unlock();
  const Reply r = with_model(dev, [&](DeviceModel& m) { return m.handle_control(t.setup, data); });
  lk.lock();
  switch (r.kind) {
    case Reply::Kind::data:
      t.done = t.in ? static_cast<ULONG>(std::min<std::size_t>(r.length, t.length)) : t.length;
      return Outcome::ok();
    case Reply::Kind::nak:
      return {Outcome::Kind::nak};
    case Reply::Kind::stall:
      // The default pipe clears its own stall at the next setup packet.
      return Outcome::fail(USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    case Reply::Kind::error:
      return Outcome::fail(r.usbd_status, r.status);
  }
  return Outcome::ok();
}

Outcome run_descriptor(Device& dev, Transfer& t, std::unique_lock<std::mutex>& lk) {
  const auto& req = t.urb->UrbControlDescriptorRequest;
  const UCHAR type = req.DescriptorType;
  const UCHAR index = req.Index;
  const USHORT language = req.LanguageId;
  lk.unlock();
  Bytes bytes = with_model(dev, [&](DeviceModel& m) {
    std::span<const uint8_t> s;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE && index == 0) {
      s = m.device_descriptor();
    } else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0) {
      s = m.configuration_descriptor();
    } else if (type == USB_STRING_DESCRIPTOR_TYPE) {
      s = m.string_descriptor(index, language);
    }
    return Bytes(s.begin(), s.end());
  });
  lk.lock();
  if (bytes.empty()) return Outcome::fail(USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
  t.done = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), t.length));
  if (t.done > 0) memcpy(t.buffer, bytes.data(), t.done);
  return Outcome::ok();
}

// Aborts the transfers of every data endpoint (a new configuration replaces
// the pipes).  Bus lock held.
void drop_data_endpoints(Device& dev, std::vector<Completion>& out) {
  for (auto it = dev.endpoints.begin(); it != dev.endpoints.end();) {
    if (it->first == 0) {
      ++it;
      continue;
    }
    Endpoint& ep = it->second;
    bool keep = false;
    for (auto q = ep.queue.begin(); q != ep.queue.end();) {
      if (IoSetCancelRoutine((*q)->irp, nullptr) == nullptr) {
        keep = true;  // its cancel routine still has to find it
        ++q;
        continue;
      }
      finish(dev, **q, USBD_STATUS_CANCELED, STATUS_CANCELLED, out);
      q = ep.queue.erase(q);
    }
    finish_cancelled(dev, ep, out);
    if (keep || ep.busy) {
      ep.generation = 0;  // retired: what comes back from the model is cancelled
      ++it;
    } else {
      it = dev.endpoints.erase(it);
    }
  }
  for (auto& [address, pipe] : dev.pipes) dev.retired_pipes.push_back(std::move(pipe));
  dev.pipes.clear();
  dev.configuration.reset();
}

Outcome run_select_configuration(Device& dev, Transfer& t, std::unique_lock<std::mutex>& lk,
                                 std::vector<Completion>& out) {
  auto& sc = t.urb->UrbSelectConfiguration;
  const USHORT urb_length = t.urb->UrbHeader.Length;
  const auto invalid = Outcome::fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  const auto bad_descriptor =
      Outcome::fail(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR, STATUS_DEVICE_DATA_ERROR);

  if (sc.ConfigurationDescriptor == nullptr) {
    // Back to the unconfigured state.
    lk.unlock();
    with_model(dev, [&](DeviceModel& m) {
      return m.handle_control({0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0}, {});
    });
    lk.lock();
    drop_data_endpoints(dev, out);
    sc.ConfigurationHandle = nullptr;
    return Outcome::ok();
  }

  lk.unlock();
  const auto config = with_model(
      dev, [](DeviceModel& m) { return detail::parse_configuration(m.configuration_descriptor()); });
  lk.lock();
  if (!config) return bad_descriptor;
  if (sc.ConfigurationDescriptor->bConfigurationValue != config->value) return invalid;
  if (config->interfaces.size() < config->declared_interfaces) return bad_descriptor;

  // Every interface of the configuration must be in the request, each
  // information record long enough for its pipes.
  struct Selected {
    PUSBD_INTERFACE_INFORMATION info;
    const detail::InterfaceDesc* desc;
  };
  std::vector<Selected> selected;
  std::set<uint8_t> numbers;
  std::set<uint8_t> addresses;
  const size_t info_header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  size_t offset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (unsigned k = 0; k < config->declared_interfaces; ++k) {
    if (offset + info_header > urb_length) return invalid;
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(t.urb) + offset);
    if (info->Length < info_header || offset + info->Length > urb_length) return invalid;
    const detail::InterfaceDesc* desc =
        detail::find_interface(*config, info->InterfaceNumber, info->AlternateSetting);
    if (desc == nullptr) return Outcome::fail(USBD_STATUS_INTERFACE_NOT_FOUND, STATUS_INVALID_PARAMETER);
    if (!numbers.insert(desc->number).second) return invalid;
    if (desc->endpoints.size() < desc->declared_endpoints) return bad_descriptor;
    if (info->Length < GET_USBD_INTERFACE_SIZE(desc->declared_endpoints)) {
      return Outcome::fail(USBD_STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER);
    }
    for (unsigned e = 0; e < desc->declared_endpoints; ++e) {
      const uint8_t address = desc->endpoints[e].address;
      if ((address & USB_ENDPOINT_ADDRESS_MASK) == 0 || !addresses.insert(address).second)
        return bad_descriptor;
    }
    selected.push_back({info, desc});
    offset += info->Length;
  }

  lk.unlock();
  const Reply r = with_model(dev, [&](DeviceModel& m) {
    return m.handle_control({0x00, USB_REQUEST_SET_CONFIGURATION, config->value, 0, 0}, {});
  });
  lk.lock();
  if (r.kind != Reply::Kind::data) return Outcome::fail(USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL);
  if (!dev.plugged) return Outcome::fail(USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);

  drop_data_endpoints(dev, out);
  std::vector<PipeConfig> pipes;
  for (const Selected& s : selected) {
    PUSBD_INTERFACE_INFORMATION info = s.info;
    info->Class = s.desc->cls;
    info->SubClass = s.desc->subclass;
    info->Protocol = s.desc->protocol;
    info->Reserved = 0;
    info->InterfaceHandle = &dev.interface_tokens[s.desc->number];
    info->NumberOfPipes = s.desc->declared_endpoints;
    for (unsigned e = 0; e < s.desc->declared_endpoints; ++e) {
      const detail::EndpointDesc& d = s.desc->endpoints[e];
      USBD_PIPE_INFORMATION& p = info->Pipes[e];
      auto pipe = std::make_unique<Pipe>();
      pipe->config = {s.desc->number, d.address, d.attributes, d.max_packet, p.MaximumTransferSize};
      pipe->interval = d.interval;
      p.MaximumPacketSize = d.max_packet;
      p.EndpointAddress = d.address;
      p.Interval = d.interval;
      p.PipeType = static_cast<USBD_PIPE_TYPE>(d.attributes & USB_ENDPOINT_TYPE_MASK);
      p.PipeHandle = pipe.get();
      pipes.push_back(pipe->config);
      dev.pipes[d.address] = std::move(pipe);
      Endpoint& ep = dev.endpoints[d.address];
      ep.generation = dev.next_generation++;
    }
  }
  sc.ConfigurationHandle = &dev.configuration_token;
  dev.configuration = config->value;
  lk.unlock();
  with_model(dev, [&](DeviceModel& m) {
    m.on_configured(pipes);
    return 0;
  });
  lk.lock();
  return Outcome::ok();
}

Outcome run_reset_pipe(Device& dev, Transfer& t, std::unique_lock<std::mutex>& lk) {
  auto it = dev.pipes.find(t.target);
  if (it == dev.pipes.end()) return Outcome::fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  auto ep = dev.endpoints.find(t.target);
  if (ep != dev.endpoints.end() && (ep->second.busy || !ep->second.queue.empty())) {
    // Transfers must be drained (aborted) before their pipe is reset.
    return Outcome::fail(USBD_STATUS_ERROR_BUSY, STATUS_DEVICE_BUSY);
  }
  it->second->halted = false;
  lk.unlock();
  with_model(dev, [&](DeviceModel& m) {
    m.on_reset_pipe(t.target);
    return 0;
  });
  lk.lock();
  return Outcome::ok();
}

Outcome run_abort_pipe(Device& dev, Transfer& t, std::vector<Completion>& out) {
  if (dev.pipes.find(t.target) == dev.pipes.end()) {
    return Outcome::fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  }
  fail_queued(dev, USBD_STATUS_CANCELED, STATUS_CANCELLED, out, t.target);
  return Outcome::ok();
}

// Runs one transfer (taken out of its queue, its endpoint marked busy).
// Bus lock held on entry and exit; released around model callbacks.
Outcome run(Device& dev, Transfer& t, std::unique_lock<std::mutex>& lk, std::vector<Completion>& out) {
  switch (t.op) {
    case Op::data:
      return run_data(dev, t, lk);
    case Op::control:
      return run_control(dev, t, lk);
    case Op::descriptor:
      return run_descriptor(dev, t, lk);
    case Op::select_configuration:
      return run_select_configuration(dev, t, lk, out);
    case Op::reset_pipe:
      return run_reset_pipe(dev, t, lk);
    case Op::abort_pipe:
      return run_abort_pipe(dev, t, out);
  }
  return Outcome::ok();
}

// What stops a transfer before the device sees it.  Bus lock held.
std::optional<Outcome> gate(Device& dev, const Transfer& t) {
  if (!dev.plugged) return Outcome::fail(USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
  if (dev.power != PowerDeviceD0) return Outcome::fail(powered_down_usbd, dev.options.powered_down_status);
  if (t.op == Op::data) {
    auto it = dev.pipes.find(t.endpoint);
    if (it == dev.pipes.end())
      return Outcome::fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    if (it->second->halted) return Outcome::fail(USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL);
  }
  return std::nullopt;
}

// After run(): completes, or puts the transfer back.  Bus lock held.
void settle(Device& dev, uint8_t address, uint64_t generation, std::unique_ptr<Transfer> t, const Outcome& o,
            std::vector<Completion>& out) {
  auto it = dev.endpoints.find(address);
  if (it == dev.endpoints.end() || it->second.generation != generation) {
    // The pipe went away under the transfer (new configuration).
    finish(dev, *t, USBD_STATUS_CANCELED, STATUS_CANCELLED, out);
    if (it != dev.endpoints.end()) {
      it->second.busy = false;  // the busy mark was this transfer's
      if (it->second.generation == 0 && address != 0 && it->second.queue.empty()) dev.endpoints.erase(it);
    }
    bus().changed.notify_all();
    return;
  }
  Endpoint& ep = it->second;
  ep.busy = false;
  if (o.kind == Outcome::Kind::done) {
    finish(dev, *t, o.usbd, o.status, out);
  } else if (!dev.plugged) {
    finish(dev, *t, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, out);
  } else if (dev.power != PowerDeviceD0 && dev.options.fail_pending_on_power_down) {
    // The device left D0 while it had this transfer: the power-down failed
    // the queue without it, and a queue parked below D0 waits for good.
    finish(dev, *t, powered_down_usbd, dev.options.powered_down_status, out);
  } else {
    if (o.kind == Outcome::Kind::nak && !ep.woken) ep.parked = true;
    requeue_front(dev, ep, std::move(t), out);
  }
  ep.woken = false;
  bus().changed.notify_all();
}

// When a data transfer of a timed device gets its turn, if not now.  Bus
// lock held.
std::optional<nanoseconds> scheduled_start(const Device& dev, const Transfer& t, nanoseconds now) {
  if (t.op != Op::data || !detail::timed(dev.schedule)) return std::nullopt;
  auto it = dev.pipes.find(t.endpoint);
  if (it == dev.pipes.end()) return std::nullopt;
  const Pipe& pipe = *it->second;
  if ((pipe.config.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_INTERRUPT) {
    // Woken for the poll it waited for: the bus thread is always a little
    // late, and the next poll after "now" would park it again for good.
    if (t.waited_for_slot) return std::nullopt;
    const nanoseconds poll = detail::next_poll(dev.schedule.speed, pipe.interval, now);
    return poll > now ? std::optional(poll) : std::nullopt;
  }
  return detail::bulk_start(dev.schedule, now);
}

// Services the head transfer of an endpoint.  Bus lock held on entry and
// exit.
void service(Device& dev, uint8_t address, std::unique_lock<std::mutex>& lk, std::vector<Completion>& out) {
  auto it = dev.endpoints.find(address);
  if (it == dev.endpoints.end()) return;
  Endpoint& ep = it->second;
  Transfer* head = ep.queue.front().get();
  if (IoSetCancelRoutine(head->irp, nullptr) == nullptr) {
    ep.cancel_wait = true;  // the cancel routine takes it out and restarts the endpoint
    return;
  }
  auto take = [&]() {
    std::unique_ptr<Transfer> t = std::move(ep.queue.front());
    ep.queue.pop_front();
    bus().changed.notify_all();
    return t;
  };
  if (auto o = gate(dev, *head)) {
    auto t = take();
    finish(dev, *t, o->usbd, o->status, out);
    return;
  }
  const nanoseconds now = emu::clock::now();
  // One that was with the device when its fault was injected takes it now.
  bind_fault(ep, *head);
  if (head->fault) {
    const Fault f = *head->fault;
    head->fault.reset();
    switch (f.kind) {
      case Fault::Kind::stall: {
        auto t = take();
        if (auto p = dev.pipes.find(address); p != dev.pipes.end()) p->second->halted = true;
        finish(dev, *t, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, out);
        return;
      }
      case Fault::Kind::error: {
        auto t = take();
        finish(dev, *t, f.usbd_status, f.status, out);
        return;
      }
      case Fault::Kind::never_complete:
        head->held = true;
        break;
      case Fault::Kind::unplug:
        head->held = true;
        dev.unplug_requested = true;
        bus().work.notify_all();
        break;
      case Fault::Kind::delay:
        head->start_at = now + f.delay;
        break;
    }
  }
  if (head->held || (head->start_at && now < *head->start_at)) {
    if (head->start_at && !head->held) {
      ep.parked = true;
      ep.wake_at = ep.wake_at ? std::min(*ep.wake_at, *head->start_at) : *head->start_at;
    }
    requeue_front(dev, ep, take(), out);
    return;
  }
  if (auto when = scheduled_start(dev, *head, now)) {
    // Not its turn on the bus yet: a free bulk slot, the next poll.
    head->waited_for_slot = true;
    ep.parked = true;
    ep.wake_at = ep.wake_at ? std::min(*ep.wake_at, *when) : *when;
    requeue_front(dev, ep, take(), out);
    return;
  }
  auto t = take();
  ep.busy = true;
  ep.woken = false;
  const uint64_t generation = ep.generation;
  const Outcome o = run(dev, *t, lk, out);
  settle(dev, address, generation, std::move(t), o, out);
}

bool runnable(const Endpoint& ep) {
  return !ep.busy && !ep.parked && !ep.cancel_wait && !ep.queue.empty() && !ep.queue.front()->held;
}

// Whether the endpoint holds a transfer not yet completed.
std::size_t pending_on(const Endpoint& ep) {
  return ep.queue.size() + ep.cancelled.size() + (ep.busy ? 1 : 0);
}

// ---- The bus thread -------------------------------------------------------------

void do_unplug(Device& dev, std::vector<Completion>& out) {
  dev.plugged = false;
  fail_queued(dev, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, out);
}

void tell_unplugged(Device& dev) {
  with_model(dev, [](DeviceModel& m) {
    m.on_unplug();
    m.attach(nullptr);
    return 0;
  });
}

void Bus::run() {
  // A high-speed slot lasts under 10 us: the thread's timed waits must not
  // be stretched by the default 50 us timer slack.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::vector<Completion> out;
  std::unique_lock lk(m);
  while (!stopping_) {
    bool did = false;
    std::optional<nanoseconds> next_due;
    std::vector<std::shared_ptr<Device>> snapshot;
    for (auto& [pdo, dev] : devices) snapshot.push_back(dev);
    for (auto& dev : snapshot) {
      if (dev->unplug_requested) {
        dev->unplug_requested = false;
        do_unplug(*dev, out);
        const bool tell = !dev->unplug_told;
        dev->unplug_told = true;
        lk.unlock();
        complete_all(out, true);
        if (tell) tell_unplugged(*dev);
        lk.lock();
        did = true;
      }
      std::vector<uint8_t> addresses;
      for (auto& [address, ep] : dev->endpoints) addresses.push_back(address);
      for (uint8_t address : addresses) {
        auto it = dev->endpoints.find(address);
        if (it == dev->endpoints.end()) continue;
        Endpoint& ep = it->second;
        if (!ep.cancelled.empty()) {
          // Completed only now, after the cancel routine has returned: the
          // late completion a client must be ready for.
          finish_cancelled(*dev, ep, out);
          lk.unlock();
          complete_all(out, true);
          lk.lock();
          bus().changed.notify_all();
          did = true;
          continue;
        }
        if (ep.parked && ep.wake_at && emu::clock::now() >= *ep.wake_at) {
          ep.parked = false;
          ep.wake_at.reset();
        }
        if (runnable(ep)) {
          service(*dev, address, lk, out);
          if (!out.empty()) {
            lk.unlock();
            for (const Completion& c : out) {
              complete(c, true);
            }
            lk.lock();
            dev->counters.completed_on_bus_thread += out.size();
            out.clear();
          }
          did = true;
        } else if (ep.parked && ep.wake_at) {
          next_due = next_due ? std::min(*next_due, *ep.wake_at) : *ep.wake_at;
        }
      }
    }
    if (did) continue;
    const bool frozen = emu::clock::frozen();
    const nanoseconds now = emu::clock::now();
    if (!frozen) {
      // A client that reads or writes a stream submits its next transfer
      // while the bus still carries the last one: wake when the bus is free
      // for it, and that submission need not wake this thread.
      for (auto& dev : snapshot) {
        if (auto free = detail::bulk_start(dev->schedule, now))
          next_due = next_due ? std::min(*next_due, *free) : *free;
      }
    }
    if (next_due) {
      // A frozen clock moves only when a test advances it: look again soon.
      // In real time the wait is exact: a high-speed slot is under 10 us.
      nanoseconds wait = std::chrono::milliseconds(1);
      if (!frozen) {
        wait = std::min<nanoseconds>(*next_due - now, std::chrono::milliseconds(50));
        if (wait <= nanoseconds(0)) continue;
      }
      sleeps_until_ = frozen ? nanoseconds::max() : now + wait;
      work.wait_for(lk, wait);
    } else {
      sleeps_until_ = nanoseconds::max();
      work.wait(lk);
    }
    sleeps_until_.reset();
  }
}

void wake_endpoint(Device& dev, uint8_t address) {
  auto it = dev.endpoints.find(address);
  if (it == dev.endpoints.end()) return;
  Endpoint& ep = it->second;
  ep.parked = false;
  ep.wake_at.reset();
  if (ep.busy) ep.woken = true;
  bus().work.notify_all();
}

void PortImpl::wake(uint8_t endpoint_address) {
  auto dev = device_.lock();
  if (!dev) return;
  std::lock_guard lock(bus().m);
  wake_endpoint(*dev, endpoint_address);
}

void PortImpl::wake_at(uint8_t endpoint_address, nanoseconds when) {
  auto dev = device_.lock();
  if (!dev) return;
  std::lock_guard lock(bus().m);
  auto it = dev->endpoints.find(endpoint_address);
  if (it == dev->endpoints.end()) return;
  Endpoint& ep = it->second;
  ep.wake_at = ep.wake_at ? std::min(*ep.wake_at, when) : when;
  bus().work.notify_all();
}

// ---- Cancellation ---------------------------------------------------------------

VOID NTAPI cancel_routine(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  std::vector<Completion> out;
  {
    std::lock_guard lock(bus().m);
    auto dev = find_device(pdo);
    bool found = false;
    if (dev) {
      for (auto& [address, ep] : dev->endpoints) {
        for (auto it = ep.queue.begin(); it != ep.queue.end(); ++it) {
          if ((*it)->irp != irp) continue;
          // A head held back (NAKed, or delayed by a fault) parked its
          // endpoint; the transfers behind it are offered again.
          if (it == ep.queue.begin()) {
            ep.parked = false;
            ep.wake_at.reset();
          }
          if (bus().next_late()) {
            ep.cancelled.push_back(std::move(*it));
          } else {
            finish(*dev, **it, USBD_STATUS_CANCELED, STATUS_CANCELLED, out);
          }
          ep.queue.erase(it);
          ep.cancel_wait = false;
          found = true;
          break;
        }
        if (found) break;
      }
    }
    if (!found) {
      emu::verifier::report("usb-cancel-unknown-irp", "usb bus cancel routine", irp,
                            "the bus's cancel routine ran for a packet it does not hold");
      return;
    }
    bus().work.notify_all();
    bus().changed.notify_all();
  }
  complete_all(out, false);
}

// ---- Submission ------------------------------------------------------------------

uint8_t* transfer_buffer(PVOID buffer, PMDL mdl) {
  if (buffer != nullptr) return static_cast<uint8_t*>(buffer);
  if (mdl == nullptr) return nullptr;
  if (mdl->MappedSystemVa != nullptr) return static_cast<uint8_t*>(mdl->MappedSystemVa);
  return static_cast<uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
}

NTSTATUS complete_now(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status,
                      std::optional<Op> op = std::nullopt) {
  if (urb != nullptr) urb->UrbHeader.Status = usbd;
  if (urb != nullptr && op) set_transfer_length(urb, *op, 0);  // nothing moved
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Reads the URB into a transfer; a malformed one fails at once, as the
// host controller driver fails it before it queues anything.
std::optional<Outcome> build_transfer(Device& dev, PURB urb, Transfer& t) {
  const auto invalid = Outcome::fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  const USHORT function = urb->UrbHeader.Function;
  const USHORT length = urb->UrbHeader.Length;
  t.urb = urb;
  switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      if (length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) return invalid;
      auto& r = urb->UrbControlDescriptorRequest;
      t.op = Op::descriptor;
      t.in = true;
      t.length = r.TransferBufferLength;
      t.buffer = transfer_buffer(r.TransferBuffer, r.TransferBufferMDL);
      if (t.length > 0 && t.buffer == nullptr) return invalid;
      return std::nullopt;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      if (length < offsetof(struct _URB_SELECT_CONFIGURATION, Interface)) return invalid;
      if (urb->UrbSelectConfiguration.ConfigurationDescriptor != nullptr &&
          length < sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_PIPE_INFORMATION)) {
        return invalid;
      }
      t.op = Op::select_configuration;
      return std::nullopt;
    }
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER: {
      if (length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) return invalid;
      auto& r = urb->UrbControlVendorClassRequest;
      const bool vendor = function >= URB_FUNCTION_VENDOR_DEVICE && function <= URB_FUNCTION_VENDOR_ENDPOINT;
      uint8_t recipient = 0;
      switch (function) {
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_VENDOR_INTERFACE:
          recipient = BMREQUEST_TO_INTERFACE;
          break;
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_VENDOR_ENDPOINT:
          recipient = BMREQUEST_TO_ENDPOINT;
          break;
        case URB_FUNCTION_CLASS_OTHER:
        case URB_FUNCTION_VENDOR_OTHER:
          recipient = BMREQUEST_TO_OTHER;
          break;
        default:
          break;
      }
      t.op = Op::control;
      t.in = (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
      t.length = r.TransferBufferLength;
      t.buffer = transfer_buffer(r.TransferBuffer, r.TransferBufferMDL);
      if (t.length > 0 && t.buffer == nullptr) return invalid;
      if (t.length > 0xFFFF) return invalid;
      // The reserved bits (2..4) of bmRequestType are the only ones the
      // client adds; direction, type and recipient come from the function.
      t.setup.bmRequestType =
          static_cast<uint8_t>((t.in ? 0x80 : 0) | ((vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS) << 5) |
                               recipient | (r.RequestTypeReservedBits & 0x1C));
      t.setup.bRequest = r.Request;
      t.setup.wValue = r.Value;
      t.setup.wIndex = r.Index;
      t.setup.wLength = static_cast<uint16_t>(t.length);
      return std::nullopt;
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      if (length < sizeof(struct _URB_CONTROL_TRANSFER)) return invalid;
      auto& r = urb->UrbControlTransfer;
      if (r.PipeHandle != nullptr && !(r.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER)) {
        return Outcome::fail(USBD_STATUS_INVALID_PIPE_HANDLE,
                             STATUS_INVALID_PARAMETER);  // no other control pipe
      }
      t.op = Op::control;
      const uint8_t* s = r.SetupPacket;
      t.setup = {s[0], s[1], static_cast<uint16_t>(s[2] | s[3] << 8), static_cast<uint16_t>(s[4] | s[5] << 8),
                 static_cast<uint16_t>(s[6] | s[7] << 8)};
      t.in = (s[0] & 0x80) != 0;
      t.length = std::min<ULONG>(r.TransferBufferLength, t.setup.wLength);
      t.buffer = transfer_buffer(r.TransferBuffer, r.TransferBufferMDL);
      if (t.length > 0 && t.buffer == nullptr) return invalid;
      return std::nullopt;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
      if (length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) return invalid;
      auto& r = urb->UrbBulkOrInterruptTransfer;
      const Pipe* pipe = nullptr;
      for (auto& [address, p] : dev.pipes) {
        if (p.get() == r.PipeHandle) pipe = p.get();
      }
      if (pipe == nullptr) return Outcome::fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
      const uint8_t type = pipe->config.attributes & USB_ENDPOINT_TYPE_MASK;
      if (type != USB_ENDPOINT_TYPE_BULK && type != USB_ENDPOINT_TYPE_INTERRUPT) return invalid;
      t.op = Op::data;
      t.endpoint = pipe->config.endpoint_address;
      // The pipe, not the flag, gives the direction, as on the host controller.
      t.in = (t.endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0;
      t.short_ok = (r.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
      t.length = r.TransferBufferLength;
      t.buffer = transfer_buffer(r.TransferBuffer, r.TransferBufferMDL);
      if (t.length > 0 && t.buffer == nullptr) return invalid;
      if (t.length > pipe->config.max_transfer_size) return invalid;
      return std::nullopt;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE: {
      if (length < sizeof(struct _URB_PIPE_REQUEST)) return invalid;
      const Pipe* pipe = nullptr;
      for (auto& [address, p] : dev.pipes) {
        if (p.get() == urb->UrbPipeRequest.PipeHandle) pipe = p.get();
      }
      if (pipe == nullptr) return Outcome::fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
      t.op = function == URB_FUNCTION_ABORT_PIPE ? Op::abort_pipe : Op::reset_pipe;
      t.target = pipe->config.endpoint_address;
      return std::nullopt;
    }
    default:
      return Outcome::fail(USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
  }
}

// Tells the watchers of a transfer as the wire would show it; returns what
// its completion report needs.  Bus lock held.
detail::WatchedUrb tell_watchers(const Device& dev, const Transfer& t) {
  detail::WatchedUrb w{t.urb, dev.id, 0, USB_ENDPOINT_TYPE_CONTROL, 0, t.in, t.short_ok, t.buffer};
  std::optional<SetupPacket> setup = t.setup;
  switch (t.op) {
    case Op::data: {
      const Pipe& pipe = *dev.pipes.at(t.endpoint);
      w.endpoint = t.endpoint;
      w.transfer_type = pipe.config.attributes & USB_ENDPOINT_TYPE_MASK;
      w.interval = pipe.interval;
      setup.reset();
      break;
    }
    case Op::descriptor: {
      const auto& r = t.urb->UrbControlDescriptorRequest;
      setup = SetupPacket{0x80, USB_REQUEST_GET_DESCRIPTOR,
                          static_cast<uint16_t>(r.DescriptorType << 8 | r.Index), r.LanguageId,
                          static_cast<uint16_t>(std::min<ULONG>(t.length, 0xFFFF))};
      break;
    }
    case Op::select_configuration: {
      const auto* c = t.urb->UrbSelectConfiguration.ConfigurationDescriptor;
      setup = SetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION,
                          static_cast<uint16_t>(c ? c->bConfigurationValue : 0), 0, 0};
      w.buffer = nullptr;
      break;
    }
    case Op::reset_pipe:
      setup = SetupPacket{0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, t.target, 0};
      w.buffer = nullptr;
      break;
    case Op::control:
      break;
    case Op::abort_pipe:
      return {};  // nothing on the bus
  }
  if (setup && setup->device_to_host()) w.endpoint = 0x80;
  w.in = setup ? setup->device_to_host() : t.in;
  detail::report_submit(w, setup, w.buffer != nullptr ? t.length : 0);
  return w;
}

NTSTATUS submit_urb(Device& dev, PIRP irp, PURB urb) {
  Bus& b = bus();
  if (urb == nullptr) return complete_now(irp, nullptr, 0, STATUS_INVALID_PARAMETER);
  std::unique_lock lk(b.m);
  ++dev.counters.urbs_by_function[urb->UrbHeader.Function];
  urb->UrbHeader.UsbdDeviceHandle = &dev.device_token;
  if (dev.urbs_in_flight.count(urb) != 0) {
    lk.unlock();
    emu::verifier::report("usb-urb-in-flight", "IOCTL_INTERNAL_USB_SUBMIT_URB", urb,
                          "a URB was submitted again while the bus still holds it");
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  auto t = std::make_unique<Transfer>();
  t->irp = irp;
  if (auto fail = build_transfer(dev, urb, *t)) {
    lk.unlock();
    return complete_now(irp, urb, fail->usbd, fail->status);
  }
  if (detail::watched()) t->watch = tell_watchers(dev, *t);
  if (auto fail = gate(dev, *t)) {
    lk.unlock();
    detail::report_complete(t->watch, fail->usbd, fail->status, 0);
    return complete_now(irp, urb, fail->usbd, fail->status, t->op);
  }
  const uint8_t queue = t->op == Op::data ? t->endpoint : 0;
  t->endpoint = queue;
  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  dev.urbs_in_flight.insert(urb);
  Endpoint& ep = dev.endpoints[queue];
  t->generation = ep.generation;
  std::vector<Completion> out;

  // A timed device's transfer that finds the endpoint idle and its slot
  // free starts at once, in the submitter's thread, as the host controller
  // would take it in the slot under way; others go to the bus thread.
  bind_fault(ep, *t);
  const bool idle = ep.queue.empty() && !ep.busy && !ep.parked && !t->fault;
  const bool timed_data = detail::timed(dev.schedule) && t->op == Op::data && !emu::clock::frozen();
  const std::optional<nanoseconds> start =
      timed_data ? scheduled_start(dev, *t, emu::clock::now()) : std::nullopt;
  const bool go_inline = idle && (detail::timed(dev.schedule) ? timed_data && !start : b.next_inline());
  // Queued behind nothing for a slot the bus thread wakes for anyway.
  const bool wake_bus = !(idle && timed_data && start && !ep.cancel_wait) || b.must_wake_for(start);
  if (go_inline) {
    // Done inside the submission, as a stack may do when the device answers
    // at once; a NAK still pends.
    ep.busy = true;
    ep.woken = false;
    const uint64_t generation = ep.generation;
    const Outcome o = run(dev, *t, lk, out);
    auto it = dev.endpoints.find(queue);
    const bool same = it != dev.endpoints.end() && it->second.generation == generation;
    if (same) it->second.busy = false;
    if (o.kind == Outcome::Kind::done || !same || !dev.plugged) {
      USBD_STATUS usbd = o.usbd;
      NTSTATUS status = o.status;
      if (!same) {
        usbd = USBD_STATUS_CANCELED;
        status = STATUS_CANCELLED;
      } else if (o.kind != Outcome::Kind::done) {
        usbd = USBD_STATUS_DEVICE_GONE;
        status = STATUS_NO_SUCH_DEVICE;
      }
      finish(dev, *t, usbd, status, out);
      ++dev.counters.completed_inline;
      const Completion mine = out.back();
      out.pop_back();
      lk.unlock();
      complete_all(out, false);
      complete(mine, false);
      return status;
    }
    // Not answered yet: it pends ahead of whatever was submitted meanwhile.
    if (o.kind == Outcome::Kind::nak && !it->second.woken) it->second.parked = true;
    it->second.woken = false;
    IoMarkIrpPending(irp);
    requeue_front(dev, it->second, std::move(t), out);
  } else {
    IoMarkIrpPending(irp);
    Endpoint& target = dev.endpoints[queue];
    target.queue.push_back(std::move(t));
    (void)IoSetCancelRoutine(irp, cancel_routine);
    if (cancel_requested(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      auto back = std::move(target.queue.back());
      target.queue.pop_back();
      finish(dev, *back, USBD_STATUS_CANCELED, STATUS_CANCELLED, out);
    }
  }
  if (go_inline || wake_bus) b.work.notify_all();
  b.changed.notify_all();
  lk.unlock();
  complete_all(out, false);
  return STATUS_PENDING;
}

// ---- Dispatch routines of the PDO --------------------------------------------------

NTSTATUS dispatch(const std::weak_ptr<Device>& weak, PDEVICE_OBJECT /*pdo*/, PIRP irp) {
  auto dev = weak.lock();
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (!dev) return complete_now(irp, nullptr, 0, STATUS_NO_SUCH_DEVICE);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return complete_now(irp, nullptr, 0, STATUS_SUCCESS);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      break;
    default:
      return complete_now(irp, nullptr, 0, STATUS_INVALID_DEVICE_REQUEST);
  }
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return submit_urb(*dev, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
      if (status == nullptr) return complete_now(irp, nullptr, 0, STATUS_INVALID_PARAMETER);
      std::unique_lock lk(bus().m);
      *status = dev->plugged ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
      lk.unlock();
      return complete_now(irp, nullptr, 0, STATUS_SUCCESS);
    }
    case IOCTL_INTERNAL_USB_RESET_PORT: {
      std::unique_lock lk(bus().m);
      if (!dev->plugged) {
        lk.unlock();
        return complete_now(irp, nullptr, 0, STATUS_NO_SUCH_DEVICE);
      }
      for (auto& [address, pipe] : dev->pipes) pipe->halted = false;
      lk.unlock();
      return complete_now(irp, nullptr, 0, STATUS_SUCCESS);
    }
    default:
      return complete_now(irp, nullptr, 0, STATUS_NOT_SUPPORTED);
  }
}

void forget(const std::shared_ptr<Device>& dev) {
  std::shared_ptr<DeviceNode> node;
  {
    std::lock_guard lock(bus().m);
    auto it = bus().devices.find(dev->pdo);
    if (it != bus().devices.end() && it->second == dev) bus().devices.erase(it);
    node = std::move(dev->node);
  }
  // The last reference to the node deletes a PDO the stack left behind.
  node.reset();
}

// IRP_MN_QUERY_ID: the identifiers a USB hub reports, as a pool string
// (REG_MULTI_SZ style for the ID lists) that the requester frees.
NTSTATUS query_id(Device& dev, PIRP irp) {
  const std::span<const uint8_t> dd = dev.model->device_descriptor();
  auto at = [&](std::size_t i) -> unsigned { return i < dd.size() ? dd[i] : 0; };
  char vid_pid[64];
  snprintf(vid_pid, sizeof vid_pid, "USB\\VID_%04X&PID_%04X", at(8) | at(9) << 8, at(10) | at(11) << 8);
  std::vector<std::string> ids;
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      ids = {vid_pid};
      break;
    case BusQueryHardwareIDs: {
      char rev[80];
      snprintf(rev, sizeof rev, "%s&REV_%04X", vid_pid, at(12) | at(13) << 8);
      ids = {rev, vid_pid};
      break;
    }
    case BusQueryCompatibleIDs: {
      char a[64], b[64], c[64];
      snprintf(a, sizeof a, "USB\\Class_%02X&SubClass_%02X&Prot_%02X", at(4), at(5), at(6));
      snprintf(b, sizeof b, "USB\\Class_%02X&SubClass_%02X", at(4), at(5));
      snprintf(c, sizeof c, "USB\\Class_%02X", at(4));
      ids = {a, b, c};
      break;
    }
    case BusQueryInstanceID:
      ids = {dev.options.instance_id.empty()
                 ? std::to_string(dev.id)
                 : std::string(dev.options.instance_id.begin(), dev.options.instance_id.end())};
      break;
    default:
      return complete_now(irp, nullptr, 0, irp->IoStatus.Status);
  }
  std::size_t chars = 1;
  for (const auto& id : ids) chars += id.size() + 1;
  auto* text = static_cast<WCHAR*>(
      ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), 'U' | 'S' << 8 | 'B' << 16 | 'D' << 24));
  if (text == nullptr) return complete_now(irp, nullptr, 0, STATUS_INSUFFICIENT_RESOURCES);
  std::size_t k = 0;
  for (const auto& id : ids) {
    for (char ch : id) text[k++] = static_cast<WCHAR>(ch);
    text[k++] = 0;
  }
  text[k] = 0;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(text);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS pnp(const std::weak_ptr<Device>& weak, PDEVICE_OBJECT pdo, PIRP irp) {
  auto dev = weak.lock();
  if (!dev) return pdo_default_pnp(pdo, irp);
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_QUERY_ID) return query_id(*dev, irp);
  std::vector<Completion> out;
  bool tell_unplug = false;
  {
    std::lock_guard lock(bus().m);
    switch (minor) {
      case IRP_MN_START_DEVICE:
        dev->started = true;
        dev->removed = false;
        dev->power = PowerDeviceD0;
        bus().work.notify_all();
        break;
      case IRP_MN_STOP_DEVICE:
        dev->started = false;
        break;
      case IRP_MN_SURPRISE_REMOVAL:
        // Only a device that has left the bus is surprise-removed.
        dev->surprise_removed = true;
        do_unplug(*dev, out);
        tell_unplug = !dev->unplug_told;
        dev->unplug_told = true;
        break;
      case IRP_MN_REMOVE_DEVICE:
        dev->removed = true;
        dev->started = false;
        fail_queued(*dev, dev->plugged ? USBD_STATUS_CANCELED : USBD_STATUS_DEVICE_GONE,
                    dev->plugged ? STATUS_CANCELLED : STATUS_NO_SUCH_DEVICE, out);
        drop_data_endpoints(*dev, out);
        break;
      default:
        break;
    }
  }
  complete_all(out, false);
  if (tell_unplug) tell_unplugged(*dev);
  const NTSTATUS status = pdo_default_pnp(pdo, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    bool gone;
    {
      std::lock_guard lock(bus().m);
      gone = !dev->plugged;
    }
    if (gone) forget(dev);
  }
  return status;
}

NTSTATUS power(const std::weak_ptr<Device>& weak, PDEVICE_OBJECT pdo, PIRP irp) {
  auto dev = weak.lock();
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (dev && stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    std::vector<Completion> out;
    {
      std::lock_guard lock(bus().m);
      dev->power = state;
      if (state != PowerDeviceD0 && dev->options.fail_pending_on_power_down) {
        fail_queued(*dev, powered_down_usbd, dev->options.powered_down_status, out);
      }
      if (state == PowerDeviceD0) {
        for (auto& [address, ep] : dev->endpoints) ep.parked = false;
      }
      bus().work.notify_all();
    }
    complete_all(out, false);
    with_model(*dev, [&](DeviceModel& m) {
      m.on_power(state);
      return 0;
    });
  }
  return pdo_default_power(pdo, irp);
}

// Dropped with the PDO's dispatch routines, whenever the I/O manager lets
// them go: the device cannot be reached any more.
struct PdoLink {
  std::weak_ptr<Device> device;
  ~PdoLink() {
    auto dev = device.lock();
    if (!dev) return;
    std::lock_guard lock(bus().m);
    auto it = bus().devices.find(dev->pdo);
    if (it != bus().devices.end() && it->second == dev) {
      // Queued packets went with the I/O manager's state: forget them unseen.
      for (auto& [address, ep] : dev->endpoints) {
        ep.queue.clear();
        ep.cancelled.clear();
      }
      dev->plugged = false;
      bus().devices.erase(it);
    }
  }
};

std::u16string to_u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

// ---- Public interface ------------------------------------------------------------------

PDEVICE_OBJECT plug(std::shared_ptr<DeviceModel> model, const PlugOptions& options) {
  Bus& b = bus();
  b.ensure_thread();
  auto dev = std::make_shared<Device>();
  dev->model = std::move(model);
  dev->options = options;
  dev->schedule.speed = dev->model->speed();
  dev->schedule.zero_length_packets = dev->model->sends_zero_length_packets();
  dev->endpoints[0].generation = 0;
  {
    std::lock_guard lock(b.m);
    dev->id = b.next_id++;
  }

  const std::span<const uint8_t> dd = dev->model->device_descriptor();
  char ids[64] = "VID_0000&PID_0000";
  if (dd.size() >= 12) {
    snprintf(ids, sizeof ids, "VID_%04X&PID_%04X", dd[8] | dd[9] << 8, dd[10] | dd[11] << 8);
  }

  PdoConfig config;
  config.enumerator = u"USB";
  config.device_id = to_u16(ids);
  config.instance_id = options.instance_id.empty() ? to_u16(std::to_string(dev->id)) : options.instance_id;
  config.name = u"\\Device\\USBPDO-" + to_u16(std::to_string(dev->id));
  DEVICE_CAPABILITIES caps = default_capabilities();
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  caps.DeviceState[PowerSystemSleeping1] = options.sleep_device_state;
  caps.DeviceState[PowerSystemSleeping2] = options.sleep_device_state;
  caps.DeviceState[PowerSystemSleeping3] = options.sleep_device_state;
  caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  caps.DeviceD1 = 0;
  caps.DeviceD2 = options.sleep_device_state == PowerDeviceD2;
  caps.Removable = 1;
  caps.SurpriseRemovalOK = 0;
  caps.Address = static_cast<ULONG>(dev->id);
  caps.UINumber = static_cast<ULONG>(dev->id);
  config.capabilities = caps;

  std::weak_ptr<Device> weak = dev;
  auto link = std::make_shared<PdoLink>();
  link->device = weak;
  config.dispatch = [weak, link](PDEVICE_OBJECT d, PIRP irp) { return dispatch(weak, d, irp); };
  config.pnp = [weak, link](PDEVICE_OBJECT d, PIRP irp) { return pnp(weak, d, irp); };
  config.power = [weak, link](PDEVICE_OBJECT d, PIRP irp) { return power(weak, d, irp); };
  link.reset();

  dev->node = create_pdo(std::move(config));
  dev->pdo = dev->node->pdo();
  dev->port = std::make_shared<PortImpl>(weak);
  {
    std::lock_guard lock(b.m);
    b.devices[dev->pdo] = dev;
  }
  with_model(*dev, [&](DeviceModel& m) {
    m.attach(dev->port);
    return 0;
  });
  return dev->pdo;
}

std::shared_ptr<DeviceNode> node(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(bus().m);
  auto dev = find_device(pdo);
  return dev ? dev->node : nullptr;
}

void unplug(PDEVICE_OBJECT pdo) {
  std::shared_ptr<Device> dev;
  std::vector<Completion> out;
  bool tell = false;
  bool removed = false;
  {
    std::lock_guard lock(bus().m);
    dev = find_device(pdo);
    if (!dev) return;
    do_unplug(*dev, out);
    tell = !dev->unplug_told;
    dev->unplug_told = true;
    removed = dev->removed;
  }
  complete_all(out, false);
  if (tell) tell_unplugged(*dev);
  if (removed) forget(dev);
}

void reset() {
  Bus& b = bus();
  std::vector<std::shared_ptr<Device>> all;
  std::vector<Completion> out;
  {
    std::lock_guard lock(b.m);
    for (auto& [pdo, dev] : b.devices) {
      all.push_back(dev);
      do_unplug(*dev, out);
    }
    b.devices.clear();
    b.rng.reset();
    b.late_rng.reset();
  }
  complete_all(out, false);
  b.stop_thread();
  for (auto& dev : all) {
    if (!dev->unplug_told) {
      dev->unplug_told = true;
      tell_unplugged(*dev);
    }
    dev->node.reset();
  }
}

void set_inline_completion_seed(uint64_t seed) {
  std::lock_guard lock(bus().m);
  bus().rng = seed;
}

void disable_inline_completion() {
  std::lock_guard lock(bus().m);
  bus().rng.reset();
}

void set_late_cancel_seed(uint64_t seed) {
  std::lock_guard lock(bus().m);
  bus().late_rng = seed;
}

void disable_late_cancel() {
  std::lock_guard lock(bus().m);
  bus().late_rng.reset();
}

void inject_fault(PDEVICE_OBJECT pdo, uint8_t endpoint_address, const Fault& fault) {
  std::lock_guard lock(bus().m);
  auto dev = find_device(pdo);
  if (!dev || fault.count == 0) return;
  Endpoint& ep = dev->endpoints[endpoint_address];
  ep.faults.push_back(fault);
  for (auto& t : ep.queue) bind_fault(ep, *t);
  bus().work.notify_all();
}

void clear_faults(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(bus().m);
  auto dev = find_device(pdo);
  if (!dev) return;
  for (auto& [address, ep] : dev->endpoints) ep.faults.clear();
}

DeviceInfo info(PDEVICE_OBJECT pdo) {
  std::lock_guard lock(bus().m);
  auto dev = find_device(pdo);
  if (!dev) return {};
  DeviceInfo i = dev->counters;
  i.plugged = dev->plugged;
  i.started = dev->started;
  i.surprise_removed = dev->surprise_removed;
  i.removed = dev->removed;
  i.power = dev->power;
  i.configuration = dev->configuration;
  i.pipes.clear();
  for (auto& [address, pipe] : dev->pipes) i.pipes.push_back(pipe->config);
  i.device_handle = &dev->device_token;
  i.pending_transfers = 0;
  for (auto& [address, ep] : dev->endpoints) i.pending_transfers += pending_on(ep);
  return i;
}

std::optional<ULONG> selected_max_transfer_size(PDEVICE_OBJECT pdo, uint8_t endpoint_address) {
  std::lock_guard lock(bus().m);
  auto dev = find_device(pdo);
  if (!dev) return std::nullopt;
  auto it = dev->pipes.find(endpoint_address);
  if (it == dev->pipes.end()) return std::nullopt;
  return it->second->config.max_transfer_size;
}

bool wait_pending(PDEVICE_OBJECT pdo, uint8_t endpoint_address, std::size_t count,
                  std::chrono::milliseconds timeout) {
  std::unique_lock lock(bus().m);
  return bus().changed.wait_for(lock, timeout, [&] {
    auto dev = find_device(pdo);
    if (!dev) return false;
    auto it = dev->endpoints.find(endpoint_address);
    if (it == dev->endpoints.end()) return count == 0;
    return pending_on(it->second) == count;
  });
}

}  // namespace emu::usb
