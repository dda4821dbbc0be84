// The emulated USB bus driver: one physical device object per plugged
// device, answering IOCTL_INTERNAL_USB_SUBMIT_URB as a host controller and
// hub would.  Its records, shared by its sources: transfers.cpp (URBs read
// into transfers, run against the model, cancelled and completed), pdo.cpp
// (the dispatch, Plug and Play and power routines of a device's PDO) and
// bus.cpp (the bus thread that services the endpoint queues, and plugging).
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
#pragma once

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/usb/bus.h>

#include <array>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "usb/scheduler.h"
#include "usb/watch.h"

namespace emu::usb::detail {

using std::chrono::nanoseconds;

// How a powered-down device's transfers fail at the USB level.
constexpr USBD_STATUS powered_down_usbd = USBD_STATUS_DEV_NOT_RESPONDING;

enum class Op { descriptor, select_configuration, control, data, reset_pipe, abort_pipe };

struct Outcome {
  enum class Kind { done, nak, again } kind = Kind::done;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  static Outcome ok() { return {}; }
  static Outcome fail(USBD_STATUS u, NTSTATUS s) { return {Kind::done, u, s}; }
};

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
  // A submission that runs at once: the time it counts from (scheduler.h's
  // submission_time), for its first packets.
  std::optional<nanoseconds> counted_from;
  // When the host may report it done (end_of_frame), once packets moved.
  std::optional<nanoseconds> due;
  std::optional<nanoseconds> start_at;
  detail::WatchedUrb watch;  // what watchers are told at its completion
  // Handed to an asynchronous device (async.cpp): its id there, whether the
  // bus's cancel routine ran for it, whether the device was asked to let it
  // go, and the answer kept for a cancel routine on its way.
  uint64_t handed_id = 0;
  bool cancel_ran = false;
  bool cancel_asked = false;
  std::optional<Outcome> answer;
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

// A completion held until its host controller reports it (the end of the
// (micro)frame of the transfer's last packet).
struct Retiring {
  nanoseconds due;
  uint8_t endpoint;
  Completion completion;
};

struct Device;

class PortImpl final : public Port {
 public:
  explicit PortImpl(std::weak_ptr<Device> device) : device_(std::move(device)) {}
  void wake(uint8_t endpoint_address) override;
  void wake_at(uint8_t endpoint_address, nanoseconds when) override;
  bool complete(uint64_t id, const Reply& reply, std::span<const uint8_t> in_data) override;
  void unplug() override;

 private:
  std::weak_ptr<Device> device_;
};

struct Device {
  uint64_t id = 0;
  std::shared_ptr<DeviceModel> model;
  AsyncDeviceModel* async = nullptr;  // the same model, when it answers later
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
  // Transfers an asynchronous device holds, by their id there.
  std::map<uint64_t, std::unique_ptr<Transfer>> handed;
  uint64_t next_handed = 1;
  DeviceInfo counters;
  detail::Schedule schedule;      // bus timing (fixed at plug, slots under the bus lock)
  std::deque<Retiring> retiring;  // by due time; each endpoint's in submission order
};

// Runs the model's callbacks for one device, one at a time.
template <class Fn>
auto with_model(Device& dev, Fn&& fn) {
  std::lock_guard lock(dev.callback_mutex);
  return fn(*dev.model);
}

// One seeded choice (splitmix64); none while unseeded.
inline bool coin(std::optional<uint64_t>& state) {
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

inline Bus& bus() {
  static Bus instance;
  return instance;
}

inline std::shared_ptr<Device> find_device(PDEVICE_OBJECT pdo) {
  auto it = bus().devices.find(pdo);
  return it == bus().devices.end() ? nullptr : it->second;
}

// ---- Between the bus's sources ------------------------------------------------

// transfers.cpp
void complete(const Completion& c, bool raise_to_dispatch);
void finish(Device& dev, Transfer& t, USBD_STATUS usbd, NTSTATUS status, std::vector<Completion>& out);
void finish_cancelled(Device& dev, Endpoint& ep, std::vector<Completion>& out);
void bind_fault(Endpoint& ep, Transfer& t);
void requeue_front(Device& dev, Endpoint& ep, std::unique_ptr<Transfer> t, std::vector<Completion>& out);
void fail_queued(Device& dev, USBD_STATUS usbd, NTSTATUS status, std::vector<Completion>& out,
                 std::optional<uint8_t> only_endpoint = std::nullopt);
void complete_all(std::vector<Completion>& list, bool raise);
Outcome run(Device& dev, Transfer& t, std::unique_lock<std::mutex>& lk, std::vector<Completion>& out);
void drop_data_endpoints(Device& dev, std::vector<Completion>& out);
NTSTATUS complete_now(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status,
                      std::optional<Op> op = std::nullopt);
NTSTATUS submit_urb(Device& dev, PIRP irp, PURB urb);
VOID NTAPI cancel_routine(PDEVICE_OBJECT pdo, PIRP irp);
bool cancel_requested(PIRP irp);

// async.cpp: transfers of an asynchronous device
NTSTATUS hand_to_device(Device& dev, std::unique_ptr<Transfer> t, std::unique_lock<std::mutex>& lk);
bool cancel_handed(Device& dev, PIRP irp, std::vector<Completion>& out);
void let_go_handed(Device& dev, std::vector<Completion>& out, std::optional<uint8_t> only_endpoint,
                   bool data_only);
std::size_t handed_on(const Device& dev, uint8_t address);

// bus.cpp
std::optional<Outcome> gate(Device& dev, const Transfer& t);
std::optional<nanoseconds> scheduled_start(const Device& dev, const Transfer& t, nanoseconds now);
std::optional<nanoseconds> hold_to_frame_end(Device& dev, const Transfer& t, std::vector<Completion>& out);
void do_unplug(Device& dev, std::vector<Completion>& out);
void tell_unplugged(Device& dev);

// pdo.cpp
NTSTATUS dispatch(const std::weak_ptr<Device>& weak, PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS pnp(const std::weak_ptr<Device>& weak, PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS power(const std::weak_ptr<Device>& weak, PDEVICE_OBJECT pdo, PIRP irp);
void forget(const std::shared_ptr<Device>& dev);

}  // namespace emu::usb::detail
