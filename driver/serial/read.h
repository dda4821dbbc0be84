// Read requests: the current read under its total time-out, the reads
// queued behind it, and the locked request list that also holds the writes.
#pragma once

#include "core/device_extension.h"

// Request lists.  Each operation takes the list's own Lock, which nests
// inside the device SpinLock and never the other way round.
VOID RequestListInit(PREQUEST_LIST List);
BOOLEAN RequestListInsertTail(PREQUEST_LIST List, PIRP Irp);  // FALSE: no memory for the node
PREQUEST_NODE RequestListRemoveHead(PREQUEST_LIST List);      // caller frees the node (RequestNodeFree)
BOOLEAN RequestListIsEmpty(PREQUEST_LIST List);
BOOLEAN RequestListRemoveIrp(PREQUEST_LIST List, PIRP Irp);
VOID RequestNodeFree(PREQUEST_NODE Node);

// Ends the current read (STATUS_SUCCESS, no data) and every queued read, or
// every queued write, with STATUS_CANCELLED.  SpinLock not held.
VOID RequestListFlush(PDEVICE_EXTENSION Extension, PREQUEST_LIST List, BOOLEAN IsRead);

// Read-timer bookkeeping: ArmedTimerCount counts armings whose end (a
// cancelled timer, a dequeued DPC, or a DPC run) has not yet been counted.
VOID ArmReadTimer(PDEVICE_EXTENSION Extension, PKTIMER Timer, PKDPC Dpc, LARGE_INTEGER DueTime);
VOID DisarmReadTimer(PDEVICE_EXTENSION Extension, PKTIMER Timer, PKDPC Dpc, BOOLEAN Force);
VOID DecrementArmedTimerCount(PDEVICE_EXTENSION Extension);

// Due time (100 ns units, negative = relative) for a total time-out constant
// in milliseconds: 0 means 100 seconds; larger values wrap in 32 bits.
LARGE_INTEGER TotalTimeoutToDueTime(ULONG Milliseconds);

// Gives Irp its cancel routine unless it has already been cancelled, in
// which case nothing is set and FALSE is returned (the caller completes it).
BOOLEAN SetCancelRoutineUnlessCancelled(PIRP Irp, PDRIVER_CANCEL CancelRoutine);

NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI pReadFunction(PVOID Context);
VOID NTAPI ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2);
VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp);
