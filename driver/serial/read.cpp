// Read requests.
//
// At most one read is current (CurrentReadIrp), timed by ReadTimer; later
// reads wait in ReadQueue in arrival order.  Four agents end a waiting read:
// pReadFunction and DispatchRead when data is there, ReadTimeoutDpc at the
// time-out, ReadCancelRoutine, and RequestListFlush (purge, thread stop).
//
// Locking: every agent, the cancel routine and the DPC included, looks at
// CurrentReadIrp and ReadQueue only while holding the device SpinLock, and
// the queue's head is promoted in the same hold in which the current read
// leaves, so CurrentReadIrp is NULL only while the queue is empty.  The
// cancel routine drops the cancel spin lock before it takes SpinLock (the
// write path calls IoCancelIrp under SpinLock).  An agent that takes a read
// out clears its cancel routine before touching it: finding the routine
// already gone, it leaves the read (and the ring's data) alone and the
// cancel routine, not finding the read current or queued, completes it.
//
// The timer: a DPC run that expired before its arming was disarmed may find
// the timer armed again for the next read.  KeSetTimer resets the timer's
// signal state, so a run that finds the timer not signalled (under SpinLock)
// knows its expiry is stale and leaves the current read alone.  Each arming
// is counted off exactly once: by the disarmer when it stopped the timer or
// pulled the DPC off the queue, otherwise by the DPC run itself, as its last
// act; so evTimersIdle means no DPC of ours is left to run.
#include "serial/read.h"

#include "core/dispatch.h"
#include "serial/ringbuf.h"
#include "serial/waitmask.h"

// Reads a flag that other threads set with interlocked operations, as one
// atomic access.
static LONG ReadShared(volatile void* Value) { return InterlockedOr((LONG volatile*)Value, 0); }

static PREQUEST_NODE ListHead(PREQUEST_LIST List) { return (PREQUEST_NODE)List; }

static VOID LinkBefore(PREQUEST_NODE Position, PREQUEST_NODE Node) {
  Node->Next = Position;
  Node->Prev = Position->Prev;
  Position->Prev->Next = Node;
  Position->Prev = Node;
}

static VOID Unlink(PREQUEST_NODE Node) {
  Node->Prev->Next = Node->Next;
  Node->Next->Prev = Node->Prev;
}

/*
 * RequestListInit: makes List an empty list.
 * IRQL <= DISPATCH_LEVEL.  Called by the open path for both queues.
 */
VOID RequestListInit(PREQUEST_LIST List) {
  List->Next = ListHead(List);
  List->Prev = ListHead(List);
  KeInitializeSpinLock(&List->Lock);
}

/*
 * RequestListInsertTail: appends Irp in a new node (non-paged, "WRQ1").
 * FALSE when no node could be had; the list is then unchanged.
 * IRQL <= DISPATCH_LEVEL.  Called by DispatchRead (under SpinLock) and
 * DispatchWrite.
 */
BOOLEAN RequestListInsertTail(PREQUEST_LIST List, PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&List->Lock, &irql);
  PREQUEST_NODE node =
      (PREQUEST_NODE)ExAllocatePoolWithTag(NonPagedPool, sizeof(REQUEST_NODE), POOL_TAG_REQUEST_NODE);
  if (node != NULL) {
    node->Irp = Irp;
    LinkBefore(ListHead(List), node);
  }
  KeReleaseSpinLock(&List->Lock, irql);
  return node != NULL;
}

/*
 * RequestListRemoveHead: unlinks and returns the oldest node, NULL when the
 * list is empty.  The caller frees the node with RequestNodeFree.
 * IRQL <= DISPATCH_LEVEL.  Called by promotion, the flush and pWriteFunction.
 */
PREQUEST_NODE RequestListRemoveHead(PREQUEST_LIST List) {
  KIRQL irql;
  KeAcquireSpinLock(&List->Lock, &irql);
  PREQUEST_NODE node = List->Next;
  if (node == ListHead(List)) {
    node = NULL;
  } else {
    Unlink(node);
  }
  KeReleaseSpinLock(&List->Lock, irql);
  return node;
}

