// The test and host side of the I/O manager: loading a driver, a bus's
// physical device objects and the device stacks built on them, the Plug and
// Play and power requests the system sends, user-mode style handles, symbolic
// links, device interfaces and WMI.
//
// Every request sent from here leaves at PASSIVE_LEVEL on the calling thread
// and is then waited for in real time (a driver's completion may come from
// any thread); a request that does not finish within the wait limit is
// reported as a verifier finding rather than hanging the test.
//
//   emu::Driver drv = emu::load_driver(&DriverEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\...\\Services\\vr_mdm");
//   auto node = emu::create_pdo({.enumerator = u"USB", .device_id = u"VID_1234&PID_5678"});
//   node->set_port_name(u"COM5");
//   ASSERT_EQ(node->add_device(drv), STATUS_SUCCESS);
//   ASSERT_EQ(node->start(), STATUS_SUCCESS);          // start, then the capabilities query
//   emu::Handle h = emu::open(u"\\DosDevices\\COM5");
//   auto rd = h.read_async(16);                         // overlapped
//   h.write("AT\r");                                    // synchronous
//   h.cancel_io();  rd->wait();  EXPECT_EQ(rd->status(), STATUS_CANCELLED);
//   h.close();                                          // cleanup, then close
//   node->surprise_remove(); node->remove();            // the FDO must be gone afterwards
//   drv.unload();                                       // no device, link or pool left behind
#pragma once

#include <nt/ke.h>
#include <nt/io.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

namespace io {
struct NodeState;
}
namespace ldr {
class Image;
}

// How long (real time) the system side waits for a request it sent before it
// reports "request-not-completed" (default 30 s).  Returns the old value.
std::chrono::milliseconds set_request_wait_limit(std::chrono::milliseconds limit);
std::chrono::milliseconds request_wait_limit();

// ---- Drivers ----------------------------------------------------------------------

class Driver {
 public:
  Driver() = default;
  Driver(Driver&& other) noexcept;
  Driver& operator=(Driver&& other) noexcept;
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;
  ~Driver();  // unloads a driver still loaded

  bool loaded() const { return object_ != nullptr; }
  explicit operator bool() const { return loaded(); }
  NTSTATUS entry_status() const { return entry_status_; }  // what DriverEntry returned
  PDRIVER_OBJECT object() const { return object_; }

  // Calls DriverUnload, then reports every device object the driver left, every
  // symbolic link to one of its devices and every pool block allocated since
  // the load and not freed ("device-leaked-at-unload", "link-leaked-at-unload",
  // "pool-leak"), and frees the driver object.
  void unload();

 private:
  friend Driver load_driver(PDRIVER_INITIALIZE, std::u16string_view, std::u16string_view);
  friend Driver load_driver(std::shared_ptr<ldr::Image>, std::u16string_view, std::u16string_view);
  static Driver load(PDRIVER_INITIALIZE entry, std::shared_ptr<ldr::Image> image,
                     std::u16string_view registry_path, std::u16string_view driver_name);
  PDRIVER_OBJECT object_ = nullptr;
  NTSTATUS entry_status_ = STATUS_UNSUCCESSFUL;
};

// Creates a driver object (every MajorFunction failing with
// STATUS_INVALID_DEVICE_REQUEST) and calls `entry` with it and the registry
// path.  When DriverEntry fails the driver is not loaded (the returned Driver
// is empty but keeps the status) and any pool it left is reported.
Driver load_driver(PDRIVER_INITIALIZE entry, std::u16string_view registry_path,
                   std::u16string_view driver_name = u"\\Driver\\EmuTest");
// The same for a driver mapped from its file (emu/loader.h): DriverEntry is
// the image's entry point, DriverStart/DriverSize describe the image, and the
// driver object keeps the image mapped until it is freed (after DriverUnload).
Driver load_driver(std::shared_ptr<ldr::Image> image, std::u16string_view registry_path,
                   std::u16string_view driver_name = u"\\Driver\\EmuTest");

// ---- A bus's physical device objects and the stacks above them ---------------------

using DispatchFn = std::function<NTSTATUS(PDEVICE_OBJECT device, PIRP irp)>;

// What a bus reports of one device: working state S0 -> D0, every other state -> D3.
DEVICE_CAPABILITIES default_capabilities();

