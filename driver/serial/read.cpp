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
// The timer: one DPC object serves every arming, so a DPC run cannot tell
// which expiry queued it (a run may already be under way when its read
// leaves, and an expiry of the next arming may merge into a queued run).
// ArmedTimerCount, changed only under SpinLock, is 1 exactly while the
// arming of the current read is outstanding.  The arming ends once: by the
// agent that takes the current read (which cancels the timer and pulls a
// queued DPC), or by a DPC run that finds, under SpinLock, the arming still
// outstanding and the timer signalled: KeSetTimer resets the signal, so the
// signal belongs to that arming and its time is up.  Any other run is stale
// and changes nothing.  evTimersIdle is set exactly while no arming is
// outstanding; removal flushes the DPC queue for a stale run still going.
#include "serial/read.h"

#include "core/admission.h"
#include "core/request.h"
#include "core/worker.h"
#include "serial/request_list.h"
#include "serial/ringbuf.h"
#include "serial/waitmask.h"

/*
 * ReadDueTimeFor: due time of a read that becomes current under Timeouts.
 * The interval rule's "return at once" (ReadIntervalTimeout MAXULONG and no
 * totals, stored as constant MAXULONG, no multiplier) is an absolute time
 * long past, so the timer completes the read at once with what is there.
 * IRQL <= DISPATCH_LEVEL, SpinLock held (Timeouts is written under it).
 * Called by DispatchRead.
 */
_Requires_lock_held_(Extension->SpinLock)
static LARGE_INTEGER ReadDueTimeFor(const SERIAL_TIMEOUTS* Timeouts) {
  if (Timeouts->ReadIntervalTimeout == MAXULONG && Timeouts->ReadTotalTimeoutMultiplier == 0 &&
      Timeouts->ReadTotalTimeoutConstant == MAXULONG) {
    LARGE_INTEGER past;
    past.QuadPart = 0;
    return past;
  }
  return TotalTimeoutToDueTime(Timeouts->ReadTotalTimeoutConstant);
}

// Moves unread bytes into the read's buffer; never issues a Get on an empty
// ring or into a missing buffer.  A polling thread that backs off for a
// full ring is woken as soon as there is room again.  SpinLock held.
_Requires_lock_held_(Extension->SpinLock)
static ULONG CopyFromRing(PDEVICE_EXTENSION Extension, PIRP Irp) {
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
  PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  ULONG unread = RingBufferCount(Extension->RingBuffer);
  if (length == 0 || buffer == NULL || unread == 0) {
    return 0;
  }
  ULONG copied = RingBufferGet(Extension->RingBuffer, buffer, length);
  if (unread > RING_BUFFER_BACKOFF_THRESHOLD && copied > 0) {
    KeSetEvent(&Extension->evRingRoom, IO_NO_INCREMENT, FALSE);
  }
  return copied;
}

// Makes the oldest queued read current and arms its timer with
// ReadDueTime, if no read is current.  SpinLock held.
_Requires_lock_held_(Extension->SpinLock)
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
_Requires_lock_held_(Extension->SpinLock)
static VOID ServeCurrentRead(PDEVICE_EXTENSION Extension, PKIRQL Irql) {
  PIRP irp = TakeCurrentRead(Extension);
  if (irp == NULL) {
    return;
  }
  DisarmReadTimer(Extension, Extension->ReadTimer, Extension->ReadTimerDpc, TRUE);
  BOOLEAN owned = IoSetCancelRoutine(irp, NULL) != NULL;
  ULONG copied = owned ? CopyFromRing(Extension, irp) : 0;
  PromoteNextRead(Extension);
  if (!owned) {
    return;
  }
  KeReleaseSpinLock(&Extension->SpinLock, *Irql);
  CompleteRequest(irp, STATUS_SUCCESS, copied);
  KeAcquireSpinLock(&Extension->SpinLock, Irql);
}

/*
 * DispatchRead: IRP_MJ_READ.  Completes at once with the ring's data when no
 * read waits ahead; otherwise the read becomes current under its total
 * time-out or joins the queue, pending.  While an event character waits to
 * be reported, a new read takes no data here.
 * IRQL: PASSIVE_LEVEL..APC_LEVEL.  Called by the I/O manager.
 */