/*
 * RequestListIsEmpty: TRUE when the list holds no request.
 * IRQL <= DISPATCH_LEVEL.  Called by DispatchRead and pWriteFunction.
 */
BOOLEAN RequestListIsEmpty(PREQUEST_LIST List) {
  KIRQL irql;
  KeAcquireSpinLock(&List->Lock, &irql);
  BOOLEAN empty = List->Next == ListHead(List);
  KeReleaseSpinLock(&List->Lock, irql);
  return empty;
}

/*
 * RequestListRemoveIrp: takes Irp's node out of the list, the others keeping
 * their order (queued reads are served in the order they came, so a
 * cancellation must not reorder them).  FALSE when Irp is not in the list,
 * which is then unchanged.
 * IRQL <= DISPATCH_LEVEL.  Called by ReadCancelRoutine.
 */
BOOLEAN RequestListRemoveIrp(PREQUEST_LIST List, PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&List->Lock, &irql);
  PREQUEST_NODE head = ListHead(List);
  PREQUEST_NODE node = head->Next;
  while (node != head && node->Irp != Irp) {
    node = node->Next;
  }
  BOOLEAN found = node != head;
  if (found) {
    Unlink(node);
    ExFreePoolWithTag(node, POOL_TAG_REQUEST_NODE);
  }
  KeReleaseSpinLock(&List->Lock, irql);
  return found;
}

/*
 * RequestNodeFree: returns a node taken off a list to the pool.
 * IRQL <= DISPATCH_LEVEL.  Called by whoever unlinked the node.
 */
VOID RequestNodeFree(PREQUEST_NODE Node) { ExFreePoolWithTag(Node, POOL_TAG_REQUEST_NODE); }

/*
 * TotalTimeoutToDueTime: due time for a read or write total time-out
 * constant in milliseconds.  0 stands for 100 seconds.  Other values are
 * multiplied by -10,000 in 32 bits, wrapping, and widened with their sign,
 * so very large constants become short or already-past absolute times.
 * IRQL: any.  Called by DispatchRead and pWriteFunction.
 */
LARGE_INTEGER TotalTimeoutToDueTime(ULONG Milliseconds) {
  LARGE_INTEGER due;
  if (Milliseconds == 0) {
    due.QuadPart = -1000000000LL;
  } else {
    ULONG product = Milliseconds * (0u - 10000u);
    due.QuadPart = (LONGLONG)(LONG)product;
  }
  return due;
}

/*
 * SetCancelRoutineUnlessCancelled: sets CancelRoutine on Irp under the
 * cancel spin lock, so a cancellation either came before (FALSE: nothing
 * set, the caller completes Irp as cancelled) or will find the routine.
 * IRQL <= DISPATCH_LEVEL; may be called holding SpinLock (which is always
 * taken before the cancel spin lock).  Called when a read or a wait request
 * is about to wait.
 */
BOOLEAN SetCancelRoutineUnlessCancelled(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  BOOLEAN cancelled = Irp->Cancel;
  if (!cancelled) {
    (void)IoSetCancelRoutine(Irp, CancelRoutine);
  }
  IoReleaseCancelSpinLock(cancelIrql);
  return !cancelled;
}

/*
 * DecrementArmedTimerCount: counts off one arming of the read timer and
 * signals evTimersIdle when none is left.
 * IRQL <= DISPATCH_LEVEL.  Called by DisarmReadTimer and ReadTimeoutDpc.
 */
VOID DecrementArmedTimerCount(PDEVICE_EXTENSION Extension) {
  if (InterlockedDecrement(&Extension->ArmedTimerCount) == 0) {
    KeSetEvent(&Extension->evTimersIdle, IO_NO_INCREMENT, FALSE);
  }
}

/*
 * ArmReadTimer: counts one arming and sets the timer.
 * IRQL <= DISPATCH_LEVEL, SpinLock held.  Called when a read becomes current.
 */
