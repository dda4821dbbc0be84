// Power requests.
//
// The power manager hands the driver one set-power request of each type at a
// time; every path below calls PoStartNextPowerIrp exactly once per request.
// No lock and no RemoveLock for the requests the power manager sends: the
// completion routines run at up to DISPATCH_LEVEL in any thread, and
// DevicePowerState has one writer at a time (the completion of the device
// request).  A device request the driver asks for on its own, for a
// power-up owed, holds a RemoveLock acquisition until it completes.
#include "power/power.h"

#include "core/request.h"
#include "power/restart.h"

// The polling threads read DevicePowerState with interlocked operations while
// it changes here; every access of this file is interlocked too.
_IRQL_requires_max_(DISPATCH_LEVEL)
static inline DEVICE_POWER_STATE ReadDeviceState(PDEVICE_EXTENSION Extension) {
  return (DEVICE_POWER_STATE)InterlockedOr((volatile LONG*)&Extension->DevicePowerState, 0);
}

/*
 * DispatchPower: set-power requests are handled by type; every other power
 * request (query, wait-wake, power sequence...) goes down untouched.
 * IRQL <= DISPATCH_LEVEL.  Caller: the power manager (IRP_MJ_POWER).
 */
_Use_decl_annotations_
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
_Use_decl_annotations_
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
_Use_decl_annotations_
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

// DevicePowerOwed is changed by other paths with interlocked operations.
_IRQL_requires_max_(DISPATCH_LEVEL)
static inline LONG ReadOwed(PDEVICE_EXTENSION Extension) {
  return InterlockedOr(&Extension->DevicePowerOwed, 0);
}

/*
 * ClaimOwedRequest: marks the owed state as requested, so that one request
 * for it is out at a time.  Returns the owed state, or 0 when nothing is owed
 * or a request is already out.
 * IRQL <= DISPATCH_LEVEL.  Callers: RetryOwedDevicePower, PayOwedDevicePower.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static LONG ClaimOwedRequest(PDEVICE_EXTENSION Extension) {
  LONG owed = ReadOwed(Extension);
  if (owed == 0 || (owed & OWED_POWER_REQUESTED) != 0) {
    return 0;
  }
  if (InterlockedCompareExchange(&Extension->DevicePowerOwed, owed | OWED_POWER_REQUESTED, owed) != owed) {
    return 0;
  }
  // Reset only after the claim: a reset without one could strand a waiter.
  KeResetEvent(&Extension->evOwedPowerDone);
  return owed;
}

/*
 * EndOwedRequest: no request for Owed is out any more; Paid says whether
 * the device reached it.  A state owed anew meanwhile is left alone.
 * IRQL <= DISPATCH_LEVEL.  Callers: the routines below.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID EndOwedRequest(PDEVICE_EXTENSION Extension, LONG Owed, BOOLEAN Paid) {
  (void)InterlockedCompareExchange(&Extension->DevicePowerOwed, Paid ? 0 : Owed, Owed | OWED_POWER_REQUESTED);
  KeSetEvent(&Extension->evOwedPowerDone, IO_NO_INCREMENT, FALSE);
}

/*
 * SendOwedDeviceRequest: asks the power manager for the claimed owed state.
 * The request holds a RemoveLock acquisition until its completion, so the
 * device object outlives it; a device going away is owed nothing.
 * IRQL <= DISPATCH_LEVEL, no driver lock held (the request may come back
 * through DispatchPower at once).  Callers: OwedDevicePowerWork,
 * PayOwedDevicePower.
 */
_Requires_no_locks_held_
static NTSTATUS SendOwedDeviceRequest(PDEVICE_OBJECT DeviceObject, LONG Owed) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  POWER_STATE state;

  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, LOCK_TAG);
  if (!NT_SUCCESS(status)) {
    EndOwedRequest(ext, Owed, TRUE);
    return status;
  }
  state.DeviceState = (DEVICE_POWER_STATE)Owed;
  status = PoRequestPowerIrp(ext->PhysicalDeviceObject, IRP_MN_SET_POWER, state,
                             CompletionRoutineOwedDevicePower, DeviceObject, NULL);
  if (!NT_SUCCESS(status)) {
    EndOwedRequest(ext, Owed, FALSE);
    IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  }
  return status;
}

/*
 * OwedDevicePowerWork: asks for the owed state claimed by
 * RetryOwedDevicePower, outside the locks its caller may hold; frees its
 * work item (the context).
 * PASSIVE_LEVEL, system worker thread.  Caller: the work queue.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static IO_WORKITEM_ROUTINE OwedDevicePowerWork;

_Use_decl_annotations_
static VOID NTAPI OwedDevicePowerWork(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  LONG current = ReadOwed(ext);

  if ((current & OWED_POWER_REQUESTED) != 0) {
    (void)SendOwedDeviceRequest(DeviceObject, current & ~OWED_POWER_REQUESTED);
  } else {
    // A system request replaced the claim; it asks for its own state.
    KeSetEvent(&ext->evOwedPowerDone, IO_NO_INCREMENT, FALSE);
  }
  IoFreeWorkItem((PIO_WORKITEM)Context);
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);  // taken by RetryOwedDevicePower
}

/*
 * RetryOwedDevicePower: see power.h.
 */
