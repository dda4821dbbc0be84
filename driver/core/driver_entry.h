// The driver's lifetime routines: load, one device per modem, unload.
#pragma once

#include "core/device_extension.h"

EXTERN_C _IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_INITIALIZE DriverEntry;
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_ADD_DEVICE AddDevice;
_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_UNLOAD DriverUnload;

// The allocations a device record owns, by how long they live.
constexpr ULONG DEVICE_ALLOCATIONS_OPEN_PACKETS = 0x1;  // the pipe-read packets: open to cleanup
constexpr ULONG DEVICE_ALLOCATIONS_HANDFLOW = 0x2;      // the handshake record: open to close
constexpr ULONG DEVICE_ALLOCATIONS_DEVICE = 0x4;        // AddDevice (descriptors: start) to removal
constexpr ULONG DEVICE_ALLOCATIONS_ALL = 0x7;

// Frees the allocations of the groups in Which that the record holds, each
// with its tag, in the reverse order of their making, and clears their
// fields.  Nothing may be using them any more: the threads that read with
// the packets have ended, and for the device group no timer, DPC or request
// is left.  The handshake record is taken out under SpinLock.
// IRQL: PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID FreeDeviceAllocations(PDEVICE_EXTENSION Extension, ULONG Which);