VOID ArmReadTimer(PDEVICE_EXTENSION Extension, PKTIMER Timer, PKDPC Dpc, LARGE_INTEGER DueTime) {
  InterlockedIncrement(&Extension->ArmedTimerCount);
  KeSetTimer(Timer, DueTime, Dpc);
}

/*
 * DisarmReadTimer: ends the arming of the current read.  The timer is
 * cancelled when Force is set or it has not expired; if that stops it, or
 * its DPC is taken off the DPC queue, the arming is counted off here.
 * Otherwise the DPC is already running and counts the arming off itself.
 * IRQL <= DISPATCH_LEVEL, SpinLock held.  Called by every agent that takes
 * the current read other than the timer's own DPC.
 */
VOID DisarmReadTimer(PDEVICE_EXTENSION Extension, PKTIMER Timer, PKDPC Dpc, BOOLEAN Force) {
  BOOLEAN stopped = FALSE;
  if (Timer != NULL && (Force || !KeReadStateTimer(Timer))) {
    stopped = KeCancelTimer(Timer);
  }
  if (!stopped && Dpc != NULL) {
    stopped = KeRemoveQueueDpc(Dpc);
  }
  if (stopped) {
    DecrementArmedTimerCount(Extension);
  }
}

static PIRP TakeCurrentRead(PDEVICE_EXTENSION Extension) {
  return (PIRP)InterlockedExchangePointer((PVOID volatile*)&Extension->CurrentReadIrp, NULL);
}

// Moves unread bytes into the read's buffer; never issues a Get on an empty
// ring or into a missing buffer.  SpinLock held.
static ULONG CopyFromRing(PDEVICE_EXTENSION Extension, PIRP Irp) {
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
  PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  if (length == 0 || buffer == NULL || RingBufferCount(Extension->RingBuffer) == 0) {
    return 0;
  }
  return RingBufferGet(Extension->RingBuffer, buffer, length);
}

// Makes the oldest queued read current and arms its timer with
// ReadDueTime, if no read is current.  SpinLock held.
static VOID PromoteNextRead(PDEVICE_EXTENSION Extension) {
  if (Extension->CurrentReadIrp != NULL) {
    return;
  }
  PREQUEST_NODE node = RequestListRemoveHead(&Extension->ReadQueue);
  if (node == NULL) {
    return;
  }
  PIRP irp = node->Irp;
  RequestNodeFree(node);
  InterlockedExchangePointer((PVOID volatile*)&Extension->CurrentReadIrp, irp);
  if (Extension->ReadTimer != NULL && Extension->ReadTimerDpc != NULL) {
    ArmReadTimer(Extension, Extension->ReadTimer, Extension->ReadTimerDpc, Extension->ReadDueTime);
  }
}

// Completes the current read with what the ring holds and promotes the next
// one.  Entered and left holding SpinLock at *Irql; drops it around the
// completion.
static VOID ServeCurrentRead(PDEVICE_EXTENSION Extension, PKIRQL Irql) {
  PIRP irp = TakeCurrentRead(Extension);
  if (irp == NULL) {
    return;
  }
  DisarmReadTimer(Extension, Extension->ReadTimer, Extension->ReadTimerDpc, TRUE);
  BOOLEAN owned = IoSetCancelRoutine(irp, NULL) != NULL;
  if (owned) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = CopyFromRing(Extension, irp);
  }
  PromoteNextRead(Extension);
  if (!owned) {
    return;
  }
  KeReleaseSpinLock(&Extension->SpinLock, *Irql);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  KeAcquireSpinLock(&Extension->SpinLock, Irql);
}

