// The write path: writes are queued and sent to the modem one at a time, in
// arrival order, by the write thread, each under the write time-out.
#pragma once

#include "core/device_extension.h"

// The modem command whose value switches the CONNECT filter.
#define SUPPRESS_CONNECT_COMMAND "ATS7="
constexpr ULONG SUPPRESS_CONNECT_COMMAND_LENGTH = 5;

NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI pWriteFunction(PVOID Context);
NTSTATUS ZLKUSB_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Data, ULONG Length);
NTSTATUS NTAPI ZLKUSB_Write_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// The transmit abort of a purge: cancels the write on the bus, if any.  The
// write thread still owns that write and completes it when the bus gives it
// back (with the bus's status, STATUS_CANCELLED for a cancelled transfer),
// so the purge neither clears CurrentWriteIrp nor signals evWriteDone; it
// then flushes WriteQueue itself.  IRQL <= DISPATCH_LEVEL, SpinLock not held.
VOID AbortCurrentWrite(PDEVICE_EXTENSION Extension);
