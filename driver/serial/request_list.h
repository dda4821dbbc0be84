// Waiting client requests: the locked request list that holds the queued
// reads and the queued writes, the handshake that gives a waiting request
// its cancel routine, total time-outs, and the arming count of the read
// timer, which the flush of the read list ends with the current read.
#pragma once

#include "core/device_extension.h"

// Request lists.  Each operation takes the list's own Lock, which nests
// inside the device SpinLock and never the other way round.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RequestListInit(PREQUEST_LIST List);
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN RequestListInsertTail(PREQUEST_LIST List, PIRP Irp);  // FALSE: no memory for the node
_IRQL_requires_max_(DISPATCH_LEVEL)
PREQUEST_NODE RequestListRemoveHead(PREQUEST_LIST List);  // caller frees the node (RequestNodeFree)
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN RequestListIsEmpty(PREQUEST_LIST List);
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN RequestListRemoveIrp(PREQUEST_LIST List, PIRP Irp);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RequestNodeFree(PREQUEST_NODE Node);

// Ends the current read (STATUS_SUCCESS, no data) and every queued read, or
// every queued write, with STATUS_CANCELLED.  SpinLock not held.
_Requires_lock_not_held_(Extension->SpinLock)
VOID RequestListFlush(PDEVICE_EXTENSION Extension, PREQUEST_LIST List, BOOLEAN IsRead);

// Read-timer bookkeeping: ArmedTimerCount counts armings whose end (a
// cancelled timer, a dequeued DPC, or a DPC run) has not yet been counted.
_Requires_lock_held_(Extension->SpinLock)
VOID ArmReadTimer(PDEVICE_EXTENSION Extension, PKTIMER Timer, PKDPC Dpc, LARGE_INTEGER DueTime);
_Requires_lock_held_(Extension->SpinLock)
VOID DisarmReadTimer(PDEVICE_EXTENSION Extension, PKTIMER Timer, PKDPC Dpc, BOOLEAN Force);
_Requires_lock_held_(Extension->SpinLock)
VOID DecrementArmedTimerCount(PDEVICE_EXTENSION Extension);

// Takes the current read out of CurrentReadIrp (NULL when none).  SpinLock
// held, so the queue's head can be promoted in the same hold.
_Requires_lock_held_(Extension->SpinLock)
PIRP TakeCurrentRead(PDEVICE_EXTENSION Extension);

// Due time (100 ns units, negative = relative) for a total time-out constant
// in milliseconds: 0 means 100 seconds; larger values wrap in 32 bits.
_IRQL_requires_max_(HIGH_LEVEL)
LARGE_INTEGER TotalTimeoutToDueTime(ULONG Milliseconds);

// Gives Irp its cancel routine unless it has already been cancelled, in
// which case nothing is set and FALSE is returned (the caller completes it).
_Requires_lock_not_held_(_Global_cancel_spin_lock_)
BOOLEAN SetCancelRoutineUnlessCancelled(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