struct PdoConfig {
  std::u16string enumerator = u"EMU";    // bus name, first part of the instance path
  std::u16string device_id = u"DEVICE";  // second part
  std::u16string instance_id = u"0";     // third part
  std::u16string name = {};              // device name; default "\Device\EmuPdo<n>"
  DEVICE_CAPABILITIES capabilities = default_capabilities();
  ULONG flags = DO_POWER_PAGABLE;  // DO_ flags of the PDO
  CCHAR stack_size = 1;
  bool hardware_key = true;  // false: IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE) fails
  // Every request to the PDO except Plug and Play, power and system control;
  // unset: STATUS_INVALID_DEVICE_REQUEST.
  DispatchFn dispatch = {};
  // Overrides of the bus's own Plug and Play / power handling; they may call
  // pdo_default_pnp / pdo_default_power for what they do not handle.
  DispatchFn pnp = {};
  DispatchFn power = {};
};

// The bus's default handling of IRP_MJ_PNP / IRP_MJ_POWER for a PDO made by
// create_pdo: start, stops, removals and queries succeed; the capabilities
// query returns the configured record; a removal after surprise removal
// deletes the PDO; set-power records the device state with PoSetPowerState.
NTSTATUS pdo_default_pnp(PDEVICE_OBJECT pdo, PIRP irp);
NTSTATUS pdo_default_power(PDEVICE_OBJECT pdo, PIRP irp);

struct PowerResult {
  NTSTATUS status = STATUS_PENDING;    // the final status of the request
  NTSTATUS returned = STATUS_PENDING;  // what the top driver's dispatch returned
  std::size_t start_next_power = 0;    // PoStartNextPowerIrp calls made for it
};

// The Plug and Play manager's view of one device: its PDO and everything
// AddDevice attached above it.  Requests go to the top of the stack.
class DeviceNode {
 public:
  ~DeviceNode();  // deletes the PDO if the bus still has it (a stack above it is reported)

  PDEVICE_OBJECT pdo() const;            // null once the bus deleted it
  PDEVICE_OBJECT top() const;            // the top of the stack (the PDO if nothing is attached)
  PDEVICE_OBJECT fdo() const;            // the device attached directly above the PDO, or null
  std::u16string instance_path() const;  // "<enumerator>\<device_id>\<instance_id>"
  // "\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Enum\<instance path>\Device Parameters"
  std::u16string hardware_key_path() const;
  void set_port_name(std::u16string_view port);  // PortName (REG_SZ) in the hardware key
  void set_hardware_value(std::u16string_view name, ULONG type, std::vector<uint8_t> data);

  // AddDevice of `driver` for this PDO; also reports a device left
  // DO_DEVICE_INITIALIZING after a successful AddDevice.
  NTSTATUS add_device(const Driver& driver);

  // IRP_MN_START_DEVICE; when it succeeds, IRP_MN_QUERY_CAPABILITIES follows as
  // after every start.  When it fails the system removes the device
  // (IRP_MN_REMOVE_DEVICE) unless `remove_on_failure` is false.
  NTSTATUS start(bool remove_on_failure = true);
  NTSTATUS query_capabilities(DEVICE_CAPABILITIES* reported = nullptr);
  NTSTATUS query_stop();
  NTSTATUS stop();
  NTSTATUS cancel_stop();
  NTSTATUS query_remove();
  NTSTATUS cancel_remove();
  // The device is gone from the bus: IRP_MN_SURPRISE_REMOVAL; the PDO is
  // deleted by the removal that follows.
  NTSTATUS surprise_remove();
  // IRP_MN_REMOVE_DEVICE; afterwards every device that was attached above
  // the PDO must have been detached and deleted ("fdo-not-deleted").
  NTSTATUS remove();
  // Any other Plug and Play request; `prepare` fills the stack location.
  NTSTATUS send_pnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& prepare = {},
                    ULONG_PTR* information = nullptr);

  // IRP_MN_SET_POWER / IRP_MN_QUERY_POWER from the power manager.  A driver's
  // PoRequestPowerIrp answers travel the same way.
  PowerResult set_system_power(SYSTEM_POWER_STATE state, POWER_ACTION action = PowerActionNone);
  PowerResult query_system_power(SYSTEM_POWER_STATE state, POWER_ACTION action = PowerActionNone);
  PowerResult set_device_power(DEVICE_POWER_STATE state);
  PowerResult query_device_power(DEVICE_POWER_STATE state);

  // IoInvalidateDeviceState calls made for this PDO.
  std::size_t state_invalidations() const;
  // The status of a removal that remove() deferred until the last handle to
  // the stack closed (STATUS_PENDING while it has not been sent).
  NTSTATUS deferred_remove_status() const;

  explicit DeviceNode(std::shared_ptr<io::NodeState> state) : state_(std::move(state)) {}

 private:
  PowerResult send_power(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION action);
  std::shared_ptr<io::NodeState> state_;
};