_Use_decl_annotations_
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  if (ReadShared(&ext->DeviceRemoved) != 0) {
    return CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
  }
  if (ReadShared(&ext->DeviceOpened) == 0) {
    return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  }
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    return CompleteRequest(Irp, status, 0);
  }
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length != 0 &&
      Irp->AssociatedIrp.SystemBuffer == NULL) {
    IoReleaseRemoveLock(&ext->RemoveLock, Irp);
    return CompleteRequest(Irp, STATUS_INVALID_PARAMETER, 0);
  }

  // Tested in the hold that would queue it: cleanup and removal set their
  // flags under SpinLock before they end what is queued.
  KIRQL irql;
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  status = WaitingRequestRefusal(ext);
  if (status != STATUS_SUCCESS) {
    KeReleaseSpinLock(&ext->SpinLock, irql);
    CompleteRequest(Irp, status, 0);
    IoReleaseRemoveLock(&ext->RemoveLock, Irp);
    return status;
  }
  BOOLEAN flagPending = (ext->WaitMask & SERIAL_EV_RXFLAG) != 0 && ext->RxFlagSeen != 0;
  if (!flagPending) {
    BOOLEAN hasData = RingBufferCount(ext->RingBuffer) != 0;
    if (ext->CurrentReadIrp == NULL && RequestListIsEmpty(&ext->ReadQueue)) {
      ULONG copied = hasData ? CopyFromRing(ext, Irp) : 0;
      if (copied != 0) {
        KeReleaseSpinLock(&ext->SpinLock, irql);
        CompleteRequest(Irp, STATUS_SUCCESS, copied);
        IoReleaseRemoveLock(&ext->RemoveLock, Irp);
        return STATUS_SUCCESS;
      }
    } else if (hasData && ext->CurrentReadIrp != NULL) {
      // The read ahead takes the data; this one waits behind whatever is
      // current after the promotion.
      ServeCurrentRead(ext, &irql);
    }
  }

  LARGE_INTEGER due = ReadDueTimeFor(&ext->Timeouts);
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
    CompleteRequest(Irp, status, 0);
  }
  IoReleaseRemoveLock(&ext->RemoveLock, Irp);
  return status;
}

// One pass of the read thread: the receive events of the head wait request,
// then the current read if the ring holds data.  Ends the thread when the
// device is found removed, leaving the reads to their timers and cancel.
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN ReadThreadStep(PWORKER Worker) {
  PDEVICE_EXTENSION ext = Worker->Extension;
  CheckReceiveEvents(ext);
  if (ReadShared(&ext->DeviceRemoved) != 0) {
    return FALSE;
  }
  KIRQL irql;
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  if (ext->CurrentReadIrp != NULL && RingBufferCount(ext->RingBuffer) != 0) {
    ServeCurrentRead(ext, &irql);
    // The read promoted behind it finds data left over: another pass now.
    if (ext->CurrentReadIrp != NULL && RingBufferCount(ext->RingBuffer) != 0) {
      KeSetEvent(&ext->evReadDataReady, IO_NO_INCREMENT, FALSE);
    }
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);
  return TRUE;
}

// The port is closing: the head wait request and every read end.
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID ReadThreadStopped(PWORKER Worker) {
  WaitQueueCompleteHead(Worker->Extension);
  RequestListFlush(Worker->Extension, &Worker->Extension->ReadQueue, TRUE);
}

static const WORKER_ROUTINES kReadThread = {1, NULL, ReadThreadStep, ReadThreadStopped};

/*
 * pReadFunction: every millisecond, and at once when data reaches the ring
 * while a read is current (evReadDataReady, cleared before each pass so
 * that data stored from then on sets it again), serves the receive events of
 * the head wait request, then completes the current read if the ring holds
 * data.  On its stop event it ends the head wait request and every read;
 * when it finds the device removed it ends, leaving the reads to their
 * timers and cancel.
 * IRQL: PASSIVE_LEVEL (system thread).  Started by the open path.
 */
_Use_decl_annotations_
VOID NTAPI pReadFunction(PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Context;
  RunWorkerThread(ext, &ext->evKill_pReadFunction, &ext->evReadDataReady, &kReadThread, NULL);
}

/*
 * ReadTimeoutDpc: the current read's total time-out has passed: completes it
 * with STATUS_SUCCESS and whatever the ring holds (possibly nothing) and
 * promotes the next read.  A stale run (see the top of this file) changes
 * nothing.
 * IRQL: DISPATCH_LEVEL.  Called through ReadTimer.
 */
_Use_decl_annotations_
VOID NTAPI ReadTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeferredContext;

  KeAcquireSpinLockAtDpcLevel(&ext->SpinLock);
  PIRP irp = NULL;
  if (InterlockedCompareExchange(&ext->ArmedTimerCount, 0, 0) != 0 && ext->ReadTimer != NULL &&
      KeReadStateTimer(ext->ReadTimer)) {
    DecrementArmedTimerCount(ext);
    irp = TakeCurrentRead(ext);
  }
  if (irp != NULL && irp->Type != IO_TYPE_IRP) {
    irp = NULL;
  }
  BOOLEAN owned = FALSE;
  ULONG copied = 0;
  if (irp != NULL) {
    owned = IoSetCancelRoutine(irp, NULL) != NULL;
    if (owned) {
      copied = CopyFromRing(ext, irp);
    }
    PromoteNextRead(ext);
  }
  KeReleaseSpinLockFromDpcLevel(&ext->SpinLock);
  if (owned) {
    CompleteRequest(irp, STATUS_SUCCESS, copied);
  }
}

/*
 * ReadCancelRoutine: cancel routine of waiting reads.  Takes the read out of
 * CurrentReadIrp (disarming its timer and promoting the next read) or out of
 * ReadQueue; if it is in neither, another agent took it and left it here.
 * Completes it with STATUS_CANCELLED in every case.
 * IRQL: DISPATCH_LEVEL, entered holding the cancel spin lock.  Called by the
 * I/O manager through IoCancelIrp.
 */
_Use_decl_annotations_
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

  CompleteRequest(Irp, STATUS_CANCELLED, 0);
}
