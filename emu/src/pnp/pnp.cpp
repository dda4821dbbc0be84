// The Plug and Play manager and a generic bus: physical device objects with
// a bus's own dispatch, AddDevice, and the requests the system sends to the
// top of a device's stack (start, capabilities, stops, removals).
#include "io/io_internal.h"

#include <cstdio>

namespace emu::io {

namespace {

PDRIVER_OBJECT g_bus = nullptr;                   // guarded by object_mutex()
std::vector<std::shared_ptr<NodeState>> g_nodes;  // guarded by object_mutex()
ULONG g_pdo_counter = 0;

std::shared_ptr<NodeState> node_of(PDEVICE_OBJECT pdo) {
  std::shared_ptr<NodeState> node;
  with_device(pdo, [&](DeviceInfo& info) { node = info.node; });
  return node;
}

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI bus_dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
  std::shared_ptr<NodeState> node = node_of(pdo);
  if (!node) return complete(irp, STATUS_NO_SUCH_DEVICE);
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
      return node->config.pnp ? node->config.pnp(pdo, irp) : emu::pdo_default_pnp(pdo, irp);
    case IRP_MJ_POWER:
      return node->config.power ? node->config.power(pdo, irp) : emu::pdo_default_power(pdo, irp);
    case IRP_MJ_SYSTEM_CONTROL:
      // Not a WMI provider: the request ends here with the status it came with.
      return complete(irp, irp->IoStatus.Status);
    default:
      if (node->config.dispatch) return node->config.dispatch(pdo, irp);
      irp->IoStatus.Information = 0;
      return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

std::u16string instance_key(const std::u16string& instance) {
  return u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + instance;
}

std::u16string hardware_key(const std::u16string& instance) {
  return instance_key(instance) + u"\\Device Parameters";
}

std::string minor_name(UCHAR minor) {
  static const char* const names[] = {"START_DEVICE",
                                      "QUERY_REMOVE_DEVICE",
                                      "REMOVE_DEVICE",
                                      "CANCEL_REMOVE_DEVICE",
                                      "STOP_DEVICE",
                                      "QUERY_STOP_DEVICE",
                                      "CANCEL_STOP_DEVICE",
                                      "QUERY_DEVICE_RELATIONS",
                                      "QUERY_INTERFACE",
                                      "QUERY_CAPABILITIES",
                                      "QUERY_RESOURCES",
                                      "QUERY_RESOURCE_REQUIREMENTS",
                                      "QUERY_DEVICE_TEXT",
                                      "FILTER_RESOURCE_REQUIREMENTS",
                                      "0x0e",
                                      "READ_CONFIG",
                                      "WRITE_CONFIG",
                                      "EJECT",
                                      "SET_LOCK",
                                      "QUERY_ID",
                                      "QUERY_PNP_DEVICE_STATE",
                                      "QUERY_BUS_INFORMATION",
                                      "DEVICE_USAGE_NOTIFICATION",
                                      "SURPRISE_REMOVAL"};
  if (minor < sizeof names / sizeof names[0]) return std::string("IRP_MN_") + names[minor];
  return "IRP_MJ_PNP minor " + std::to_string(minor);
}

NTSTATUS send_pnp_to(const std::shared_ptr<NodeState>& node, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& prepare, ULONG_PTR* information) {
  PDEVICE_OBJECT pdo;
  {
    std::lock_guard<std::recursive_mutex> lock(object_mutex());
    pdo = node->pdo;
  }
  if (pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
  PIRP irp = allocate_irp(top->StackSize, IrpKind::system, false);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_PNP;
  sp->MinorFunction = minor;
  if (prepare) prepare(sp);
  // Plug and Play requests start out "not supported": a driver that does not
  // handle one passes it on untouched.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  std::string what = minor_name(minor);
  SystemSend result = send_system_irp(top, irp, what.c_str());
  if (information != nullptr) *information = result.information;
  return result.completed ? result.status : STATUS_PENDING;
}

NTSTATUS do_remove(const std::shared_ptr<NodeState>& node) {
  std::vector<PDEVICE_OBJECT> above;
  PDEVICE_OBJECT pdo;
  {
    std::lock_guard<std::recursive_mutex> lock(object_mutex());
    above = node->attached;
    pdo = node->pdo;
    node->remove_deferred = false;
  }
  {
    std::lock_guard<std::recursive_mutex> lock(object_mutex());
    node->removing = true;
  }
  NTSTATUS status = send_pnp_to(node, IRP_MN_REMOVE_DEVICE, {}, nullptr);
  {
    std::lock_guard<std::recursive_mutex> lock(object_mutex());
    node->removing = false;
  }
  for (PDEVICE_OBJECT dev : above) {
    if (!device_deleted(dev))
      verifier::report(emu::verifier::Rule::fdo_not_deleted, narrow(emu::device_name(dev)), dev,
                       "device " + narrow(emu::device_name(dev)) +
                           " still exists after IRP_MN_REMOVE_DEVICE (it must detach and delete itself)");
  }
  bool release_pdo = false;
  bool instance_shared = false;
  {
    std::lock_guard<std::recursive_mutex> lock(object_mutex());
    for (auto& other : g_nodes)
      instance_shared = instance_shared || (other != node && other->pdo != nullptr &&
                                            other->instance_path == node->instance_path);
    if (pdo != nullptr) {
      if (pdo->AttachedDevice != nullptr)
        verifier::report(emu::verifier::Rule::fdo_not_detached, narrow(emu::device_name(pdo->AttachedDevice)),
                         pdo->AttachedDevice,
                         "a device is still attached to the PDO after IRP_MN_REMOVE_DEVICE");
      if (!device_deleted(pdo)) {
        disable_interfaces_of(pdo);
      } else if (node->holds_ref) {
        release_pdo = true;
        node->holds_ref = false;
        node->pdo = nullptr;
      }
    }
    node->attached.clear();
  }
  // The bus deleted its PDO: drop the reference the system held on it.  Its
  // instance, which no later plug reuses (each gets a new instance id), goes
  // from the registry with it unless another device has it, or every plug
  // would keep its keys.
  if (release_pdo) {
    ObfDereferenceObject(pdo);
    if (!instance_shared) emu::registry::delete_key(instance_key(node->instance_path));
  }
  return status;
}

}  // namespace

PDRIVER_OBJECT bus_driver() {
  std::lock_guard<std::recursive_mutex> lock(object_mutex());
  if (g_bus == nullptr || !driver_known(g_bus)) {
    g_bus = create_driver_object(u"\\Driver\\EmuBus",
                                 u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EmuBus");
    for (auto& fn : g_bus->MajorFunction) fn = bus_dispatch;
  }
  return g_bus;
}

bool in_removal_locked(PDEVICE_OBJECT device) {
  for (auto& node : g_nodes) {
    if (!node->removing) continue;
    if (node->pdo == device) return true;
    for (PDEVICE_OBJECT dev : node->attached)
      if (dev == device) return true;
  }
  return false;
}

std::size_t open_files_on_stack(const std::shared_ptr<NodeState>& node) {
  std::lock_guard<std::recursive_mutex> lock(object_mutex());
  std::size_t n = 0;
  auto count = [&](PDEVICE_OBJECT dev) { with_device(dev, [&](DeviceInfo& info) { n += info.open_files; }); };
  if (node->pdo != nullptr) count(node->pdo);
  for (PDEVICE_OBJECT dev : node->attached) count(dev);
  return n;
}

void pnp_note_file_closed(PDEVICE_OBJECT device) {
  std::shared_ptr<NodeState> due;
  {
    std::lock_guard<std::recursive_mutex> lock(object_mutex());
    for (auto& node : g_nodes) {
      if (!node->remove_deferred) continue;
      bool mine = node->pdo == device;
      for (PDEVICE_OBJECT dev : node->attached) mine = mine || dev == device;
      if (mine && open_files_on_stack(node) == 0) {
        due = node;
        break;
      }
    }
  }
  if (!due) return;
  NTSTATUS status = do_remove(due);
  std::lock_guard<std::recursive_mutex> lock(object_mutex());
  due->deferred_remove_status = status;
}

void reset_pnp() {
  std::lock_guard<std::recursive_mutex> lock(object_mutex());
  for (auto& node : g_nodes) {
    node->pdo = nullptr;
    node->attached.clear();
    node->remove_deferred = false;
  }
  g_nodes.clear();
  g_bus = nullptr;
  g_pdo_counter = 0;
}

}  // namespace emu::io

namespace emu {

using namespace emu::io;

DEVICE_CAPABILITIES default_capabilities() {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Removable = 1;
  caps.SurpriseRemovalOK = 0;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps.DeviceState[s] = PowerDeviceD3;
  caps.SystemWake = PowerSystemUnspecified;
  caps.DeviceWake = PowerDeviceUnspecified;
  return caps;
}

NTSTATUS pdo_default_pnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  std::shared_ptr<NodeState> node = node_of(pdo);
  NTSTATUS status = irp->IoStatus.Status;
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
      if (caps != nullptr && node) {
        USHORT size = caps->Size, version = caps->Version;
        *caps = node->config.capabilities;
        caps->Size = size;
        caps->Version = version;
      }
      status = caps != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
      break;
    }
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      bool missing = false;
      if (node) {
        std::lock_guard<std::recursive_mutex> lock(object_mutex());
        missing = node->missing;
      }
      // A device that left the bus is gone for good once it is removed.
      if (missing) IoDeleteDevice(pdo);
      return STATUS_SUCCESS;
    }
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS pdo_default_power(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  PoStartNextPowerIrp(irp);
  switch (sp->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (sp->Parameters.Power.Type == DevicePowerState)
        PoSetPowerState(pdo, DevicePowerState, sp->Parameters.Power.State);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_WAIT_WAKE:
      status = STATUS_NOT_SUPPORTED;
      break;
    default:
      break;
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

std::shared_ptr<DeviceNode> create_pdo(PdoConfig config) {
  PDRIVER_OBJECT bus = bus_driver();
  auto node = std::make_shared<NodeState>();
  std::u16string name = config.name;
  {
    std::lock_guard<std::recursive_mutex> lock(object_mutex());
    ULONG n = ++g_pdo_counter;
    if (name.empty()) {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "\\Device\\EmuPdo%u", n);
      name.assign(buffer, buffer + strlen(buffer));
    }
  }
  node->instance_path = config.enumerator + u"\\" + config.device_id + u"\\" + config.instance_id;
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = create_device(bus, 0, name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &pdo,
                                  false, __builtin_return_address(0));
  if (!NT_SUCCESS(status)) {
    verifier::report(
        emu::verifier::Rule::create_pdo_failed, "create_pdo", nullptr,
        "the bus could not create its device object " + narrow(name) + " (" + std::to_string(status) + ")");
    return nullptr;
  }
  pdo->Flags |= config.flags | DO_BUS_ENUMERATED_DEVICE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  pdo->StackSize = config.stack_size;
  bool key = config.hardware_key;
  node->config = std::move(config);
  node->pdo = pdo;
  with_device(pdo, [&](DeviceInfo& info) {
    info.is_pdo = true;
    info.node = node;
    info.instance_path = node->instance_path;
    info.enumerator = node->config.enumerator;
    info.hardware_key = key;
  });
  if (key) emu::registry::create_key(hardware_key(node->instance_path));
  // The system keeps a reference on every PDO it knows, so a bus may delete
  // one during its removal while the devices above still detach from it.
  ObfReferenceObject(pdo);
  {
    std::lock_guard<std::recursive_mutex> lock(object_mutex());
    g_nodes.push_back(node);
  }
  return std::make_shared<DeviceNode>(node);
}

DeviceNode::~DeviceNode() {
  PDEVICE_OBJECT pdo;
  {
    std::lock_guard<std::recursive_mutex> lock(object_mutex());
    pdo = state_->pdo;
    state_->pdo = nullptr;
    std::erase(g_nodes, state_);
  }
  if (pdo == nullptr || !device_known(pdo) || !state_->holds_ref) return;
  if (!device_deleted(pdo)) {
    if (pdo->AttachedDevice != nullptr) {
      verifier::report(emu::verifier::Rule::device_node_destroyed_with_stack, narrow(device_name(pdo)), pdo,
                       "the bus dropped its device while " + narrow(device_name(pdo->AttachedDevice)) +
                           " is still attached to it (send remove() first)");
      return;
    }
    RoutineScope scope(nullptr, bus_driver());
    IoDeleteDevice(pdo);
  }
  ObfDereferenceObject(pdo);
}

PDEVICE_OBJECT DeviceNode::pdo() const {
  std::lock_guard<std::recursive_mutex> lock(object_mutex());
  return state_->pdo;
}

PDEVICE_OBJECT DeviceNode::top() const {
  PDEVICE_OBJECT p = pdo();
  return p ? IoGetAttachedDevice(p) : nullptr;
}

PDEVICE_OBJECT DeviceNode::fdo() const {
  std::lock_guard<std::recursive_mutex> lock(object_mutex());
  return state_->pdo ? state_->pdo->AttachedDevice : nullptr;
}

std::u16string DeviceNode::instance_path() const { return state_->instance_path; }

std::u16string DeviceNode::hardware_key_path() const { return hardware_key(state_->instance_path); }

void DeviceNode::set_port_name(std::u16string_view port) {
  // As an installer writes it: REG_SZ with its terminating NUL.
  std::vector<uint8_t> data((port.size() + 1) * sizeof(char16_t), 0);
  memcpy(data.data(), port.data(), port.size() * sizeof(char16_t));
  set_hardware_value(u"PortName", REG_SZ, std::move(data));
}

void DeviceNode::set_hardware_value(std::u16string_view name, ULONG type, std::vector<uint8_t> data) {
  emu::registry::set_value(hardware_key_path(), name, type, std::move(data));
}

NTSTATUS DeviceNode::add_device(const Driver& driver) {
  PDEVICE_OBJECT p = pdo();
  if (p == nullptr || !driver.loaded()) return STATUS_NO_SUCH_DEVICE;
  PDRIVER_ADD_DEVICE add = driver.object()->DriverExtension->AddDevice;
  if (add == nullptr) {
    verifier::report(emu::verifier::Rule::no_add_device, narrow(from_unicode(&driver.object()->DriverName)),
                     driver.object(), "the driver set no AddDevice routine in its DriverExtension");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  PDEVICE_OBJECT before = IoGetAttachedDevice(p);
  KIRQL irql = KeGetCurrentIrql();
  NTSTATUS status;
  {
    RoutineScope scope(reinterpret_cast<const void*>(add), driver.object());
    status = add(driver.object(), p);
  }
  if (KeGetCurrentIrql() != irql) {
    verifier::report(emu::verifier::Rule::irql_changed, symbol_name(reinterpret_cast<const void*>(add)), p,
                     "AddDevice returned at another IRQL than it was called at");
    emu::ke::set_irql(irql);
  }
  if (!NT_SUCCESS(status)) return status;
  std::lock_guard<std::recursive_mutex> lock(object_mutex());
  bool above = before == p;
  for (PDEVICE_OBJECT dev = p->AttachedDevice; dev != nullptr; dev = dev->AttachedDevice) {
    if (!above) {
      above = dev == before;
      continue;
    }
    state_->attached.push_back(dev);
    if (dev->Flags & DO_DEVICE_INITIALIZING)
      verifier::report(
          emu::verifier::Rule::device_still_initializing, symbol_name(reinterpret_cast<const void*>(add)),
          dev, "AddDevice succeeded but left DO_DEVICE_INITIALIZING set on " + narrow(device_name(dev)));
  }
  return status;
}

NTSTATUS DeviceNode::send_pnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& prepare,
                              ULONG_PTR* information) {
  return send_pnp_to(state_, minor, prepare, information);
}

NTSTATUS DeviceNode::start(bool remove_on_failure) {
  NTSTATUS status = send_pnp(IRP_MN_START_DEVICE);
  if (NT_SUCCESS(status)) {
    query_capabilities();
  } else if (remove_on_failure && status != STATUS_PENDING) {
    remove();
  }
  return status;
}

NTSTATUS DeviceNode::query_capabilities(DEVICE_CAPABILITIES* reported) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  NTSTATUS status = send_pnp(IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
    sp->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  if (reported != nullptr) *reported = caps;
  return status;
}

NTSTATUS DeviceNode::query_stop() { return send_pnp(IRP_MN_QUERY_STOP_DEVICE); }
NTSTATUS DeviceNode::stop() { return send_pnp(IRP_MN_STOP_DEVICE); }
NTSTATUS DeviceNode::cancel_stop() { return send_pnp(IRP_MN_CANCEL_STOP_DEVICE); }
NTSTATUS DeviceNode::query_remove() { return send_pnp(IRP_MN_QUERY_REMOVE_DEVICE); }
NTSTATUS DeviceNode::cancel_remove() { return send_pnp(IRP_MN_CANCEL_REMOVE_DEVICE); }

NTSTATUS DeviceNode::surprise_remove() {
  {
    std::lock_guard<std::recursive_mutex> lock(object_mutex());
    state_->missing = true;
  }
  return send_pnp(IRP_MN_SURPRISE_REMOVAL);
}

NTSTATUS DeviceNode::remove() {
  // The system sends the removal only once every handle to the stack is
  // closed; until then it waits.
  if (open_files_on_stack(state_) != 0) {
    std::lock_guard<std::recursive_mutex> lock(object_mutex());
    state_->remove_deferred = true;
    state_->deferred_remove_status = STATUS_PENDING;
    return STATUS_PENDING;
  }
  return do_remove(state_);
}

NTSTATUS DeviceNode::deferred_remove_status() const {
  std::lock_guard<std::recursive_mutex> lock(object_mutex());
  return state_->deferred_remove_status;
}

std::size_t DeviceNode::state_invalidations() const {
  std::size_t n = 0;
  PDEVICE_OBJECT p = pdo();
  if (p != nullptr) with_device(p, [&](DeviceInfo& info) { n = info.state_invalidations; });
  return n;
}

PowerResult DeviceNode::send_power(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                                   POWER_ACTION action) {
  PowerResult result;
  PDEVICE_OBJECT p = pdo();
  if (p == nullptr) {
    result.status = result.returned = STATUS_NO_SUCH_DEVICE;
    return result;
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(p);
  PIRP irp = allocate_irp(top->StackSize, IrpKind::system, false);
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_POWER;
  sp->MinorFunction = minor;
  sp->Parameters.Power.SystemContext = 0;
  sp->Parameters.Power.Type = type;
  sp->Parameters.Power.State = state;
  sp->Parameters.Power.ShutdownType = action;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  std::string what = std::string(minor == IRP_MN_SET_POWER ? "IRP_MN_SET_POWER" : "IRP_MN_QUERY_POWER") +
                     (type == SystemPowerState ? " (system)" : " (device)");
  SystemSend sent = send_system_irp(top, irp, what.c_str());
  result.status = sent.completed ? sent.status : STATUS_PENDING;
  result.returned = sent.returned;
  result.start_next_power = sent.start_next_power;
  return result;
}

PowerResult DeviceNode::set_system_power(SYSTEM_POWER_STATE state, POWER_ACTION action) {
  POWER_STATE s;
  s.SystemState = state;
  return send_power(IRP_MN_SET_POWER, SystemPowerState, s, action);
}

PowerResult DeviceNode::query_system_power(SYSTEM_POWER_STATE state, POWER_ACTION action) {
  POWER_STATE s;
  s.SystemState = state;
  return send_power(IRP_MN_QUERY_POWER, SystemPowerState, s, action);
}

PowerResult DeviceNode::set_device_power(DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return send_power(IRP_MN_SET_POWER, DevicePowerState, s, PowerActionNone);
}

PowerResult DeviceNode::query_device_power(DEVICE_POWER_STATE state) {
  POWER_STATE s;
  s.DeviceState = state;
  return send_power(IRP_MN_QUERY_POWER, DevicePowerState, s, PowerActionNone);
}

}  // namespace emu

namespace emu::io {

void ensure_reset_hook() {
  static std::once_flag once;
  std::call_once(once, [] { emu::add_reset_hook(emu::io_reset); });
}

}  // namespace emu::io

namespace emu {

void io_reset() {
  // Let work already on its way (work items, deferred closes, power
  // requests) finish before the state it works on is dropped.
  if (!wait_work_items(std::chrono::milliseconds(2000)))
    verifier::report(emu::verifier::Rule::work_item_pending, "io_reset", nullptr,
                     std::to_string(work_items_pending()) + " I/O work item(s) still running at the reset");
  io::reset_files();
  io::reset_pnp();
  io::reset_work_items();
  io::reset_irps();
  io::reset_mdls();
  io::reset_wmi();
  io::reset_power();
  io::reset_devices();
  io::reset_links_and_interfaces();
  io::reset_remove_locks();
  io::reset_drivers();
}

}  // namespace emu
