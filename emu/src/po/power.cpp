// The power manager's routines for drivers: PoCallDriver, PoStartNextPowerIrp,
// PoSetPowerState and PoRequestPowerIrp (whose request travels from the top
// of the target's stack, sent from a system worker thread).
#include "io/io_internal.h"

namespace emu::io {

namespace {

std::mutex g_mutex;
std::vector<PowerRequestRecord> g_requests;

}  // namespace

void reset_power() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_requests.clear();
}

}  // namespace emu::io

using namespace emu::io;

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (Irp != nullptr && Irp->CurrentLocation > 1 &&
      IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    emu::verifier::report(emu::verifier::Rule::po_call_driver_not_power,
                          symbol_name(__builtin_return_address(0)), Irp,
                          "PoCallDriver with a request that is not IRP_MJ_POWER");
  return IofCallDriver(DeviceObject, Irp);
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  auto rec = irp_record(Irp);
  if (!rec) {
    emu::verifier::report(emu::verifier::Rule::irp_unknown, symbol_name(__builtin_return_address(0)), Irp,
                          "PoStartNextPowerIrp with a packet the I/O manager never allocated");
    return;
  }
  if (Irp->CurrentLocation < 1 || Irp->CurrentLocation > Irp->StackCount ||
      IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    emu::verifier::report(emu::verifier::Rule::start_next_power_not_power,
                          symbol_name(__builtin_return_address(0)), Irp,
                          "PoStartNextPowerIrp with a request that is not IRP_MJ_POWER");
  std::lock_guard<std::mutex> lock(rec->m);
  ++rec->start_next_power;
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  POWER_STATE previous;
  previous.DeviceState = PowerDeviceUnspecified;
  bool known = with_device(DeviceObject, [&](DeviceInfo& info) {
    if (Type == DevicePowerState) {
      previous.DeviceState = info.device_power.value_or(PowerDeviceUnspecified);
      info.device_power = State.DeviceState;
    } else {
      previous.SystemState = info.system_power.value_or(PowerSystemUnspecified);
      info.system_power = State.SystemState;
    }
  });
  if (!known)
    emu::verifier::report(emu::verifier::Rule::power_unknown_device, symbol_name(__builtin_return_address(0)),
                          DeviceObject, "PoSetPowerState for a device object that does not exist");
  return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  const void* caller = __builtin_return_address(0);
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  if (DeviceObject == nullptr || device_deleted(DeviceObject)) {
    emu::verifier::report(emu::verifier::Rule::power_unknown_device, symbol_name(caller), DeviceObject,
                          "PoRequestPowerIrp for a device object that does not exist");
    return STATUS_INVALID_PARAMETER_1;
  }
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  PIRP irp = allocate_irp(top->StackSize, IrpKind::system, true, caller);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = IRP_MJ_POWER;
  sp->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    sp->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    sp->Parameters.Power.Type = DevicePowerState;
    sp->Parameters.Power.State = PowerState;
    sp->Parameters.Power.ShutdownType = PowerActionNone;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  std::size_t index;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    index = g_requests.size();
    g_requests.push_back({DeviceObject, MinorFunction, PowerState, STATUS_PENDING});
  }
  auto rec = irp_record(irp);
  {
    std::lock_guard<std::mutex> lock(rec->m);
    rec->on_finished = [=](PIRP done) {
      {
        std::lock_guard<std::mutex> l(g_mutex);
        if (index < g_requests.size()) g_requests[index].status = done->IoStatus.Status;
      }
      if (CompletionFunction != nullptr) {
        KIRQL irql = KeGetCurrentIrql();
        {
          RoutineScope scope(reinterpret_cast<const void*>(CompletionFunction), DeviceObject->DriverObject);
          CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &done->IoStatus);
        }
        if (KeGetCurrentIrql() != irql) {
          emu::verifier::report(emu::verifier::Rule::irql_changed,
                                symbol_name(reinterpret_cast<const void*>(CompletionFunction)), done,
                                "power completion function returned at another IRQL than it was called at");
          emu::ke::set_irql(irql);
        }
      }
      release_irp(done);
    };
  }
  if (Irp != nullptr) *Irp = irp;
  // Keep the stack's top alive until the request is on its way.
  ObfReferenceObject(top);
  system_work_begin();
  emu::ke::queue_work_item(
      [top, irp] {
        IofCallDriver(top, irp);
        ObfDereferenceObject(top);
        system_work_end();
      },
      "PoRequestPowerIrp");
  return STATUS_PENDING;
}

namespace emu {

std::optional<DEVICE_POWER_STATE> reported_device_power(PDEVICE_OBJECT device) {
  std::optional<DEVICE_POWER_STATE> state;
  io::with_device(device, [&](io::DeviceInfo& info) { state = info.device_power; });
  return state;
}

std::optional<SYSTEM_POWER_STATE> reported_system_power(PDEVICE_OBJECT device) {
  std::optional<SYSTEM_POWER_STATE> state;
  io::with_device(device, [&](io::DeviceInfo& info) { state = info.system_power; });
  return state;
}

std::vector<PowerRequestRecord> power_requests() {
  std::lock_guard<std::mutex> lock(io::g_mutex);
  return io::g_requests;
}

}  // namespace emu
