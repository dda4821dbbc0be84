// The serial device-control requests (IRP_MJ_DEVICE_CONTROL).
#pragma once

#include "core/device_extension.h"

_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchDeviceControl;

// Cancel routine of a control request while it waits for a send of its own
// (immediate character, line coding).
_Requires_lock_held_(_Global_cancel_spin_lock_)
_Releases_lock_(_Global_cancel_spin_lock_)
DRIVER_CANCEL ControlSendCancel;

// Handshake and flow-control record of the open port.  Each sets the request's
// Information itself; the dispatcher completes the request with the result.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS GetHandFlow(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PIRP Irp);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SetHandFlow(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PIRP Irp);

// Receive and transmit purge, in the order abort reads, abort writes, discard
// received data (SERIAL_PURGE_* bits).  PASSIVE_LEVEL, no lock held.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID PurgePort(PDEVICE_EXTENSION Extension, ULONG Mask);

// Stores new time-outs, giving a read with neither a total constant nor a
// multiplier a constant of its own.  No lock held.
_Requires_lock_not_held_(Extension->SpinLock)
VOID StoreTimeouts(PDEVICE_EXTENSION Extension, const SERIAL_TIMEOUTS* Timeouts);

// Default read total time-out when the client gives neither an interval nor
// a total constant.
constexpr ULONG DEFAULT_READ_TOTAL_TIMEOUT_MS = 10000;
