// Wait-on-mask requests and the modem-status image.
//
// Locking: the queue indices, the slots, ModemStatus, PendingModemChanges
// and RxFlagSeen change only under the device SpinLock.  A request is
// completed by whoever takes it out of the queue and then wins the race to
// clear its cancel routine; the loser (CancelWaitIrp, entered after
// IoCancelIrp took the routine) completes it as cancelled.  CancelWaitIrp
// lets go of the cancel spin lock before it takes SpinLock, because the write
// path calls IoCancelIrp while holding SpinLock.
#include "serial/waitmask.h"

#include "core/admission.h"
#include "core/worker.h"
#include "serial/request_list.h"
#include "serial/ringbuf.h"

_Requires_lock_held_(Extension->SpinLock)
static ULONG NextWaitSlot(ULONG Index) { return (Index + 1 == WAIT_IRP_QUEUE_SLOTS) ? 0 : Index + 1; }

/*
 * WaitQueueInsert: appends Irp at the tail; leaves the queue unchanged and
 * returns FALSE when it already holds WAIT_IRP_QUEUE_MAX requests.
 * IRQL <= DISPATCH_LEVEL (raises to DISPATCH_LEVEL), SpinLock held.
 * Called by the event rules, CancelWaitIrp and WaitQueueAddRequest.
 */
_Use_decl_annotations_
BOOLEAN WaitQueueInsert(PDEVICE_EXTENSION Extension, PIRP Irp) {
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  ULONG next = NextWaitSlot(Extension->WaitQueueTail);
  BOOLEAN inserted = FALSE;
  if (next != Extension->WaitQueueHead) {
    Extension->WaitIrpQueue[Extension->WaitQueueTail] = Irp;
    Extension->WaitQueueTail = next;
    inserted = TRUE;
  }
  KeLowerIrql(oldIrql);
  return inserted;
}

/*
 * WaitQueueRemove: takes the head request, or returns NULL when the queue is
 * empty.  The slot is not cleared.
 * IRQL <= DISPATCH_LEVEL (raises to DISPATCH_LEVEL), SpinLock held.
 * Called by every path that completes or rotates wait requests.
 */
_Requires_lock_held_(Extension->SpinLock)
PIRP WaitQueueRemove(PDEVICE_EXTENSION Extension) {
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  PIRP irp = NULL;
  if (Extension->WaitQueueHead != Extension->WaitQueueTail) {
    irp = Extension->WaitIrpQueue[Extension->WaitQueueHead];
    Extension->WaitQueueHead = NextWaitSlot(Extension->WaitQueueHead);
  }
  KeLowerIrql(oldIrql);
  return irp;
}

/*
 * WaitQueueCount: number of queued requests, 0..WAIT_IRP_QUEUE_MAX.
 * IRQL <= DISPATCH_LEVEL (raises to DISPATCH_LEVEL), SpinLock held.
 * Called by CancelWaitIrp, WaitQueueAddRequest and the cleanup drain.
 */
_Requires_lock_held_(Extension->SpinLock)
ULONG WaitQueueCount(PDEVICE_EXTENSION Extension) {
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  ULONG head = Extension->WaitQueueHead;
  ULONG tail = Extension->WaitQueueTail;
  ULONG count;
  if (head == tail) {
    count = 0;
  } else if (head < tail) {
    count = tail - head;
  } else {
    count = WAIT_IRP_QUEUE_SLOTS - head + tail;
  }
  KeLowerIrql(oldIrql);
  return count;
}

// Hands a wait request that this side owns back to the client.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID FinishWaitIrp(PIRP Irp, NTSTATUS Status, ULONG Events, CCHAR Boost) {
  if (NT_SUCCESS(Status)) {
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = Events;
    Irp->IoStatus.Information = sizeof(ULONG);
  } else {
    Irp->IoStatus.Information = 0;
  }
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, Boost);
}

