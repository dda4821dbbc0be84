// Kernel handles (threads, registry keys) and reference counts of objects
// that other subsystems hand out (device and file objects).

#include "ke/ke_internal.h"

#include <memory>

namespace emu::ke {
namespace {

struct HandleEntry {
  void* object;
  std::string type;
  std::function<void()> on_close;
};

struct Tracked {
  std::string type;
  long references;
  std::function<void()> on_last;
};

// A leaf lock: never held while calling out.
struct ObjectManager {
  std::mutex lock;
  std::unordered_map<uintptr_t, HandleEntry> handles;
  uintptr_t next_handle = 0;
  std::unordered_map<const void*, Tracked> tracked;
};

ObjectManager& om() {
  static ObjectManager* m = new ObjectManager;
  return *m;
}

// Kernel handles have the top bit set, as on Windows.
constexpr uintptr_t kKernelHandleBase = 0xFFFFFFFF80000000ull;

}  // namespace

HANDLE insert_handle(void* object, std::string_view type_name, std::function<void()> on_close) {
  std::lock_guard<std::mutex> g(om().lock);
  om().next_handle += 4;
  uintptr_t value = kKernelHandleBase + om().next_handle;
  om().handles[value] = HandleEntry{object, std::string(type_name), std::move(on_close)};
  return reinterpret_cast<HANDLE>(value);
}

void* handle_object(HANDLE handle, std::string_view type_name) {
  std::lock_guard<std::mutex> g(om().lock);
  auto it = om().handles.find(reinterpret_cast<uintptr_t>(handle));
  if (it == om().handles.end()) return nullptr;
  if (!type_name.empty() && it->second.type != type_name) return nullptr;
  return it->second.object;
}

std::size_t open_handles_of_type(std::string_view type_name) {
  std::lock_guard<std::mutex> g(om().lock);
  std::size_t n = 0;
  for (auto& [value, entry] : om().handles) n += entry.type == type_name;
  return n;
}

void reset_handles(std::string_view context) {
  std::vector<HandleEntry> open;
  {
    std::lock_guard<std::mutex> g(om().lock);
    for (auto& [value, entry] : om().handles) open.push_back(std::move(entry));
    om().handles.clear();
  }
  for (HandleEntry& e : open) {
    report(emu::verifier::Rule::handle_leak, context, e.object, e.type + " handle never closed (ZwClose)");
    if (e.on_close) e.on_close();
  }
}

LONG_PTR ob_adjust(PVOID object, int delta, const char* routine) {
  std::function<void()> on_last;
  LONG_PTR left;
  {
    std::lock_guard<std::mutex> g(om().lock);
    auto it = om().tracked.find(object);
    if (it == om().tracked.end()) {
      report(emu::verifier::Rule::ob_unknown_object, routine, object, "not an object the kernel knows");
      return 0;
    }
    if (delta < 0 && it->second.references <= 0) {
      report(emu::verifier::Rule::ob_reference_underflow, routine, object,
             it->second.type + " dereferenced more often than referenced");
      return 0;
    }
    it->second.references += delta;
    left = it->second.references;
    if (left == 0) {
      on_last = std::move(it->second.on_last);
      om().tracked.erase(it);
    }
  }
  if (on_last) on_last();
  return left;
}

}  // namespace emu::ke

namespace emu::ob {

void track(const void* object, std::string_view type_name, std::function<void()> on_last) {
  std::lock_guard<std::mutex> g(ke::om().lock);
  ke::om().tracked[object] = ke::Tracked{std::string(type_name), 1, std::move(on_last)};
}

void untrack(const void* object) {
  std::lock_guard<std::mutex> g(ke::om().lock);
  ke::om().tracked.erase(object);
}

bool tracked(const void* object) {
  std::lock_guard<std::mutex> g(ke::om().lock);
  return ke::om().tracked.count(object) != 0;
}

long reference_count(const void* object) {
  std::lock_guard<std::mutex> g(ke::om().lock);
  auto it = ke::om().tracked.find(object);
  return it == ke::om().tracked.end() ? -1 : it->second.references;
}

}  // namespace emu::ob

using namespace emu::ke;

EXTERN_C NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  if (current_irql() != PASSIVE_LEVEL) {
    report(emu::verifier::Rule::irql_too_high, "ZwClose", Handle, "must be called at PASSIVE_LEVEL");
  }
  HandleEntry entry{};
  {
    std::lock_guard<std::mutex> g(om().lock);
    auto it = om().handles.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == om().handles.end()) {
      report(emu::verifier::Rule::invalid_handle, "ZwClose", Handle, "closing a handle that is not open");
      return STATUS_INVALID_HANDLE;
    }
    entry = std::move(it->second);
    om().handles.erase(it);
  }
  if (entry.on_close) entry.on_close();
  return STATUS_SUCCESS;
}
