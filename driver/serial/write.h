// The write path: writes are queued and sent to the modem one at a time, in
// arrival order, by the write thread, each under the write time-out.
#pragma once

#include "core/device_extension.h"

// The modem command whose value switches the CONNECT filter.
#define SUPPRESS_CONNECT_COMMAND "ATS7="
constexpr ULONG SUPPRESS_CONNECT_COMMAND_LENGTH = 5;

_IRQL_requires_max_(APC_LEVEL)
DRIVER_DISPATCH DispatchWrite;
_IRQL_requires_max_(PASSIVE_LEVEL)
KSTART_ROUTINE pWriteFunction;
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Data, ULONG Length);
_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE ZLKUSB_Write_Complete;
_Requires_lock_held_(_Global_cancel_spin_lock_)
_Releases_lock_(_Global_cancel_spin_lock_)
DRIVER_CANCEL WriteCancelRoutine;

// The transmit abort of a purge: cancels the write on the bus, if any, and
// the one made ready to follow it, which then never goes.  The write thread
// still owns those writes and completes them (the one on the bus when the
// bus gives it back, with the bus's status, STATUS_CANCELLED for a cancelled
// transfer), so the purge neither clears CurrentWriteIrp nor signals
// evWriteDone; it then flushes WriteQueue itself.  IRQL <= DISPATCH_LEVEL,
// SpinLock not held.
_Requires_lock_not_held_(Extension->SpinLock)
VOID AbortCurrentWrite(PDEVICE_EXTENSION Extension);
