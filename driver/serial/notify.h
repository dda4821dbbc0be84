// The removal-notification request: a client parks one request and gets it
// back, with a reason code, when the modem is surprise-removed.
#pragma once

#include "core/device_extension.h"

// Private control code: FILE_DEVICE_UNKNOWN, function 0x800, buffered, any
// access.  The output is one ULONG reason code.
#define IOCTL_REMOVAL_NOTIFY CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define REMOVAL_NOTIFY_SURPRISE_REMOVED 1UL  // the modem is gone
#define REMOVAL_NOTIFY_ALREADY_PARKED 2UL    // another request holds the slot

// Parks Irp in NotifyIrp, or refuses it when the slot is taken.  Called by the
// dispatcher holding one RemoveLock acquisition tagged with Irp; a parked
// request keeps it.  Returns STATUS_PENDING when the request was taken.
NTSTATUS ParkNotifyIrp(PDEVICE_EXTENSION Extension, PIRP Irp);

// Cancel routine of the parked request.
VOID NTAPI CancelNotifyIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Surprise removal (core/pnp.cpp) hands the parked request back itself: it
// reads and empties the slot under the cancel spin lock and owns the request
// only if it takes the cancel routine away, releasing the RemoveLock with
// REMOVE_LOCK_TAG.  The routines here keep to the same rules.