std::shared_ptr<DeviceNode> create_pdo(PdoConfig config = {});

// The last state a driver reported for `device` with PoSetPowerState.
std::optional<DEVICE_POWER_STATE> reported_device_power(PDEVICE_OBJECT device);
std::optional<SYSTEM_POWER_STATE> reported_system_power(PDEVICE_OBJECT device);

// Power requests drivers made with PoRequestPowerIrp, oldest first.
struct PowerRequestRecord {
  PDEVICE_OBJECT target;
  UCHAR minor;
  POWER_STATE state;
  NTSTATUS status;  // STATUS_PENDING until it completed
};
std::vector<PowerRequestRecord> power_requests();

// ---- User-mode style handles ----------------------------------------------------------

// One overlapped request.  Thread-safe.
class Request {
 public:
  // Waits (real time) for the completion; true once completed.
  bool wait(std::chrono::milliseconds limit = request_wait_limit());
  bool completed() const;
  NTSTATUS returned() const;  // what the top driver's dispatch routine returned
  NTSTATUS status() const;    // final status (STATUS_PENDING while pending)
  ULONG_PTR information() const;
  std::vector<uint8_t> output() const;  // bytes the caller received (read, device control)
  // When the I/O manager finished its completion (steady clock), before the
  // waiting caller got a processor; unset while pending.
  std::optional<std::chrono::steady_clock::time_point> completed_at() const;
  // IoCancelIrp on this request while it is pending; false when it had
  // completed or had no cancel routine.
  bool cancel();

  struct State;
  explicit Request(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  std::shared_ptr<State> state_;
};
using RequestPtr = std::shared_ptr<Request>;

struct IoResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<uint8_t> output;
  bool completed = false;
};

struct CloseResult {
  NTSTATUS cleanup = STATUS_PENDING;  // not sent while other handles share the file
  NTSTATUS close = STATUS_PENDING;    // STATUS_PENDING: deferred until the file's last request completes
};

class Handle {
 public:
  Handle() = default;
  Handle(Handle&& other) noexcept;
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle();  // closes an open handle

  NTSTATUS status() const { return status_; }  // of the open
  bool is_open() const;
  explicit operator bool() const { return is_open(); }
  PFILE_OBJECT file_object() const;

  RequestPtr read_async(ULONG length);
  RequestPtr write_async(std::span<const uint8_t> data);
  RequestPtr write_async(std::string_view data);
  RequestPtr ioctl_async(ULONG code, std::span<const uint8_t> input, ULONG output_length);

  // Synchronous forms: wait for the completion (real time, bounded).
  IoResult read(ULONG length);
  IoResult write(std::span<const uint8_t> data);
  IoResult write(std::string_view data);
  IoResult ioctl(ULONG code, std::span<const uint8_t> input = {}, ULONG output_length = 0);

  // CancelIo: IoCancelIrp on every request of this file still pending.
  // Returns how many were pending.
  std::size_t cancel_io();
  std::size_t pending() const;

  // A second handle to the same file object.
  Handle duplicate() const;

  // Closes this handle.  The last handle of the file sends IRP_MJ_CLEANUP; the
  // file's last reference (handles and pending requests) sends IRP_MJ_CLOSE.
  CloseResult close();
  // Waits (real time) until the file's IRP_MJ_CLOSE has been sent and completed.
  bool wait_closed(std::chrono::milliseconds limit = request_wait_limit());
  // The status of that IRP_MJ_CLOSE; STATUS_PENDING until it has completed.
  NTSTATUS close_status() const;

  struct File;

 private:
  friend Handle open(std::u16string_view, ACCESS_MASK, ULONG);
  std::shared_ptr<File> file_;
  NTSTATUS status_ = STATUS_INVALID_HANDLE;
  bool open_ = false;
};