/*
 * WaitQueueAddRequest: accepts an IOCTL_SERIAL_WAIT_ON_MASK request.  Its
 * event word is set to 0; it is queued pending with CancelWaitIrp, or, when
 * its output buffer cannot hold the event word, the queue is full or the
 * request was cancelled before it got its cancel routine, completed at once
 * (STATUS_BUFFER_TOO_SMALL, STATUS_INSUFFICIENT_RESOURCES, STATUS_CANCELLED);
 * so is a request the port refuses (WaitingRequestRefusal).
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Called by the control dispatcher.
 */
_Requires_lock_not_held_(Extension->SpinLock)
NTSTATUS WaitQueueAddRequest(PDEVICE_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status;
  if (Irp->AssociatedIrp.SystemBuffer == NULL ||
      stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
    FinishWaitIrp(Irp, STATUS_BUFFER_TOO_SMALL, 0, IO_NO_INCREMENT);
    return STATUS_BUFFER_TOO_SMALL;
  }
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = 0;

  // Tested in the hold that queues: removal and cleanup set their flags
  // under SpinLock before they drain the queue.
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  status = WaitingRequestRefusal(Extension);
  if (status != STATUS_SUCCESS) {
    // The port is going, or nothing could serve the request.
  } else if (WaitQueueCount(Extension) >= WAIT_IRP_QUEUE_MAX) {
    // Left pending outside the queue it could only end by cancellation.
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else if (!SetCancelRoutineUnlessCancelled(Irp, CancelWaitIrp)) {
    status = STATUS_CANCELLED;
  } else {
    IoMarkIrpPending(Irp);
    WaitQueueInsert(Extension, Irp);
    KeReleaseSpinLock(&Extension->SpinLock, irql);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  FinishWaitIrp(Irp, status, 0, IO_NO_INCREMENT);
  return status;
}

/*
 * WaitQueueCompleteHead: ends the head request with no events.  A head whose
 * cancellation is already under way is left to CancelWaitIrp.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Called by the wait-mask set
 * request and by the stops of pReadFunction and pWaitMaskFunction.
 */
_Use_decl_annotations_
BOOLEAN WaitQueueCompleteHead(PDEVICE_EXTENSION Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  PIRP irp = WaitQueueRemove(Extension);
  BOOLEAN owned = irp != NULL && IoSetCancelRoutine(irp, NULL) != NULL;
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  if (!owned) {
    return FALSE;
  }
  FinishWaitIrp(irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
  return TRUE;
}

/*
 * WaitQueueEndAll: completes every request queued on entry with Status (an
 * error status: no event word), head first.  Each is taken under SpinLock,
 * so the drain never overlaps an evaluation or a cancel routine's walk.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Called by cleanup, surprise
 * removal and a power-up restart that gives up.
 */
_Use_decl_annotations_
VOID WaitQueueEndAll(PDEVICE_EXTENSION Extension, NTSTATUS Status) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  ULONG count = WaitQueueCount(Extension);
  KeReleaseSpinLock(&Extension->SpinLock, irql);

  for (ULONG i = 0; i < count; i++) {
    KeAcquireSpinLock(&Extension->SpinLock, &irql);
    PIRP irp = WaitQueueRemove(Extension);
    BOOLEAN owned = irp != NULL && IoSetCancelRoutine(irp, NULL) != NULL;
    KeReleaseSpinLock(&Extension->SpinLock, irql);
    if (irp == NULL) {
      break;
    }
    if (owned) {
      FinishWaitIrp(irp, Status, 0, IO_NO_INCREMENT);
    }
  }
}

/*
 * ChangeWaitMask: the client sets a new wait mask.  The head request learns
 * of it with an empty event word (the others go on waiting under the new
 * mask); events accumulate, a new mask adding to the old and only an empty
 * one clearing it; and the line changes kept so far are dropped, so a wait
 * under the new mask reports only changes that come after it.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Called by the set-wait-mask
 * request.
 */
_Use_decl_annotations_
VOID ChangeWaitMask(PDEVICE_EXTENSION Extension, ULONG Mask) {
  (void)WaitQueueCompleteHead(Extension);
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  Extension->WaitMask = (Mask == 0) ? 0 : (Extension->WaitMask | Mask);
  Extension->PendingModemChanges = 0;
  KeReleaseSpinLock(&Extension->SpinLock, irql);
}

// Receive events the mask asks for and the ring can report now.  Looks only;
// the caller consumes RxFlagSeen once it owns the request.  SpinLock held.
_Requires_lock_held_(Extension->SpinLock)
static ULONG ReceiveEvents(PDEVICE_EXTENSION Extension, ULONG Mask) {
  if (RingBufferCount(Extension->RingBuffer) == 0) {
    return 0;
  }
  ULONG events = 0;
  if ((Mask & SERIAL_EV_RXFLAG) != 0 && Extension->RxFlagSeen == 1) {
    events |= SERIAL_EV_RXFLAG;
  }
  if ((Mask & SERIAL_EV_RXCHAR) != 0) {
    events |= SERIAL_EV_RXCHAR;
  }
  return events;
}

/*
 * EvaluateWaitMask: applies the event rules to the head request: received
 * data (RXCHAR, RXFLAG) and reported DSR/DCD changes.  With events found the
 * request is completed with them and the consumed flags are cleared;
 * otherwise it goes to the tail, so queued requests are examined in turn.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Called by pWaitMaskFunction
 * every 5 ms and by pPollingFunction after every stored chunk.
 */
_Use_decl_annotations_
VOID EvaluateWaitMask(PDEVICE_EXTENSION Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  ULONG changes = Extension->PendingModemChanges;
  PIRP irp = WaitQueueRemove(Extension);
  if (irp == NULL) {
    KeReleaseSpinLock(&Extension->SpinLock, irql);
    return;
  }
  ULONG mask = Extension->WaitMask;
  ULONG events = ReceiveEvents(Extension, mask);
  if ((mask & SERIAL_EV_RLSD) != 0 && (changes & MODEM_STATUS_DCD_CHANGED) != 0) {
    events |= SERIAL_EV_RLSD;
  }
  if ((mask & SERIAL_EV_DSR) != 0 && (changes & MODEM_STATUS_DSR_CHANGED) != 0) {
    events |= SERIAL_EV_DSR;
  }
  if (events == 0) {
    WaitQueueInsert(Extension, irp);
    KeReleaseSpinLock(&Extension->SpinLock, irql);
    return;
  }
  if (IoSetCancelRoutine(irp, NULL) == NULL) {
    // Being cancelled: CancelWaitIrp completes it.  The events stay for the
    // next request.
    KeReleaseSpinLock(&Extension->SpinLock, irql);
    return;
  }
  if (events & SERIAL_EV_RXFLAG) {
    Extension->RxFlagSeen = FALSE;
  }
  if (events & SERIAL_EV_RLSD) {
    Extension->ModemStatus &= ~MODEM_STATUS_DCD_CHANGED;
    Extension->PendingModemChanges &= ~MODEM_STATUS_DCD_CHANGED;
  }
  if (events & SERIAL_EV_DSR) {
    Extension->ModemStatus &= ~MODEM_STATUS_DSR_CHANGED;
    Extension->PendingModemChanges &= ~MODEM_STATUS_DSR_CHANGED;
  }
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  FinishWaitIrp(irp, STATUS_SUCCESS, events, IO_SERIAL_INCREMENT);
}

/*
 * CheckReceiveEvents: the receive half of the event rules, for the head
 * request only; modem-status changes are left to EvaluateWaitMask.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Called by pReadFunction on
 * every pass, before it serves the current read.
 */
_Use_decl_annotations_
VOID CheckReceiveEvents(PDEVICE_EXTENSION Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  PIRP irp = WaitQueueRemove(Extension);
  if (irp == NULL) {
    KeReleaseSpinLock(&Extension->SpinLock, irql);
    return;
  }
  ULONG events = ReceiveEvents(Extension, Extension->WaitMask);
  if (events == 0) {
    WaitQueueInsert(Extension, irp);
    KeReleaseSpinLock(&Extension->SpinLock, irql);
    return;
  }
  if (IoSetCancelRoutine(irp, NULL) == NULL) {
    KeReleaseSpinLock(&Extension->SpinLock, irql);
    return;
  }
  if (events & SERIAL_EV_RXFLAG) {
    Extension->RxFlagSeen = FALSE;
  }
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  FinishWaitIrp(irp, STATUS_SUCCESS, events, IO_NO_INCREMENT);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN WaitMaskThreadStep(PWORKER Worker) {
  EvaluateWaitMask(Worker->Extension);
  return TRUE;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID WaitMaskThreadStopped(PWORKER Worker) { WaitQueueCompleteHead(Worker->Extension); }

static const WORKER_ROUTINES kWaitMaskThread = {5, NULL, WaitMaskThreadStep, WaitMaskThreadStopped};

/*
 * pWaitMaskFunction: applies the event rules every 5 ms, and at once when a
 * modem line changes (evModemChanged), until its stop event is set; on the
 * way out ends the head request with no events.
 * IRQL: PASSIVE_LEVEL (system thread).  Started by the open path.
 */
_Use_decl_annotations_
VOID NTAPI pWaitMaskFunction(PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Context;
  RunWorkerThread(ext, &ext->evKill_pWaitMaskFunction, &ext->evModemChanged, &kWaitMaskThread, NULL);
}

/*
 * CancelWaitIrp: cancel routine of queued wait requests.  Takes the request
 * out of the queue if it is still there (the requests ahead of it rotate
 * behind those that followed it; a request not found leaves the queue in
 * its order) and completes it with STATUS_CANCELLED either way: reaching
 * this routine means no other path can complete it.
 * IRQL: DISPATCH_LEVEL, entered holding the cancel spin lock.  Called by the
 * I/O manager through IoCancelIrp.
 */
_Use_decl_annotations_
VOID NTAPI CancelWaitIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  (void)IoSetCancelRoutine(Irp, NULL);
  IoReleaseCancelSpinLock(Irp->CancelIrql);

  KIRQL irql;
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  ULONG count = WaitQueueCount(ext);
  for (ULONG i = 0; i < count; i++) {
    PIRP head = WaitQueueRemove(ext);
    if (head == Irp) {
      break;
    }
    WaitQueueInsert(ext, head);
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);

  FinishWaitIrp(Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
}

/*
 * UpdateModemStatus: records the new DSR and DCD line states.  A line that
 * changed gets its change bit set in the status image and, when the wait
 * mask holds its event, among the changes a waiter is still to be told of;
 * a line found unchanged leaves both alone, since a repeated state must not
 * take back a change nobody was told of.
 * A change wakes the wait-mask thread.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Called by open, close,
 * surprise removal and the interrupt polling thread.
 */
_Use_decl_annotations_
VOID UpdateModemStatus(PDEVICE_EXTENSION Extension, ULONG LineBits) {
  static const ULONG kLines[2][3] = {{MODEM_STATUS_DSR, MODEM_STATUS_DSR_CHANGED, SERIAL_EV_DSR},
                                     {MODEM_STATUS_DCD, MODEM_STATUS_DCD_CHANGED, SERIAL_EV_RLSD}};
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  ULONG status = Extension->ModemStatus;
  for (ULONG i = 0; i < 2; i++) {
    ULONG line = kLines[i][0];
    ULONG change = kLines[i][1];
    if ((LineBits & line) != (status & line)) {
      status ^= line;
      status |= change;
      // Kept for a waiter only while the client asks for its event, as a
      // serial port's event history is: a change from before it asked
      // would report a carrier event that already passed.
      if ((Extension->WaitMask & kLines[i][2]) != 0) {
        Extension->PendingModemChanges |= change;
      }
    }
  }
  BOOLEAN changed = status != Extension->ModemStatus;
  Extension->ModemStatus = status;
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  if (changed) {
    KeSetEvent(&Extension->evModemChanged, IO_NO_INCREMENT, FALSE);  // the waiter hears it now
  }
}