_Use_decl_annotations_
NTSTATUS RetryOwedDevicePower(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  LONG owed = ClaimOwedRequest(ext);

  if (owed == 0) {
    return STATUS_SUCCESS;
  }
  // The queued work owns a RemoveLock acquisition, so removal waits for it
  // rather than deleting the device under a queued work item.
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, LOCK_TAG);
  if (!NT_SUCCESS(status)) {
    EndOwedRequest(ext, owed, TRUE);  // a device going away is owed nothing
    return status;
  }
  PIO_WORKITEM workItem = IoAllocateWorkItem(DeviceObject);
  if (workItem == NULL) {
    IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
    EndOwedRequest(ext, owed, FALSE);  // still owed: the next caller tries again
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoQueueWorkItem(workItem, OwedDevicePowerWork, DelayedWorkQueue, workItem);
  return STATUS_SUCCESS;
}

/*
 * RecoverPortPower: see power.h.
 */
_Use_decl_annotations_
NTSTATUS RecoverPortPower(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  if (ReadShared(&ext->PowerRestartFailed) != 0) {
    return RetryPowerUpRestart(DeviceObject);
  }
  return RetryOwedDevicePower(DeviceObject);
}

/*
 * PayOwedDevicePower: see power.h.  A request already out is waited for
 * rather than doubled.
 */
_Use_decl_annotations_
NTSTATUS PayOwedDevicePower(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  LONG owed = ClaimOwedRequest(ext);

  if (owed != 0) {
    (void)SendOwedDeviceRequest(DeviceObject, owed);
  }
  if (ReadOwed(ext) != 0) {
    KeWaitForSingleObject(&ext->evOwedPowerDone, Executive, KernelMode, FALSE, NULL);
  }
  return ReadOwed(ext) == 0 ? STATUS_SUCCESS : STATUS_DEVICE_POWERED_OFF;
}

/*
 * CompletionRoutineOwedDevicePower: the device request for an owed state has
 * completed (CompletionRoutineDevicePowerIrp has recorded it and queued the
 * restart); the state is paid when it succeeded, else still owed.
 * IRQL <= DISPATCH_LEVEL, any thread.  Caller: the power manager.
 */
_Use_decl_annotations_
VOID NTAPI CompletionRoutineOwedDevicePower(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                            POWER_STATE PowerState, PVOID Context,
                                            PIO_STATUS_BLOCK IoStatus) {
  PDEVICE_OBJECT fdo = (PDEVICE_OBJECT)Context;
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)fdo->DeviceExtension;

  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  EndOwedRequest(ext, (LONG)PowerState.DeviceState, NT_SUCCESS(IoStatus->Status));
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
}

/*
 * EndSystemRequestUnserved: the device request for the system request could
 * not be asked for.  The system request still goes on up with the status the
 * devices below gave it: the power manager does not expect a set-power
 * request to fail, and failing it would not power the device up either.  A
 * state of more power is owed instead and asked for again at once, and
 * later by the requests that need the device and by the next open.
 * IRQL <= DISPATCH_LEVEL.  Caller: CompletionRoutineSystemPowerIrp.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS EndSystemRequestUnserved(PDEVICE_OBJECT DeviceObject, PIRP Irp, DEVICE_POWER_STATE Wanted) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  DbgPrint("[vr_mdm] device power request not made; device state %d owed\n", (int)Wanted);
  if (Wanted < ReadDeviceState(ext)) {
    InterlockedExchange(&ext->DevicePowerOwed, (LONG)Wanted);
    (void)RetryOwedDevicePower(DeviceObject);
  }
  PoStartNextPowerIrp(Irp);
  return Irp->IoStatus.Status;
}

/*
 * CompletionRoutineSystemPowerIrp: the devices below have completed the
 * system request.  On success, records the system state and asks the power
 * manager for the device request; the system request stays with the driver
 * until that completes.  When the device request cannot be asked for, the
 * system request goes on up as it is (EndSystemRequestUnserved).
 * IRQL <= DISPATCH_LEVEL, any thread.  Caller: the I/O manager.
 */
_Use_decl_annotations_
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
  deviceState.DeviceState = DeviceStateForSystemState(ext, ext->SystemPowerState);
  // This request asks for its own state: an older owed one, not being asked
  // for, is dropped.
  LONG owed = ReadOwed(ext);
  if ((owed & OWED_POWER_REQUESTED) == 0) {
    (void)InterlockedCompareExchange(&ext->DevicePowerOwed, 0, owed);
  }

  request = (PPOWER_REQUEST_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_REQUEST_CONTEXT),
                                                          POOL_TAG_DRIVER);
  if (request == NULL) {
    return EndSystemRequestUnserved(DeviceObject, Irp, deviceState.DeviceState);
  }
  request->DeviceObject = DeviceObject;
  request->SystemIrp = Irp;

  status = PoRequestPowerIrp(ext->PhysicalDeviceObject, stack->MinorFunction, deviceState,
                             CompletionRoutineDevicePowerRequest, request, NULL);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(request, POOL_TAG_DRIVER);
    return EndSystemRequestUnserved(DeviceObject, Irp, deviceState.DeviceState);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * CompletionRoutineDevicePowerRequest: the device request asked for by the
 * system request's completion has completed; the system request completes
 * with its status.
 * IRQL <= DISPATCH_LEVEL, any thread.  Caller: the power manager.
 */
_Use_decl_annotations_
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
_Use_decl_annotations_
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
_Use_decl_annotations_
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