// Opens a device by name: "\DosDevices\COM5", "\??\COM5", "\\.\COM5" or
// "COM5" through the symbolic links, or "\Device\..." directly; sends
// IRP_MJ_CREATE to the top of the device's stack.  The returned handle
// carries the status; it is open only when the create succeeded.
Handle open(std::u16string_view name, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE, ULONG share = 0);

// ---- Names, links and interfaces ---------------------------------------------------------

std::u16string device_name(PDEVICE_OBJECT device);  // empty for an unnamed device
// The function holding `address` (a driver routine, an allocating caller),
// or "0x..." when no symbol covers it.
std::string function_name(const void* address);
PDEVICE_OBJECT find_device(std::u16string_view name);
// The target of a symbolic link ("\DosDevices\COM5", "\??\COM5"...), if any.
std::optional<std::u16string> symbolic_link_target(std::u16string_view link);
std::vector<std::u16string> symbolic_links();  // "\??\NAME" form

struct InterfaceInfo {
  std::u16string link_name;  // as IoRegisterDeviceInterface returned it
  GUID guid;
  PDEVICE_OBJECT pdo;
  bool enabled;
};
std::vector<InterfaceInfo> device_interfaces(const GUID* filter = nullptr);

// ---- Work items --------------------------------------------------------------------------
std::size_t work_items_pending();  // IoQueueWorkItem items queued or running
bool wait_work_items(std::chrono::milliseconds limit = request_wait_limit());

// ---- Request packets ------------------------------------------------------------------------
std::size_t outstanding_irps();  // allocated and not yet freed

// How many freed packets stay allocated (poisoned under ASan) before their
// memory really goes back, so that a late use is reported rather than
// corrupting reused memory (default 256).  A small quarantine lets frees on
// other threads overtake one another: for tests of the bookkeeping itself.
// Returns the previous value.
std::size_t set_irp_quarantine(std::size_t packets);

// Sends a prepared packet (next stack location filled, e.g. from
// IoBuildDeviceIoControlRequest or IoAllocateIrp) to `device` at PASSIVE_LEVEL
// and returns what IofCallDriver returned.
NTSTATUS call_driver(PDEVICE_OBJECT device, PIRP irp);

// The I/O manager's part of kernel_reset(): reports every request packet,
// handle, device, driver, link and WMI registration still alive and forgets
// them.  Called by emu::kernel_reset(); tests that bypass it may call it.
void io_reset();

}  // namespace emu

// ---- WMI, from the management side ------------------------------------------------------------
namespace emu::wmi {

bool is_registered(PDEVICE_OBJECT device);  // IoWMIRegistrationControl(REGISTER) in force

struct GuidRegistration {
  GUID guid;
  ULONG flags;
  ULONG instance_count;
  PDEVICE_OBJECT pdo;  // with WMIREG_FLAG_INSTANCE_PDO
};

struct RegInfo {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<GuidRegistration> guids;
  std::u16string registry_path;
  std::u16string mof_resource;
  ULONG size_needed = 0;  // when the buffer was too small
};

struct DataResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  bool too_small = false;  // WNODE_FLAG_TOO_SMALL
  ULONG size_needed = 0;
  std::vector<std::vector<uint8_t>> instances;  // data of each instance
};

struct SystemControlResult {
  NTSTATUS status = STATUS_PENDING;
  NTSTATUS returned = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<uint8_t> buffer;  // the request's buffer after completion
};

// IRP_MN_REGINFO_EX (or IRP_MN_REGINFO) to the stack of a registered device.
RegInfo query_reginfo(PDEVICE_OBJECT device, ULONG buffer_size = 4096, bool ex = true);
DataResult query_all_data(PDEVICE_OBJECT device, const GUID& guid, ULONG buffer_size = 4096);
DataResult query_single_instance(PDEVICE_OBJECT device, const GUID& guid, ULONG instance_index,
                                 ULONG buffer_size = 4096);
// Any IRP_MJ_SYSTEM_CONTROL request: `buffer` becomes Parameters.WMI.Buffer,
// `provider` Parameters.WMI.ProviderId (default: `device`).
SystemControlResult send(PDEVICE_OBJECT device, UCHAR minor, PVOID data_path, std::vector<uint8_t> buffer,
                         std::optional<ULONG_PTR> provider = std::nullopt);

}  // namespace emu::wmi