static NTSTATUS FailRead(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

/*
 * DispatchRead: IRP_MJ_READ.  Completes at once with the ring's data when no
 * read waits ahead; otherwise the read becomes current under its total
 * time-out or joins the queue, pending.  While an event character waits to
 * be reported, a new read takes no data here.
 * IRQL: PASSIVE_LEVEL..APC_LEVEL.  Called by the I/O manager.
 */
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  if (ReadShared(&ext->DeviceRemoved) != 0) {
    return FailRead(Irp, STATUS_NOT_SUPPORTED);
  }
  if (ReadShared(&ext->DeviceOpened) == 0) {
    return FailRead(Irp, STATUS_ACCESS_DENIED);
  }
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    return FailRead(Irp, status);
  }
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length != 0 &&
      Irp->AssociatedIrp.SystemBuffer == NULL) {
    IoReleaseRemoveLock(&ext->RemoveLock, Irp);
    return FailRead(Irp, STATUS_INVALID_PARAMETER);
  }

  KIRQL irql;
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  BOOLEAN flagPending = (ext->WaitMask & SERIAL_EV_RXFLAG) != 0 && ext->RxFlagSeen != 0;
  if (!flagPending) {
    BOOLEAN hasData = RingBufferCount(ext->RingBuffer) != 0;
    if (ext->CurrentReadIrp == NULL && RequestListIsEmpty(&ext->ReadQueue)) {
      ULONG copied = hasData ? CopyFromRing(ext, Irp) : 0;
      if (copied != 0) {
        KeReleaseSpinLock(&ext->SpinLock, irql);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = copied;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        IoReleaseRemoveLock(&ext->RemoveLock, Irp);
        return STATUS_SUCCESS;
      }
    } else if (hasData && ext->CurrentReadIrp != NULL) {
      // The read ahead takes the data; this one waits behind whatever is
      // current after the promotion.
      ServeCurrentRead(ext, &irql);
    }
  }

  LARGE_INTEGER due = TotalTimeoutToDueTime(ext->Timeouts.ReadTotalTimeoutConstant);
  if (ext->ReadTimer == NULL || ext->ReadTimerDpc == NULL) {
    status = STATUS_UNSUCCESSFUL;
  } else if (!SetCancelRoutineUnlessCancelled(Irp, ReadCancelRoutine)) {
    status = STATUS_CANCELLED;
  } else {
    status = STATUS_PENDING;
    IoMarkIrpPending(Irp);
    if (ext->CurrentReadIrp != NULL) {
      if (!RequestListInsertTail(&ext->ReadQueue, Irp)) {
        if (IoSetCancelRoutine(Irp, NULL) != NULL) {
          IoGetCurrentIrpStackLocation(Irp)->Control &= ~SL_PENDING_RETURNED;
          status = STATUS_INSUFFICIENT_RESOURCES;
        }
        // else: being cancelled; ReadCancelRoutine completes it.
      }
    } else {
      InterlockedExchangePointer((PVOID volatile*)&ext->CurrentReadIrp, Irp);
      ArmReadTimer(ext, ext->ReadTimer, ext->ReadTimerDpc, due);
      ext->ReadDueTime = due;
    }
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);
  if (status != STATUS_PENDING) {
    FailRead(Irp, status);
  }
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}

/*
 * pReadFunction: every millisecond serves the receive events of the head
 * wait request, then completes the current read if the ring holds data.  On
 * its stop event it ends the head wait request and every read; when it finds
 * the device removed it ends, leaving the reads to their timers and cancel.
 * IRQL: PASSIVE_LEVEL (system thread).  Started by the open path.
 */
