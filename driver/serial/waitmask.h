// Wait-on-mask requests and the modem-status image.
//
// Pending IOCTL_SERIAL_WAIT_ON_MASK requests wait in a fixed circular queue
// in the device extension (WAIT_IRP_QUEUE_SLOTS slots, one always free).
// Every routine that looks at the queue or at ModemStatus does so holding
// the device SpinLock; a request leaves the queue for good only through the
// side that clears its cancel routine first.
#pragma once

#include "core/device_extension.h"

// ModemStatus bits (serial modem-status register layout).
constexpr ULONG MODEM_STATUS_DSR_CHANGED = 0x02;
constexpr ULONG MODEM_STATUS_DCD_CHANGED = 0x08;
constexpr ULONG MODEM_STATUS_DSR = 0x20;
constexpr ULONG MODEM_STATUS_DCD = 0x80;

// Queue primitives.  Callers hold SpinLock.
_Requires_lock_held_(Extension->SpinLock)
BOOLEAN WaitQueueInsert(PDEVICE_EXTENSION Extension, PIRP Irp);  // FALSE: queue full, nothing changed
_Requires_lock_held_(Extension->SpinLock)
PIRP WaitQueueRemove(PDEVICE_EXTENSION Extension);  // NULL when empty
_Requires_lock_held_(Extension->SpinLock)
ULONG WaitQueueCount(PDEVICE_EXTENSION Extension);  // 0..WAIT_IRP_QUEUE_MAX

// Takes a new wait-on-mask request: queues it with CancelWaitIrp and returns
// STATUS_PENDING, or completes it (queue full, output too short, already
// cancelled) and returns the status it completed it with.  The caller has
// not marked it pending.  PASSIVE_LEVEL..DISPATCH_LEVEL, SpinLock not held.
_Requires_lock_not_held_(Extension->SpinLock)
NTSTATUS WaitQueueAddRequest(PDEVICE_EXTENSION Extension, PIRP Irp);

// Completes the head request with event word 0, STATUS_SUCCESS, 4 bytes, no
// boost (wait-mask change, thread stops).  TRUE when one was completed.
// SpinLock not held.
_Requires_lock_not_held_(Extension->SpinLock)
BOOLEAN WaitQueueCompleteHead(PDEVICE_EXTENSION Extension);

// Completes every queued request with Status (STATUS_CANCELLED at cleanup and
// surprise removal), no event word, in queue order.  SpinLock not held.
_Requires_lock_not_held_(Extension->SpinLock)
VOID WaitQueueEndAll(PDEVICE_EXTENSION Extension, NTSTATUS Status);

// The client's new wait mask: ends the head request with no events, adds
// Mask to WaitMask (0 clears it) and forgets the line changes kept so far.
// SpinLock not held.
_Requires_lock_not_held_(Extension->SpinLock)
VOID ChangeWaitMask(PDEVICE_EXTENSION Extension, ULONG Mask);

// The event rules, applied to the head request.
_Requires_lock_not_held_(Extension->SpinLock)
VOID EvaluateWaitMask(PDEVICE_EXTENSION Extension);
// The receive-only variant the read-service thread runs every pass.
_Requires_lock_not_held_(Extension->SpinLock)
VOID CheckReceiveEvents(PDEVICE_EXTENSION Extension);

_IRQL_requires_max_(PASSIVE_LEVEL)
KSTART_ROUTINE pWaitMaskFunction;
_Requires_lock_held_(_Global_cancel_spin_lock_)
_Releases_lock_(_Global_cancel_spin_lock_)
DRIVER_CANCEL CancelWaitIrp;

// Folds new DSR (0x20) and DCD (0x80) line states into ModemStatus; other
// bits of LineBits are ignored.  A change whose event the wait mask holds
// stays pending for the wait-on-mask rules until one reports it or a new
// mask is set.  SpinLock not held.
_Requires_lock_not_held_(Extension->SpinLock)
VOID UpdateModemStatus(PDEVICE_EXTENSION Extension, ULONG LineBits);
