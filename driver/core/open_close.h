// Open, cleanup and close of the port, and the worker threads that serve it
// while it is open.
#pragma once

#include "core/device_extension.h"

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Starts the read, wait-mask, bulk-IN polling and write threads, and the
// interrupt polling thread when the modem has an interrupt pipe.  On failure
// the threads already started are stopped and waited for before it returns
// the failing status, so no thread of a failed open survives it.
NTSTATUS StartWorkerThreads(PDEVICE_EXTENSION DeviceExtension);
