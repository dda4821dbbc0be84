// Read requests: the current read under its total time-out and the reads
// queued behind it.
#pragma once

#include "core/device_extension.h"

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI pReadFunction(PVOID Context);
VOID NTAPI ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
