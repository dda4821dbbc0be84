// Open, cleanup and close of the port, and the worker threads that serve it
// while it is open.
#pragma once

#include "core/device_extension.h"

_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchCreate;
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchCleanup;
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchClose;

// Starts the read, wait-mask, bulk-IN polling and write threads, and the
// interrupt polling thread when the modem has an interrupt pipe.  On failure
// the threads already started are stopped and waited for before it returns
// the failing status, so no thread of a failed open survives it.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartWorkerThreads(PDEVICE_EXTENSION DeviceExtension);

// The status with which a request that would wait on the port (a read, a
// write, a wait-on-mask or a removal notification) is refused now, or
// STATUS_SUCCESS when it may wait: STATUS_NOT_SUPPORTED once the device is
// removed, STATUS_ACCESS_DENIED with no open, STATUS_CANCELLED from the start
// of the handle's cleanup (what cleanup gives the requests it ends),
// STATUS_DEVICE_NOT_READY while a failed power-up restart leaves nothing to
// serve it, and STATUS_DEVICE_POWERED_OFF while a power-up the system request
// could not ask for is owed (each such refusal asks for it again).  Callers
// test it under the lock they queue under, so that removal and cleanup,
// which set their flags under that lock before they drain the queues, find
// every request admitted before them.
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS WaitingRequestRefusal(PDEVICE_EXTENSION Extension);
