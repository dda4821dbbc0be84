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
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ParkNotifyIrp(PDEVICE_EXTENSION Extension, PIRP Irp);

// Cancel routine of the parked request.
_Requires_lock_held_(_Global_cancel_spin_lock_)
_Releases_lock_(_Global_cancel_spin_lock_)
DRIVER_CANCEL CancelNotifyIrp;

// Ends the parked request, if any, exactly once: with STATUS_SUCCESS and the
// reason REMOVAL_NOTIFY_SURPRISE_REMOVED (surprise removal), or with another
// status and no data (STATUS_CANCELLED at cleanup).  Whoever takes the cancel
// routine away owns the completion: a request whose cancel routine already
// runs is left to it.  The request's RemoveLock acquisition goes with it.
// PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID EndParkedNotifyIrp(PDEVICE_EXTENSION Extension, NTSTATUS Status);
