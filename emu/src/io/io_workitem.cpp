// Work items: run at PASSIVE_LEVEL on the kernel's worker thread.  A queued
// item holds a reference on its device object until its routine returns, so
// the device memory outlives it.  Deleting the device while an item is queued
// and not begun is reported (by IoDeleteDevice): the routine would run for a
// deleted device.  Once the routine runs, deletion is allowed: the reference
// is what lets a routine release its remove lock as its last act, and the
// removal that waited on that lock delete the device before it returns.
#include "io/io_internal.h"

#include <thread>
#include <unordered_map>

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
};

namespace emu::io {

namespace {

struct ItemInfo {
  PDEVICE_OBJECT device;
  bool queued = false;
};

std::mutex g_mutex;
std::unordered_map<PIO_WORKITEM, ItemInfo> g_items;
std::atomic<std::size_t> g_in_flight{0};

}  // namespace

void system_work_begin() { ++g_in_flight; }
void system_work_end() { --g_in_flight; }

void reset_work_items() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (auto& [item, info] : g_items) delete item;
  g_items.clear();
}

}  // namespace emu::io

using namespace emu::io;

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  const void* caller = __builtin_return_address(0);
  if (DeviceObject == nullptr || device_deleted(DeviceObject)) {
    emu::verifier::report(emu::verifier::Rule::work_item_unknown_device, symbol_name(caller), DeviceObject,
                          "IoAllocateWorkItem for a device object that does not exist");
    return nullptr;
  }
  if (emu::faults::should_fail(emu::faults::Site::work_item_allocation, 0, caller)) return nullptr;
  auto item = new _IO_WORKITEM{DeviceObject};
  with_device(DeviceObject, [](DeviceInfo& info) { ++info.work_items_allocated; });
  std::lock_guard<std::mutex> lock(g_mutex);
  g_items[item] = ItemInfo{DeviceObject, false};
  return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                           WORK_QUEUE_TYPE QueueType, PVOID Context) {
  (void)QueueType;
  const void* caller = __builtin_return_address(0);
  PDEVICE_OBJECT device;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_items.find(IoWorkItem);
    if (it == g_items.end()) {
      emu::verifier::report(emu::verifier::Rule::work_item_unknown, symbol_name(caller), IoWorkItem,
                            "IoQueueWorkItem with a work item not allocated (or already freed)");
      return;
    }
    if (it->second.queued) {
      emu::verifier::report(emu::verifier::Rule::work_item_queued_twice, symbol_name(caller), IoWorkItem,
                            "IoQueueWorkItem of a work item that is already queued");
      return;
    }
    it->second.queued = true;
    device = it->second.device;
  }
  with_device(device, [](DeviceInfo& info) { ++info.work_items_queued; });
  ObfReferenceObject(device);
  ++g_in_flight;
  emu::ke::queue_work_item(
      [IoWorkItem, device, WorkerRoutine, Context] {
        {
          std::lock_guard<std::mutex> lock(g_mutex);
          auto it = g_items.find(IoWorkItem);
          if (it != g_items.end()) it->second.queued = false;
        }
        with_device(device, [](DeviceInfo& info) { --info.work_items_queued; });
        {
          RoutineScope scope(reinterpret_cast<const void*>(WorkerRoutine), device->DriverObject);
          WorkerRoutine(device, Context);
        }
        ObfDereferenceObject(device);
        --g_in_flight;
      },
      symbol_name(reinterpret_cast<const void*>(WorkerRoutine)));
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  const void* caller = __builtin_return_address(0);
  PDEVICE_OBJECT device;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_items.find(IoWorkItem);
    if (it == g_items.end()) {
      emu::verifier::report(emu::verifier::Rule::work_item_unknown, symbol_name(caller), IoWorkItem,
                            "IoFreeWorkItem of a work item not allocated (or already freed)");
      return;
    }
    if (it->second.queued) {
      emu::verifier::report(emu::verifier::Rule::work_item_freed_while_queued, symbol_name(caller),
                            IoWorkItem, "IoFreeWorkItem of a work item that is still queued");
      return;
    }
    device = it->second.device;
    g_items.erase(it);
  }
  with_device(device, [](DeviceInfo& info) { --info.work_items_allocated; });
  delete IoWorkItem;
}

namespace emu {

std::size_t work_items_pending() { return io::g_in_flight.load(); }

bool wait_work_items(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (io::g_in_flight.load() != 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace emu
