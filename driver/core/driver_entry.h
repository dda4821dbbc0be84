// The driver's lifetime routines: load, one device per modem, unload.
#pragma once

#include "core/device_extension.h"

EXTERN_C _IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_INITIALIZE DriverEntry;
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_ADD_DEVICE AddDevice;
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_UNLOAD DriverUnload;
