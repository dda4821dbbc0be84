// The serial device-control requests (IRP_MJ_DEVICE_CONTROL).
#pragma once

#include "core/device_extension.h"

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Handshake and flow-control record of the open port.  Each sets the request's
// Information itself; the dispatcher completes the request with the result.
NTSTATUS GetHandFlow(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PIRP Irp);
NTSTATUS SetHandFlow(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PIRP Irp);

// Receive and transmit purge, in the order abort reads, abort writes, discard
// received data (SERIAL_PURGE_* bits).  PASSIVE_LEVEL, no lock held.
VOID PurgePort(PDEVICE_EXTENSION Extension, ULONG Mask);

// Stores new time-outs, giving a read with neither a total constant nor a
// multiplier a constant of its own.  No lock held.
VOID StoreTimeouts(PDEVICE_EXTENSION Extension, const SERIAL_TIMEOUTS* Timeouts);

// Default read total time-out when the client gives neither an interval nor
// a total constant.
constexpr ULONG DEFAULT_READ_TOTAL_TIMEOUT_MS = 10000;
