// Power requests.
//
// The power manager hands the driver one set-power request of each type at a
// time; every path below calls PoStartNextPowerIrp exactly once per request.
// No lock and no RemoveLock: the completion routines run at up to
// DISPATCH_LEVEL in any thread, and DevicePowerState has one writer at a
// time (the completion of the device request).
#include "power/power.h"

#include "power/restart.h"

// The polling threads read DevicePowerState with interlocked operations while
// it changes here; every access of this file is interlocked too.
static inline DEVICE_POWER_STATE ReadDeviceState(PDEVICE_EXTENSION Extension) {
  return (DEVICE_POWER_STATE)InterlockedOr((volatile LONG*)&Extension->DevicePowerState, 0);
}

/*
 * DispatchPower: set-power requests are handled by type; every other power
 * request (query, wait-wake, power sequence...) goes down untouched.
 * IRQL <= DISPATCH_LEVEL.  Caller: the power manager (IRP_MJ_POWER).
 */
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    if (stack->Parameters.Power.Type == SystemPowerState) {
      return HandleSystemSetPower(DeviceObject, Irp);
    }
    return HandleDeviceSetPower(DeviceObject, Irp);
  }

  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(ext->TopOfStackDeviceObject, Irp);
}

/*
 * HandleSystemSetPower: passes the system request down; its completion
 * routine asks for the matching device request.  The request is always left
 * pending: it completes only after its device request, and with that
 * request's status, neither of which the devices below know when they return.
 * IRQL <= DISPATCH_LEVEL.  Caller: DispatchPower.
 */
NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  IoMarkIrpPending(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, CompletionRoutineSystemPowerIrp, NULL, TRUE, TRUE, TRUE);
  (void)PoCallDriver(ext->TopOfStackDeviceObject, Irp);
  return STATUS_PENDING;
}

/*
 * DeviceStateForSystemState: see power.h.  The capabilities are copied at
 * the capabilities query; before it, or for a state outside the table, they
 * say nothing, and an unspecified device state is no state to ask for.
 */
DEVICE_POWER_STATE DeviceStateForSystemState(PDEVICE_EXTENSION Extension, SYSTEM_POWER_STATE SystemState) {
  DEVICE_POWER_STATE state = PowerDeviceUnspecified;

  if (SystemState > PowerSystemUnspecified && SystemState < PowerSystemMaximum) {
    state = Extension->DeviceCapabilities.DeviceState[SystemState];
  }
  if (state <= PowerDeviceUnspecified || state >= PowerDeviceMaximum) {
    state = (SystemState == PowerSystemWorking) ? PowerDeviceD0 : PowerDeviceD3;
  }
  return state;
}

/*
 * FailSystemRequest: ends the system request's stay with the driver: it goes
 * on up with Status.
 * IRQL <= DISPATCH_LEVEL.  Caller: CompletionRoutineSystemPowerIrp.
 */
static NTSTATUS FailSystemRequest(PIRP Irp, NTSTATUS Status) {
  PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = Status;
  return Status;
}

/*
 * CompletionRoutineSystemPowerIrp: the devices below have completed the
 * system request.  On success, records the system state and asks the power
 * manager for the device request; the system request stays with the driver
 * until that completes.
 * IRQL <= DISPATCH_LEVEL, any thread.  Caller: the I/O manager.
 */
NTSTATUS NTAPI CompletionRoutineSystemPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PPOWER_REQUEST_CONTEXT request;
  POWER_STATE deviceState;
  NTSTATUS status = Irp->IoStatus.Status;

  UNREFERENCED_PARAMETER(Context);

  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    return status;
  }

  ext->SystemPowerState = stack->Parameters.Power.State.SystemState;

  request = (PPOWER_REQUEST_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_REQUEST_CONTEXT),
                                                          POOL_TAG_DRIVER);
  if (request == NULL) {
    return FailSystemRequest(Irp, STATUS_UNSUCCESSFUL);
  }
  request->DeviceObject = DeviceObject;
  request->SystemIrp = Irp;

  deviceState.DeviceState = DeviceStateForSystemState(ext, ext->SystemPowerState);
  status = PoRequestPowerIrp(ext->PhysicalDeviceObject, stack->MinorFunction, deviceState,
                             CompletionRoutineDevicePowerRequest, request, NULL);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(request, POOL_TAG_DRIVER);
    return FailSystemRequest(Irp, status);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * CompletionRoutineDevicePowerRequest: the device request asked for by the
 * system request's completion has completed; the system request completes
 * with its status.
 * IRQL <= DISPATCH_LEVEL, any thread.  Caller: the power manager.
 */
VOID NTAPI CompletionRoutineDevicePowerRequest(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                               POWER_STATE PowerState, PVOID Context,
                                               PIO_STATUS_BLOCK IoStatus) {
  PPOWER_REQUEST_CONTEXT request = (PPOWER_REQUEST_CONTEXT)Context;
  PIRP systemIrp = request->SystemIrp;

  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);

  // Freed first: once the system request completes, the driver may be asked
  // to go away and must hold nothing of it.
  ExFreePoolWithTag(request, POOL_TAG_DRIVER);
  systemIrp->IoStatus.Status = IoStatus->Status;
  PoStartNextPowerIrp(systemIrp);
  IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

/*
 * HandleDeviceSetPower: a request for the current state goes down as it is;
 * a change is recorded by its completion routine once the devices below
 * have made it, whichever way it goes.
 * IRQL <= DISPATCH_LEVEL.  Caller: DispatchPower.
 */
NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  if (stack->Parameters.Power.State.DeviceState == ReadDeviceState(ext)) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext->TopOfStackDeviceObject, Irp);
  }

  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, CompletionRoutineDevicePowerIrp, NULL, TRUE, TRUE, TRUE);
  return PoCallDriver(ext->TopOfStackDeviceObject, Irp);
}

/*
 * CompletionRoutineDevicePowerIrp: the devices below have changed the device
 * state.  Reports and records it; a move to more power queues the restart of
 * the open port.  A failed request changes nothing.
 * IRQL <= DISPATCH_LEVEL, any thread.  Caller: the I/O manager.
 */
NTSTATUS NTAPI CompletionRoutineDevicePowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = Irp->IoStatus.Status;
  POWER_STATE newState = stack->Parameters.Power.State;

  UNREFERENCED_PARAMETER(Context);

  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    return status;
  }

  PoSetPowerState(DeviceObject, DevicePowerState, newState);
  // Recorded before the restart is queued: the restart and the threads it
  // starts read the state and must see the new one.
  DEVICE_POWER_STATE oldState = (DEVICE_POWER_STATE)InterlockedExchange(
      (volatile LONG*)&ext->DevicePowerState, (LONG)newState.DeviceState);
  if (oldState > newState.DeviceState) {
    (void)QueuePowerUpRestart(DeviceObject, oldState, newState.DeviceState);
  }
  PoStartNextPowerIrp(Irp);
  return status;
}
