// Power requests: a system set-power request becomes a device set-power
// request for the state the device capabilities map it to; a device
// set-power request is recorded on its way back up.
#pragma once

#include "core/device_extension.h"

// Carries a system set-power request while its device request runs.
// Non-paged, tag "Wdm "; allocated by CompletionRoutineSystemPowerIrp, freed
// by CompletionRoutineDevicePowerRequest.
typedef struct _POWER_REQUEST_CONTEXT {
  PDEVICE_OBJECT DeviceObject;
  PIRP SystemIrp;
} POWER_REQUEST_CONTEXT, *PPOWER_REQUEST_CONTEXT;

_IRQL_requires_max_(DISPATCH_LEVEL)
DRIVER_DISPATCH DispatchPower;
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE CompletionRoutineSystemPowerIrp;
_IRQL_requires_max_(DISPATCH_LEVEL)
REQUEST_POWER_COMPLETE CompletionRoutineDevicePowerRequest;
_IRQL_requires_max_(DISPATCH_LEVEL)
REQUEST_POWER_COMPLETE CompletionRoutineOwedDevicePower;
_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE CompletionRoutineDevicePowerIrp;

// The device state requested for a system state: the capabilities' entry,
// or, where the capabilities give none, D0 for the working state and D3 for
// every other.  Any IRQL.
_IRQL_requires_max_(DISPATCH_LEVEL)
DEVICE_POWER_STATE DeviceStateForSystemState(PDEVICE_EXTENSION Extension, SYSTEM_POWER_STATE SystemState);

// Added to DevicePowerOwed while a device request for the owed state is out.
constexpr LONG OWED_POWER_REQUESTED = 0x100;

// When a system request could not ask for the device state it needed to
// power up, that state is owed (DevicePowerOwed) and asked for again later.
// RetryOwedDevicePower queues a work item that asks for it, unless nothing is
// owed or a request is already out; it never waits.
// IRQL <= DISPATCH_LEVEL, any lock.  Callers: CompletionRoutineSystemPowerIrp
// and RecoverPortPower.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS RetryOwedDevicePower(PDEVICE_OBJECT DeviceObject);

// The record's RecoverPort (PORT_RECOVERY_ROUTINE): asks again for the
// power-up restart when it failed, else for the device state owed, if any.
// IRQL <= DISPATCH_LEVEL, any lock.  Caller: WaitingRequestRefusal, through
// the record.
_IRQL_requires_max_(DISPATCH_LEVEL)
PORT_RECOVERY_ROUTINE RecoverPortPower;

// Asks for the owed device state, if any, and waits for the answer.
// STATUS_SUCCESS when nothing is owed any more, STATUS_DEVICE_POWERED_OFF
// when the device is still not powered up.
// PASSIVE_LEVEL, no lock held.  Caller: DispatchCreate.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS PayOwedDevicePower(PDEVICE_OBJECT DeviceObject);
