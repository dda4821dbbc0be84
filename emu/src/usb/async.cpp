// Transfers of an asynchronous device (AsyncDeviceModel): handed over whole
// at submission, answered later through Port::complete.  Such a transfer
// sits in Device::handed, not in an endpoint queue, and takes no bus slots:
// the device's own link paces it.
//
// Exactly once: the answer and the cancel routine race for the packet.  The
// answer clears the cancel routine; if it finds it gone and the routine has
// not run yet, the routine is on its way and the answer is left for it to
// complete with.  A cancel routine that finds no answer asks the device to
// let the transfer go and leaves it to the device's answer.  Bus lock held
// throughout, but for the completions themselves.
#include "usb/bus_internal.h"

namespace emu::usb::detail {

namespace {

AsyncTransfer describe(const Device& dev, const Transfer& t) {
  AsyncTransfer a;
  a.id = t.handed_id;
  a.in = t.in;
  a.short_ok = t.short_ok || t.op == Op::control;
  a.length = t.length;
  if (t.op == Op::data) {
    const Pipe& pipe = *dev.pipes.at(t.endpoint);
    a.endpoint = t.endpoint;
    a.transfer_type = pipe.config.attributes & USB_ENDPOINT_TYPE_MASK;
    a.interval = pipe.interval;
  } else {
    a.endpoint = t.in ? 0x80 : 0x00;
    a.transfer_type = USB_ENDPOINT_TYPE_CONTROL;
    a.setup = t.setup;
  }
  if (!t.in && t.buffer != nullptr) a.out = {t.buffer, t.length};
  return a;
}

// What a device's answer means for the transfer; IN data is copied into its
// buffer (still the client's: the packet is not completed yet).
Outcome outcome_of(Device& dev, Transfer& t, const Reply& r, std::span<const uint8_t> in_data) {
  Pipe* pipe = nullptr;
  if (t.op == Op::data) {
    if (auto it = dev.pipes.find(t.endpoint); it != dev.pipes.end()) pipe = it->second.get();
  }
  switch (r.kind) {
    case Reply::Kind::data:
      if (t.in) {
        t.done = static_cast<ULONG>(std::min<std::size_t>({r.length, in_data.size(), t.length}));
        if (t.done > 0) memcpy(t.buffer, in_data.data(), t.done);
        if (t.done < t.length && !t.short_ok && t.op == Op::data) {
          if (pipe) pipe->halted = true;
          return Outcome::fail(USBD_STATUS_DATA_UNDERRUN, STATUS_UNSUCCESSFUL);
        }
      } else {
        t.done = static_cast<ULONG>(std::min<std::size_t>(r.length, t.length));
      }
      return Outcome::ok();
    case Reply::Kind::stall:
      if (pipe) pipe->halted = true;
      return Outcome::fail(USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    case Reply::Kind::error:
      if (pipe && (r.usbd_status == USBD_STATUS_STALL_PID || r.usbd_status == USBD_STATUS_DATA_UNDERRUN))
        pipe->halted = true;
      return Outcome::fail(r.usbd_status, r.status);
    case Reply::Kind::nak:
      break;  // not an answer
  }
  return Outcome::fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_UNSUCCESSFUL);
}

void ask_to_cancel(Device& dev, Transfer& t) {
  if (t.cancel_asked) return;
  t.cancel_asked = true;
  dev.async->cancel(t.handed_id);
}

}  // namespace

NTSTATUS hand_to_device(Device& dev, std::unique_ptr<Transfer> t, std::unique_lock<std::mutex>& lk) {
  IoMarkIrpPending(t->irp);
  std::vector<Completion> out;
  (void)IoSetCancelRoutine(t->irp, cancel_routine);
  if (cancel_requested(t->irp) && IoSetCancelRoutine(t->irp, nullptr) != nullptr) {
    finish(dev, *t, USBD_STATUS_CANCELED, STATUS_CANCELLED, out);
  } else {
    t->handed_id = dev.next_handed++;
    const AsyncTransfer a = describe(dev, *t);
    dev.handed.emplace(a.id, std::move(t));
    dev.async->submit(a);
  }
  bus().changed.notify_all();
  lk.unlock();
  complete_all(out, false);
  return STATUS_PENDING;
}

bool cancel_handed(Device& dev, PIRP irp, std::vector<Completion>& out) {
  for (auto it = dev.handed.begin(); it != dev.handed.end(); ++it) {
    Transfer& t = *it->second;
    if (t.irp != irp) continue;
    t.cancel_ran = true;
    if (t.answer) {
      finish(dev, t, t.answer->usbd, t.answer->status, out);
      dev.handed.erase(it);
    } else {
      ask_to_cancel(dev, t);
    }
    return true;
  }
  return false;
}

void let_go_handed(Device& dev, std::vector<Completion>& out, std::optional<uint8_t> only_endpoint,
                   bool data_only) {
  for (auto it = dev.handed.begin(); it != dev.handed.end();) {
    Transfer& t = *it->second;
    if ((only_endpoint && t.endpoint != *only_endpoint) || (data_only && t.op != Op::data)) {
      ++it;
      continue;
    }
    if (dev.plugged) {
      // The device still has it: it answers once it let it go.
      ask_to_cancel(dev, t);
      ++it;
      continue;
    }
    // Gone with the device: nobody else will answer.
    const Outcome gone = Outcome::fail(USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
    if (IoSetCancelRoutine(t.irp, nullptr) == nullptr && !t.cancel_ran) {
      if (!t.answer) t.answer = gone;  // for the cancel routine on its way
      ++it;
      continue;
    }
    finish(dev, t, gone.usbd, gone.status, out);
    it = dev.handed.erase(it);
  }
}

std::size_t handed_on(const Device& dev, uint8_t address) {
  std::size_t n = 0;
  for (const auto& [id, t] : dev.handed) n += t->endpoint == address ? 1 : 0;
  return n;
}

bool PortImpl::complete(uint64_t id, const Reply& reply, std::span<const uint8_t> in_data) {
  auto dev = device_.lock();
  if (!dev) return false;
  std::vector<Completion> out;
  {
    std::lock_guard lock(bus().m);
    auto it = dev->handed.find(id);
    if (it == dev->handed.end() || it->second->answer) return false;
    Transfer& t = *it->second;
    const Outcome o = outcome_of(*dev, t, reply, in_data);
    if (IoSetCancelRoutine(t.irp, nullptr) == nullptr && !t.cancel_ran) {
      t.answer = o;
      return true;
    }
    finish(*dev, t, o.usbd, o.status, out);
    dev->handed.erase(it);
    bus().changed.notify_all();
  }
  complete_all(out, true);
  return true;
}

}  // namespace emu::usb::detail
