// The emulated USB bus: the bus thread, which services the endpoint queues
// of every plugged device (a timed device's transfers in their bus slots:
// scheduler.h), and the interface tests and hosts use: plugging, unplugging,
// faults and what the bus saw.  Records and locking: bus_internal.h.
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/usb/bus.h>

#include <algorithm>
#include <cstdio>

#include "usb/bus_internal.h"

namespace emu::usb {

namespace detail {

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
    hold_to_frame_end(dev, *t, out);
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

// A host that reports at the end of the frame: the completion finish()
// just recorded for a data transfer waits in the device's retiring list
// until the end of the (micro)frame of the transfer's last packet.  Returns
// that time when it waits.  A device that has left the bus (it reported
// what it held when it left) reports at once.  Bus lock held.
std::optional<nanoseconds> hold_to_frame_end(Device& dev, const Transfer& t, std::vector<Completion>& out) {
  if (t.op != Op::data || !detail::reports_at_frame_end(dev.schedule) || !dev.plugged || out.empty())
    return std::nullopt;
  const nanoseconds now = emu::clock::now();
  const nanoseconds due = t.due.value_or(detail::report_time(dev.schedule, now));
  if (due <= now) return std::nullopt;
  auto at = std::upper_bound(dev.retiring.begin(), dev.retiring.end(), due,
                             [](nanoseconds d, const Retiring& r) { return d < r.due; });
  dev.retiring.insert(at, Retiring{due, t.endpoint, out.back()});
  out.pop_back();
  return due;
}

// Moves the completions the host reports by `now` (all of them when
// `now` is nothing) to `out`.  Bus lock held.
void report_retiring(Device& dev, std::optional<nanoseconds> now, std::vector<Completion>& out) {
  while (!dev.retiring.empty() && (!now || dev.retiring.front().due <= *now)) {
    if (now) detail::reported(dev.schedule, dev.retiring.front().due, *now);
    out.push_back(dev.retiring.front().completion);
    dev.retiring.pop_front();
  }
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
std::size_t pending_on(const Device& dev, uint8_t address, const Endpoint& ep) {
  const auto retiring = std::count_if(dev.retiring.begin(), dev.retiring.end(),
                                      [&](const Retiring& r) { return r.endpoint == address; });
  return ep.queue.size() + ep.cancelled.size() + (ep.busy ? 1 : 0) + static_cast<std::size_t>(retiring);
}

// ---- The bus thread -------------------------------------------------------------

void do_unplug(Device& dev, std::vector<Completion>& out) {
  dev.plugged = false;
  report_retiring(dev, std::nullopt, out);  // their packets moved: reported now
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
  bool punctual = false;
  std::unique_lock lk(m);
  while (!stopping_) {
    bool did = false;
    std::optional<nanoseconds> next_due;
    std::vector<std::shared_ptr<Device>> snapshot;
    for (auto& [pdo, dev] : devices) snapshot.push_back(dev);
    if (!punctual) {
      for (auto& dev : snapshot) punctual = punctual || detail::reports_at_frame_end(dev->schedule);
      if (punctual) {
        // A host controller's frame clock does not wait for a processor:
        // where the process may, the thread that reports at frame ends
        // preempts ordinary and real-time threads alike, as an interrupt
        // does (it sleeps between frames).  Without the privilege it stays
        // an ordinary thread.
        sched_param param{};
        param.sched_priority = emu::interrupt_fifo_priority;
        (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
      }
    }
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
      if (!dev->retiring.empty()) {
        report_retiring(*dev, emu::clock::now(), out);
        if (!out.empty()) {
          const std::size_t n = out.size();
          lk.unlock();
          complete_all(out, true);
          lk.lock();
          dev->counters.completed_on_bus_thread += n;
          did = true;
        }
        if (!dev->retiring.empty())
          next_due = next_due ? std::min(*next_due, dev->retiring.front().due) : dev->retiring.front().due;
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
      // (A host that reports at the end of the frame gets the next transfer
      // only after it has reported the last one: the bus is free by then.)
      for (auto& dev : snapshot) {
        if (detail::reports_at_frame_end(dev->schedule)) continue;
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

void PortImpl::unplug() {
  auto dev = device_.lock();
  if (!dev) return;
  std::lock_guard lock(bus().m);
  dev->unplug_requested = true;
  bus().work.notify_all();
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
      dev->handed.clear();
      dev->retiring.clear();
      dev->plugged = false;
      bus().devices.erase(it);
    }
  }
};

std::u16string to_u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace detail

using namespace detail;

// ---- Public interface ------------------------------------------------------------------

PDEVICE_OBJECT plug(std::shared_ptr<DeviceModel> model, const PlugOptions& options) {
  Bus& b = bus();
  b.ensure_thread();
  auto dev = std::make_shared<Device>();
  dev->model = std::move(model);
  dev->async = dynamic_cast<AsyncDeviceModel*>(dev->model.get());
  dev->options = options;
  dev->schedule.speed = dev->model->speed();
  dev->schedule.zero_length_packets = dev->model->sends_zero_length_packets();
  dev->schedule.completion = options.completion;
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
  for (auto& [address, ep] : dev->endpoints) i.pending_transfers += pending_on(*dev, address, ep);
  i.pending_transfers += dev->handed.size();
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
    const std::size_t handed = handed_on(*dev, endpoint_address);
    auto it = dev->endpoints.find(endpoint_address);
    if (it == dev->endpoints.end()) return count == handed;
    return pending_on(*dev, endpoint_address, it->second) + handed == count;
  });
}

}  // namespace emu::usb
