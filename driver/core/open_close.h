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

// Waits for every worker thread of the port to end and drops the
// references the open took on them, in the order read, polling, write,
// wait-mask, interrupt; a field with no thread is skipped.  The threads
// have been told to stop.  PASSIVE_LEVEL.  Callers: cleanup, and removal
// for a port whose handle never cleaned up.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID DropWorkerThreads(PDEVICE_EXTENSION Extension);
