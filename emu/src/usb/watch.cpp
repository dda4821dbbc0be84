// Bus watchers (emu::usb::watch): a list of callbacks run one at a time
// under their own lock, a leaf lock taken with or without the bus lock.
#include "usb/watch.h"

#include <emu/kernel.h>

#include <atomic>
#include <map>
#include <mutex>

namespace emu::usb {

namespace {

struct Watchers {
  std::mutex m;  // held while a watcher runs, so unwatch() waits for it
  std::map<uint64_t, UrbWatcher> list;
  uint64_t next_id = 1;
  std::atomic<std::size_t> count{0};
};

Watchers& watchers() {
  static auto* w = new Watchers;  // outlives threads still completing at exit
  return *w;
}

void report(UrbEvent& e) {
  Watchers& w = watchers();
  std::lock_guard lock(w.m);
  e.system_time = emu::clock::system_time();
  for (auto& [id, fn] : w.list) fn(e);
}

UrbEvent event_for(const detail::WatchedUrb& u, UrbEvent::Kind kind) {
  UrbEvent e;
  e.kind = kind;
  e.urb = u.urb;
  e.device = u.device;
  e.endpoint = u.endpoint;
  e.transfer_type = u.transfer_type;
  e.interval = u.interval;
  e.short_ok = u.short_ok;
  return e;
}

}  // namespace

uint64_t watch(UrbWatcher watcher) {
  Watchers& w = watchers();
  std::lock_guard lock(w.m);
  const uint64_t id = w.next_id++;
  w.list.emplace(id, std::move(watcher));
  w.count = w.list.size();
  return id;
}

void unwatch(uint64_t id) {
  Watchers& w = watchers();
  std::lock_guard lock(w.m);
  w.list.erase(id);
  w.count = w.list.size();
}

namespace detail {

bool watched() { return watchers().count.load(std::memory_order_relaxed) != 0; }

void report_submit(const WatchedUrb& urb, const std::optional<SetupPacket>& setup, uint32_t length) {
  if (urb.urb == nullptr) return;
  UrbEvent e = event_for(urb, UrbEvent::Kind::submit);
  e.setup = setup;
  e.length = length;
  if (!urb.in && urb.buffer != nullptr) e.data = {urb.buffer, length};
  report(e);
}

void report_complete(const WatchedUrb& urb, USBD_STATUS usbd, NTSTATUS status, uint32_t length) {
  if (urb.urb == nullptr) return;
  UrbEvent e = event_for(urb, UrbEvent::Kind::complete);
  e.length = length;
  e.usbd_status = usbd;
  e.status = status;
  if (urb.in && urb.buffer != nullptr) e.data = {urb.buffer, length};
  report(e);
}

}  // namespace detail

}  // namespace emu::usb
