// The bus's transfers: a URB read into a transfer, queued on its endpoint
// (or run at once inside the submission), run against the device model,
// cancelled and completed.  Locking: bus_internal.h.
#include <emu/kernel.h>
#include <emu/verifier.h>

#include <algorithm>

#include "usb/bus_internal.h"
#include "usb/descriptor_set.h"

namespace emu::usb::detail {

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
    // As in the cancel routine: a head that parked its endpoint (a delay,
    // a NAK) no longer holds back the transfers behind it or the next one.
    ep.parked = false;
    ep.wake_at.reset();
  }
}

// Fails every queued transfer of the device that can still be taken (the
// others are being cancelled).  Bus lock held.
void fail_queued(Device& dev, USBD_STATUS usbd, NTSTATUS status, std::vector<Completion>& out,
                 std::optional<uint8_t> only_endpoint) {
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
  let_go_handed(dev, out, only_endpoint, false);
  bus().changed.notify_all();
}

void complete_all(std::vector<Completion>& list, bool raise) {
  for (const Completion& c : list) complete(c, raise);
  list.clear();
}

// ---- Processing one transfer --------------------------------------------------

// Gives a timed device's transfer its packet slots: from the first free one
// if it waited for them, else from when it started (slots nobody used are
// gone); notes when the host may report it.
void charge_slots(Device& dev, Transfer& t, uint64_t packets) {
  const nanoseconds from = t.waited_for_slot ? nanoseconds(0) : t.counted_from.value_or(emu::clock::now());
  t.due = detail::charge(dev.schedule, from, packets);
  t.waited_for_slot = false;
  t.counted_from.reset();
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
      t.counted_from.reset();
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
  let_go_handed(dev, out, std::nullopt, true);
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
  if ((ep != dev.endpoints.end() && (ep->second.busy || !ep->second.queue.empty())) ||
      handed_on(dev, t.target) != 0) {
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
    if (!found && dev) found = cancel_handed(*dev, irp, out);
    if (!found) {
      emu::verifier::report(emu::verifier::Rule::usb_cancel_unknown_irp, "usb bus cancel routine", irp,
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

NTSTATUS complete_now(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status, std::optional<Op> op) {
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
    emu::verifier::report(emu::verifier::Rule::usb_urb_in_flight, "IOCTL_INTERNAL_USB_SUBMIT_URB", urb,
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
  if (dev.async && (t->op == Op::data || t->op == Op::control)) return hand_to_device(dev, std::move(t), lk);
  Endpoint& ep = dev.endpoints[queue];
  t->generation = ep.generation;
  std::vector<Completion> out;

  // A timed device's transfer that finds the endpoint idle and its slot
  // free starts at once, in the submitter's thread, as the host controller
  // would take it in the slot under way; others go to the bus thread.
  bind_fault(ep, *t);
  const bool idle = ep.queue.empty() && !ep.busy && !ep.parked && !t->fault;
  const bool timed_data = detail::timed(dev.schedule) && t->op == Op::data && !emu::clock::frozen();
  const nanoseconds submitted = detail::submission_time(dev.schedule, emu::clock::now());
  const std::optional<nanoseconds> start = timed_data ? scheduled_start(dev, *t, submitted) : std::nullopt;
  const bool go_inline = idle && (detail::timed(dev.schedule) ? timed_data && !start : b.next_inline());
  // Queued behind nothing for a slot the bus thread wakes for anyway.
  const bool wake_bus = !(idle && timed_data && start && !ep.cancel_wait) || b.must_wake_for(start);
  if (go_inline) {
    // Done inside the submission, as a stack may do when the device answers
    // at once; a NAK still pends.
    ep.busy = true;
    ep.woken = false;
    if (timed_data) t->counted_from = submitted;
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
      if (const auto due =
              o.kind == Outcome::Kind::done && same ? hold_to_frame_end(dev, *t, out) : std::nullopt) {
        // Moved now, reported by the bus thread at the end of its frame.
        IoMarkIrpPending(irp);
        if (b.must_wake_for(due)) b.work.notify_all();
        b.changed.notify_all();
        lk.unlock();
        complete_all(out, false);
        return STATUS_PENDING;
      }
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

}  // namespace emu::usb::detail