VOID NTAPI pReadFunction(PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Context;
  PVOID lockTag = (PVOID)(ULONG_PTR)REMOVE_LOCK_TAG;

  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  if (!NT_SUCCESS(IoAcquireRemoveLock(&ext->RemoveLock, lockTag))) {
    return;
  }
  for (;;) {
    LARGE_INTEGER period;
    period.QuadPart = -10000;  // 1 ms
    if (KeWaitForSingleObject(&ext->evKill_pReadFunction, Executive, KernelMode, FALSE, &period) ==
        STATUS_SUCCESS) {
      WaitQueueCompleteHead(ext);
      RequestListFlush(ext, &ext->ReadQueue, TRUE);
      break;
    }
    CheckReceiveEvents(ext);
    if (ReadShared(&ext->DeviceRemoved) != 0) {
      break;
    }
    KIRQL irql;
    KeAcquireSpinLock(&ext->SpinLock, &irql);
    if (ext->CurrentReadIrp != NULL && RingBufferCount(ext->RingBuffer) != 0) {
      ServeCurrentRead(ext, &irql);
    }
    KeReleaseSpinLock(&ext->SpinLock, irql);
  }
  IoReleaseRemoveLock(&ext->RemoveLock, lockTag);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

/*
 * ReadTimeoutDpc: the current read's total time-out has passed: completes it
 * with STATUS_SUCCESS and whatever the ring holds (possibly nothing) and
 * promotes the next read.  A stale run (see the top of this file) changes
 * nothing but the count.
 * IRQL: DISPATCH_LEVEL.  Called through ReadTimer.
 */
VOID NTAPI ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeferredContext;

  KeAcquireSpinLockAtDpcLevel(&ext->SpinLock);
  PIRP irp = NULL;
  if (ext->ReadTimer != NULL && KeReadStateTimer(ext->ReadTimer)) {
    irp = TakeCurrentRead(ext);
  }
  if (irp != NULL && irp->Type != IO_TYPE_IRP) {
    irp = NULL;
  }
  BOOLEAN owned = FALSE;
  if (irp != NULL) {
    owned = IoSetCancelRoutine(irp, NULL) != NULL;
    if (owned) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = CopyFromRing(ext, irp);
    }
    PromoteNextRead(ext);
  }
  KeReleaseSpinLockFromDpcLevel(&ext->SpinLock);
  if (owned) {
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  DecrementArmedTimerCount(ext);
}

/*
 * ReadCancelRoutine: cancel routine of waiting reads.  Takes the read out of
 * CurrentReadIrp (disarming its timer and promoting the next read) or out of
 * ReadQueue; if it is in neither, another agent took it and left it here.
 * Completes it with STATUS_CANCELLED in every case.
 * IRQL: DISPATCH_LEVEL, entered holding the cancel spin lock.  Called by the
 * I/O manager through IoCancelIrp.
 */
VOID NTAPI ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  IoReleaseCancelSpinLock(Irp->CancelIrql);

  KIRQL irql;
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  if (InterlockedCompareExchangePointer((PVOID volatile*)&ext->CurrentReadIrp, NULL, Irp) == Irp) {
    DisarmReadTimer(ext, ext->ReadTimer, ext->ReadTimerDpc, TRUE);
    PromoteNextRead(ext);
  } else {
    RequestListRemoveIrp(&ext->ReadQueue, Irp);
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);

  FailRead(Irp, STATUS_CANCELLED);
}

/*
 * RequestListFlush: ends the requests of a list.  For the read list the
 * current read ends first, with STATUS_SUCCESS and no data; every queued
 * request ends with STATUS_CANCELLED (a purged write is also counted off
 * PendingWriteCount).  Reads already claimed by their cancel routine are
 * left to it.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Called by the purge and by the
 * stops of pReadFunction and pWriteFunction.
 */
VOID RequestListFlush(PDEVICE_EXTENSION Extension, PREQUEST_LIST List, BOOLEAN IsRead) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  if (IsRead) {
    PIRP irp = TakeCurrentRead(Extension);
    if (irp != NULL) {
      DisarmReadTimer(Extension, Extension->ReadTimer, Extension->ReadTimerDpc, TRUE);
      if (IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&Extension->SpinLock, irql);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeAcquireSpinLock(&Extension->SpinLock, &irql);
      }
    }
  }
  for (;;) {
    PREQUEST_NODE node = RequestListRemoveHead(List);
    if (node == NULL) {
      break;
    }
    PIRP irp = node->Irp;
    RequestNodeFree(node);
    // Queued writes carry no cancel routine; a read without one is being
    // cancelled and belongs to ReadCancelRoutine.
    BOOLEAN owned = IoSetCancelRoutine(irp, NULL) != NULL || !IsRead;
    if (!IsRead) {
      InterlockedDecrement(&Extension->PendingWriteCount);
    }
    if (owned) {
      KeReleaseSpinLock(&Extension->SpinLock, irql);
      FailRead(irp, STATUS_CANCELLED);
      KeAcquireSpinLock(&Extension->SpinLock, &irql);
    }
  }
  KeReleaseSpinLock(&Extension->SpinLock, irql);
}
