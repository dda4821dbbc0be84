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

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleSystemSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS HandleDeviceSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

NTSTATUS NTAPI CompletionRoutineSystemPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID NTAPI CompletionRoutineDevicePowerRequest(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                               POWER_STATE PowerState, PVOID Context,
                                               PIO_STATUS_BLOCK IoStatus);
VOID NTAPI CompletionRoutineOwedDevicePower(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                            POWER_STATE PowerState, PVOID Context, PIO_STATUS_BLOCK IoStatus);
NTSTATUS NTAPI CompletionRoutineDevicePowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The device state requested for a system state: the capabilities' entry,
// or, where the capabilities give none, D0 for the working state and D3 for
// every other.  Any IRQL.
DEVICE_POWER_STATE DeviceStateForSystemState(PDEVICE_EXTENSION Extension, SYSTEM_POWER_STATE SystemState);

// Added to DevicePowerOwed while a device request for the owed state is out.
constexpr LONG OWED_POWER_REQUESTED = 0x100;

// When a system request could not ask for the device state it needed to
// power up, that state is owed (DevicePowerOwed) and asked for again later.
// RetryOwedDevicePower queues a work item that asks for it, unless nothing is
// owed or a request is already out; it never waits.
// IRQL <= DISPATCH_LEVEL, any lock.  Callers: CompletionRoutineSystemPowerIrp
// and WaitingRequestRefusal.
NTSTATUS RetryOwedDevicePower(PDEVICE_OBJECT DeviceObject);

// Asks for the owed device state, if any, and waits for the answer.
// STATUS_SUCCESS when nothing is owed any more, STATUS_DEVICE_POWERED_OFF
// when the device is still not powered up.
// PASSIVE_LEVEL, no lock held.  Caller: DispatchCreate.
NTSTATUS PayOwedDevicePower(PDEVICE_OBJECT DeviceObject);
