// Waiting client requests: the request lists, the cancel-routine handshake,
// total time-outs and the arming count of the read timer.
//
// A list's Lock guards its links only; callers that must see a list and the
// current read together (the read path, the flush) hold the device SpinLock
// around the list operations, which take Lock inside it.
#include "serial/request_list.h"

#include "core/request.h"

_IRQL_requires_max_(HIGH_LEVEL)
static PREQUEST_NODE ListHead(PREQUEST_LIST List) { return (PREQUEST_NODE)List; }

_Requires_lock_held_(List->Lock)
static VOID LinkBefore(PREQUEST_NODE Position, PREQUEST_NODE Node) {
  Node->Next = Position;
  Node->Prev = Position->Prev;
  Position->Prev->Next = Node;
  Position->Prev = Node;
}

_Requires_lock_held_(List->Lock)
static VOID Unlink(PREQUEST_NODE Node) {
  Node->Prev->Next = Node->Next;
  Node->Next->Prev = Node->Prev;
}

/*
 * RequestListInit: makes List an empty list.
 * IRQL <= DISPATCH_LEVEL.  Called by the open path for both queues.
 */
_Use_decl_annotations_
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
_Use_decl_annotations_
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
_IRQL_requires_max_(DISPATCH_LEVEL)
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
_IRQL_requires_max_(DISPATCH_LEVEL)
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
_Use_decl_annotations_
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
_Use_decl_annotations_
VOID RequestNodeFree(PREQUEST_NODE Node) { ExFreePoolWithTag(Node, POOL_TAG_REQUEST_NODE); }

/*
 * TotalTimeoutToDueTime: relative due time for a read or write total
 * time-out constant in milliseconds; 0 stands for 100 seconds.  Formed in 64
 * bits: every ULONG of milliseconds is a due time that far ahead.
 * IRQL: any.  Called by the read and write paths and the immediate character.
 */
_Use_decl_annotations_
LARGE_INTEGER TotalTimeoutToDueTime(ULONG Milliseconds) {
  LARGE_INTEGER due;
  if (Milliseconds == 0) {
    due.QuadPart = -1000000000LL;
  } else {
    due.QuadPart = -(LONGLONG)Milliseconds * 10000;
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
_Use_decl_annotations_
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
 * DecrementArmedTimerCount: ends the outstanding arming of the read timer,
 * if there is one, and signals evTimersIdle.  Under SpinLock, so the count
 * and the event always agree and an arming is never ended twice.
 * IRQL: DISPATCH_LEVEL, SpinLock held.  Called by DisarmReadTimer and
 * ReadTimeoutDpc.
 */
_Use_decl_annotations_
VOID DecrementArmedTimerCount(PDEVICE_EXTENSION Extension) {
  if (InterlockedCompareExchange(&Extension->ArmedTimerCount, 0, 0) == 0) {
    return;
  }
  if (InterlockedDecrement(&Extension->ArmedTimerCount) == 0) {
    KeSetEvent(&Extension->evTimersIdle, IO_NO_INCREMENT, FALSE);
  }
}

/*
 * ArmReadTimer: counts the arming of the read that just became current and
 * sets the timer.  The timer is idle until that arming ends.
 * IRQL: DISPATCH_LEVEL, SpinLock held.  Called when a read becomes current.
 */
_Use_decl_annotations_
VOID ArmReadTimer(PDEVICE_EXTENSION Extension, PKTIMER Timer, PKDPC Dpc, LARGE_INTEGER DueTime) {
  InterlockedIncrement(&Extension->ArmedTimerCount);
  KeResetEvent(&Extension->evTimersIdle);
  KeSetTimer(Timer, DueTime, Dpc);
}

/*
 * DisarmReadTimer: ends the arming of the current read, which the caller has
 * just taken.  The timer is cancelled when Force is set or it has not
 * expired, and a DPC run still queued is taken off the queue; a run already
 * under way finds the arming ended and leaves everything alone.
 * IRQL: DISPATCH_LEVEL, SpinLock held.  Called by every agent that takes
 * the current read other than the timer's own DPC.
 */
_Use_decl_annotations_
VOID DisarmReadTimer(PDEVICE_EXTENSION Extension, PKTIMER Timer, PKDPC Dpc, BOOLEAN Force) {
  if (Timer != NULL && (Force || !KeReadStateTimer(Timer))) {
    (void)KeCancelTimer(Timer);
  }
  if (Dpc != NULL) {
    (void)KeRemoveQueueDpc(Dpc);
  }
  DecrementArmedTimerCount(Extension);
}

_Use_decl_annotations_
PIRP TakeCurrentRead(PDEVICE_EXTENSION Extension) {
  return (PIRP)InterlockedExchangePointer((PVOID volatile*)&Extension->CurrentReadIrp, NULL);
}

/*
 * RequestListFlush: ends the requests of a list.  For the read list the
 * current read ends first, with STATUS_SUCCESS and no data; every queued
 * request ends with STATUS_CANCELLED (a purged write is also counted off
 * PendingWriteCount).  Requests already claimed by their cancel routine are
 * left to it.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Called by the purge and by the
 * stops of pReadFunction and pWriteFunction.
 */
_Use_decl_annotations_
VOID RequestListFlush(PDEVICE_EXTENSION Extension, PREQUEST_LIST List, BOOLEAN IsRead) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  if (IsRead) {
    PIRP irp = TakeCurrentRead(Extension);
    if (irp != NULL) {
      DisarmReadTimer(Extension, Extension->ReadTimer, Extension->ReadTimerDpc, TRUE);
      if (IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&Extension->SpinLock, irql);
        CompleteRequest(irp, STATUS_SUCCESS, 0);
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
    // A request without its cancel routine is being cancelled and belongs
    // to its cancel routine, which also counts off a write.
    if (IoSetCancelRoutine(irp, NULL) != NULL) {
      if (!IsRead) {
        InterlockedDecrement(&Extension->PendingWriteCount);
      }
      KeReleaseSpinLock(&Extension->SpinLock, irql);
      CompleteRequest(irp, STATUS_CANCELLED, 0);
      KeAcquireSpinLock(&Extension->SpinLock, &irql);
    }
  }
  KeReleaseSpinLock(&Extension->SpinLock, irql);
}
