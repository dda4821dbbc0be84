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
NTSTATUS NTAPI CompletionRoutineDevicePowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The device state requested for a system state: the capabilities' entry,
// or, where the capabilities give none, D0 for the working state and D3 for
// every other.  Any IRQL.
DEVICE_POWER_STATE DeviceStateForSystemState(PDEVICE_EXTENSION Extension, SYSTEM_POWER_STATE SystemState);
