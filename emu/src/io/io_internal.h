// Shared bookkeeping of the I/O manager's source files.  Nothing here is
// visible to drivers: every piece of emulator state lives in side tables keyed
// by the NT object's address.
#pragma once

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/verifier.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel_internal.h"

namespace emu::io {

// ---- Names and symbols --------------------------------------------------------------
std::string symbol_name(const void* address);  // function name, or "0x..." when unknown
std::string narrow(std::u16string_view text);
std::u16string from_unicode(PCUNICODE_STRING text);
std::u16string upcase(std::u16string_view text);
// "\DosDevices\X", "\GLOBAL??\X", "\\.\X" and "X" all become "\??\X" (upcased):
// the key of the link table.
std::u16string link_key(std::u16string_view name);
// A UNICODE_STRING over `text` (which must outlive it).
UNICODE_STRING make_unicode(std::u16string& text);
std::string describe_irp(PIRP irp);  // "IRP 0x... (IRP_MJ_READ)" for findings

// The cancel spin lock (IoAcquireCancelSpinLock), for the contract checks.
const volatile KSPIN_LOCK* cancel_spin_lock();

// ---- Routine context ------------------------------------------------------------------
// The driver routine the calling thread is in (innermost), for findings and
// for attributing links to a driver.
struct RoutineScope {
  RoutineScope(const void* routine, PDRIVER_OBJECT driver);
  ~RoutineScope();
  RoutineScope(const RoutineScope&) = delete;
  RoutineScope& operator=(const RoutineScope&) = delete;
};
const void* current_routine();
PDRIVER_OBJECT current_driver();

// ---- Request packets -------------------------------------------------------------------
enum class IrpKind {
  driver,       // IoAllocateIrp: the allocating driver owns and frees it
  driver_init,  // IoInitializeIrp on the driver's own memory
  built,        // IoBuildDeviceIoControlRequest / IoBuildSynchronousFsdRequest
  user,         // a request of a user handle
  system,       // Plug and Play, power manager, WMI and PoRequestPowerIrp requests
};
const char* kind_name(IrpKind kind);

struct IrpRecord {
  std::mutex m;
  IrpKind kind = IrpKind::driver;
  bool freed = false;
  bool completing = false;  // between IofCompleteRequest and the walk's stop
  bool finished = false;    // the walk went past the top
  std::size_t start_next_power = 0;
  const void* completed_by = nullptr;  // caller of the last IofCompleteRequest
  const void* completed_in = nullptr;  // the driver routine it ran in
  // Per stack location: how often IofCallDriver entered it, which of those
  // entries the completion walk last passed, and whether that walk saw
  // SL_PENDING_RETURNED there (for the "pending without mark" check).
  std::vector<uint32_t> gen;
  std::vector<uint32_t> walked_gen;
  std::vector<uint8_t> marked;
  // The entry whose dispatch routine returned STATUS_PENDING and that the
  // walk has not passed yet: the walk then checks the mark.
  std::vector<uint32_t> pending_gen;
  std::vector<const void*> dispatch;  // dispatch routine of the latest entry
  // Runs when the walk goes past the top; must free or keep the packet.
  std::function<void(PIRP)> on_finished;
  // IoBuild* packets: the caller's output buffer for the copy back.
  PVOID built_output = nullptr;
  ULONG built_output_length = 0;
  bool built_buffered = false;
  bool built_input = false;  // a read: copy back on success
};

// Allocates a packet of `kind` with `stack_size` locations (CurrentLocation
// StackSize + 1).  `faultable`: subject to fault injection of irp_allocation.
PIRP allocate_irp(CCHAR stack_size, IrpKind kind, bool faultable, const void* caller = nullptr);
std::shared_ptr<IrpRecord> irp_record(PIRP irp);  // null for an unknown packet
// Frees a packet without the driver-side checks (the I/O manager's own).
void release_irp(PIRP irp);
void reset_irps();
std::size_t outstanding_count();

// Sends `irp` (next location prepared) to `device` and waits (real time) for
// the walk to go past the top.  `finished` runs there first, at the
// completing thread.  Returns false on time-out (the packet is then leaked and
// a finding reported).  The packet is freed on success.
struct SystemSend {
  NTSTATUS returned = STATUS_PENDING;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::size_t start_next_power = 0;
  bool completed = false;
};
// IofCallDriver for a requester's thread, which gets the call back as a
// system call returns to its caller: a mutex the dispatch routine took and
// still owns then is APC_INDEX_MISMATCH on Windows.
NTSTATUS call_driver_for_requester(PDEVICE_OBJECT device, PIRP irp);
SystemSend send_system_irp(PDEVICE_OBJECT device, PIRP irp, const char* what,
                           std::function<void(PIRP)> finished = {});

// ---- Devices ------------------------------------------------------------------------------
// The Plug and Play side of a PDO made by create_pdo.  Fields other than
// `config` are guarded by object_mutex().
struct NodeState {
  PdoConfig config;
  PDEVICE_OBJECT pdo = nullptr;  // null once deleted (or after a reset)
  std::u16string instance_path;
  std::vector<PDEVICE_OBJECT> attached;  // devices AddDevice put above the PDO
  bool missing = false;                  // surprise-removed: the removal deletes the PDO
  bool remove_deferred = false;          // remove() waits for the stack's last handle
  bool removing = false;                 // IRP_MN_REMOVE_DEVICE on its way through the stack
  bool holds_ref = true;                 // the system's reference on the PDO is still held
  NTSTATUS deferred_remove_status = STATUS_PENDING;
};

struct DeviceInfo {
  std::u16string name;
  std::size_t alloc_size = 0;
  bool deleted = false;
  bool is_pdo = false;
  std::shared_ptr<NodeState> node;  // PDOs only
  std::u16string instance_path;     // PDOs: "<enumerator>\<device id>\<instance id>"
  std::u16string enumerator;
  bool hardware_key = true;  // PDOs: IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE) finds the key
  PDEVICE_OBJECT attached_to = nullptr;  // the device this one sits on
  std::size_t work_items_allocated = 0;
  std::size_t work_items_queued = 0;  // queued, routine not begun
  std::size_t open_files = 0;
  bool wmi_registered = false;
  std::optional<DEVICE_POWER_STATE> device_power;
  std::optional<SYSTEM_POWER_STATE> system_power;
  std::size_t state_invalidations = 0;
};

// The object manager's lock: devices, drivers, names, links, interfaces.
std::recursive_mutex& object_mutex();
// Calls `fn` with the device's record under object_mutex(); false if unknown.
bool with_device(PDEVICE_OBJECT device, const std::function<void(DeviceInfo&)>& fn);
bool device_known(PDEVICE_OBJECT device);    // created and not yet freed
bool device_deleted(PDEVICE_OBJECT device);  // IoDeleteDevice was called (or unknown)
std::vector<PDEVICE_OBJECT> devices_of(PDRIVER_OBJECT driver);
std::vector<std::u16string> links_to_devices_of(PDRIVER_OBJECT driver);
// Resolves a name through symbolic links to a device ("\Device\X").
PDEVICE_OBJECT resolve_device(std::u16string_view name, std::u16string* resolved = nullptr);
void reset_devices();
void reset_links_and_interfaces();
void drop_interfaces_of(PDEVICE_OBJECT pdo);

// The bus driver object that owns PDOs made by create_pdo.
PDRIVER_OBJECT bus_driver();
bool driver_known(PDRIVER_OBJECT driver);
void reset_drivers();
PDRIVER_OBJECT create_driver_object(std::u16string_view name, std::u16string_view registry_path);
void destroy_driver_object(PDRIVER_OBJECT driver);
void disable_interfaces_of(PDEVICE_OBJECT pdo);
NTSTATUS create_device(PDRIVER_OBJECT driver, ULONG extension_size, std::u16string name, DEVICE_TYPE type,
                       ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device, bool faultable,
                       const void* caller);

// Registers io_reset() with kernel_reset() (once).
void ensure_reset_hook();

// ---- Pieces of other files ------------------------------------------------------------
void remove_lock_forget_range(const void* base, std::size_t size);
void reset_remove_locks();
void reset_work_items();
void reset_mdls();
// An MDL for `length` bytes at `address`, locked for `operation` and made
// the packet's MdlAddress, as the I/O manager builds it for direct I/O;
// null when it cannot be allocated.
PMDL allocate_locked_mdl(PVOID address, ULONG length, LOCK_OPERATION operation, PIRP irp);
// Unlocks and frees the packet's MDL chain (the I/O manager's part of
// completing a direct-I/O request).
void free_irp_mdls(PIRP irp);
void reset_files();
void reset_wmi();
void reset_power();
void reset_pnp();
void pnp_note_file_closed(PDEVICE_OBJECT device);  // deferred removals
// Whether `device` is in a stack that IRP_MN_REMOVE_DEVICE is travelling
// through (object_mutex() held): devices are then deleted bottom-up before
// the ones above have detached, as every removal does.
bool in_removal_locked(PDEVICE_OBJECT device);
std::size_t open_files_on_stack(const std::shared_ptr<NodeState>& node);

// Work the I/O manager queued on a kernel worker for itself (deferred
// closes, PoRequestPowerIrp sends): counted with the work items, so that
// wait_work_items() and the reset wait for it.
void system_work_begin();
void system_work_end();

// Real-time wait helper for the system side.
template <class Pred>
bool wait_for(std::mutex& m, std::condition_variable& cv, std::chrono::milliseconds limit, Pred pred) {
  std::unique_lock<std::mutex> lock(m);
  return cv.wait_for(lock, limit, pred);
}

}  // namespace emu::io
