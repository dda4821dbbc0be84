// The routines DriverEntry installs in the driver object, and the read
// timer's DPC routine that AddDevice binds to each device.  Each lives in the
// file of its own concern.
#pragma once

#include "core/device_extension.h"

_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchSystemControl;
_IRQL_requires_max_(DISPATCH_LEVEL)
DRIVER_DISPATCH DispatchPower;
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchCreate;
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchClose;
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchCleanup;
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchDeviceControl;
_IRQL_requires_max_(APC_LEVEL)
DRIVER_DISPATCH DispatchWrite;
_IRQL_requires_max_(APC_LEVEL)
DRIVER_DISPATCH DispatchRead;
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchPnp;

// Total time-out of the current read; DeferredContext is the DEVICE_EXTENSION.
_IRQL_requires_(DISPATCH_LEVEL)
KDEFERRED_ROUTINE ReadTimeoutDpc;
