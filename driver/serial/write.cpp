// The write path.
//
// DispatchWrite queues each write; pWriteFunction takes them in order and
// passes the client's own request down with a transfer URB.  The request
// comes back to the write thread: ZLKUSB_Write_Complete records the outcome,
// counts the transfer, signals evWriteDone and stops the completion, and the
// thread lets it go on to the client only after it has taken it out of
// CurrentWriteIrp under SpinLock.  So the write in flight stays valid for as
// long as anyone can find it there (the time-out and the purge cancel it
// with IoCancelIrp under SpinLock), and a write cancelled on time-out, by a
// purge or at the thread's stop is always waited for before the next one is
// sent: its completion can never be taken for the next write's, and at most
// one write is ever on the bus.  A write longer than the pipe's maximum
// transfer size goes down as several transfers, one after the other, on the
// same request; its time-out covers them all.  The next write is made ready
// while the last transfer of one is on the bus, and the completion routine
// sends it as soon as that transfer ends well (see SendWrites), so the bus
// waits neither for the thread nor for the client.
//
// A queued write carries WriteCancelRoutine.  It is queued, and taken off
// the queue by the thread or a purge, under SpinLock, which the cancel
// routine takes before it looks in the queue; whoever clears the cancel
// routine first completes the write.  The thread clears it as it takes a
// write, so a write it holds is cancelled only through the bus, or before
// it is sent through its Cancel flag.
#include "serial/write.h"

#include "core/admission.h"
#include "core/request.h"
#include "core/worker.h"
#include "serial/request_list.h"
#include "usb/pipes.h"
#include "usb/usb_io.h"

_IRQL_requires_max_(DISPATCH_LEVEL)
static PIRP ReadCurrentWrite(PDEVICE_EXTENSION Extension) {
  return (PIRP)InterlockedCompareExchangePointer((PVOID volatile*)&Extension->CurrentWriteIrp, NULL, NULL);
}

// Ends a write that never reached the bus: counts it off and completes it.
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS RefuseWrite(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Status) {
  InterlockedDecrement(&Extension->PendingWriteCount);
  return CompleteRequest(Irp, Status, 0);
}

// Whether a write is a command line to the modem: it starts with the
// command prefix "AT" or the repeat "A/", in either case.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN IsCommandLine(const UCHAR* Data, ULONG Length) {
  return Length >= 2 && (Data[0] == 'A' || Data[0] == 'a') &&
         (Data[1] == 'T' || Data[1] == 't' || Data[1] == '/');
}

/*
 * NoteCommandLine: the CONNECT filter's view of an accepted write.  A write
 * starting with "ATS7=" switches the filter: on for exactly "ATS7=1" and one
 * more byte, off for any other value.  Every command line arms it for the
 * next CONNECT result line (a dial answers with one), which the polling
 * thread then drops once (see polling.cpp).
 * IRQL: DISPATCH_LEVEL, SpinLock held.  Called by DispatchWrite once the
 * write is queued.
 */
_Requires_lock_held_(Extension->SpinLock)
static VOID NoteCommandLine(PDEVICE_EXTENSION Extension, const UCHAR* Data, ULONG Length) {
  if (Length >= SUPPRESS_CONNECT_COMMAND_LENGTH &&
      RtlEqualMemory(Data, SUPPRESS_CONNECT_COMMAND, SUPPRESS_CONNECT_COMMAND_LENGTH)) {
    Extension->SuppressConnect = Length == SUPPRESS_CONNECT_COMMAND_LENGTH + 2 && Data[5] == '1';
  }
  if (IsCommandLine(Data, Length)) {
    Extension->CommandLineCount++;
  }
}

/*
 * DispatchWrite: IRP_MJ_WRITE.  Queues the write, pending, with
 * WriteCancelRoutine (a queued write leaves the queue by being sent, purged
 * or cancelled), and shows it to the CONNECT filter (NoteCommandLine).
 * IRQL: PASSIVE_LEVEL..APC_LEVEL.  Called by the I/O manager.
 */
_Use_decl_annotations_
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  InterlockedIncrement(&ext->PendingWriteCount);
  if (ReadShared(&ext->DeviceRemoved) != 0) {
    return RefuseWrite(ext, Irp, STATUS_NOT_SUPPORTED);
  }
  if (ReadShared(&ext->DeviceOpened) == 0) {
    return RefuseWrite(ext, Irp, STATUS_ACCESS_DENIED);
  }
  const UCHAR* data = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
  if (data == NULL) {
    return RefuseWrite(ext, Irp, STATUS_UNSUCCESSFUL);
  }
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;

  // Pending before it is visible to the write thread, which may finish it
  // at once.  Admitted in the hold that queues it: cleanup and removal set
  // their flags under SpinLock before the queue is flushed.  The cancel
  // routine and the queue entry appear together under SpinLock, which the
  // write thread and the cancel routine take before they look for the write
  // in the queue.  The CONNECT filter learns of the write in the same hold,
  // only once it is queued: a refused command never reached the modem.
  IoMarkIrpPending(Irp);
  KIRQL irql;
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  NTSTATUS status = WaitingRequestRefusal(ext);
  if (status == STATUS_SUCCESS) {
    status = STATUS_PENDING;
    if (!SetCancelRoutineUnlessCancelled(Irp, WriteCancelRoutine)) {
      status = STATUS_CANCELLED;
    } else if (!RequestListInsertTail(&ext->WriteQueue, Irp)) {
      if (IoSetCancelRoutine(Irp, NULL) != NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
      }
      // else: being cancelled; WriteCancelRoutine completes it.
    } else {
      NoteCommandLine(ext, data, length);
    }
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);
  if (status != STATUS_PENDING) {
    IoGetCurrentIrpStackLocation(Irp)->Control &= ~SL_PENDING_RETURNED;
    return RefuseWrite(ext, Irp, status);
  }
  KeSetEvent(&ext->evWriteQueued, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

/*
 * WriteCancelRoutine: cancel routine of queued writes.  Takes the write out
 * of WriteQueue if it is still there; if not, the write thread or a purge
 * took it, found its cancel routine gone and left it here.  Completes it
 * with STATUS_CANCELLED in either case.  A write on the bus has no cancel
 * routine of ours: the bus cancels it.
 * IRQL: DISPATCH_LEVEL, entered holding the cancel spin lock, which it lets
 * go before it takes SpinLock (IoCancelIrp is called under SpinLock).
 * Called by the I/O manager through IoCancelIrp.
 */
_Use_decl_annotations_
VOID NTAPI WriteCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  IoReleaseCancelSpinLock(Irp->CancelIrql);

  KIRQL irql;
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  (void)RequestListRemoveIrp(&ext->WriteQueue, Irp);
  KeReleaseSpinLock(&ext->SpinLock, irql);

  RefuseWrite(ext, Irp, STATUS_CANCELLED);
}

// Takes the oldest queued write and makes it the one in Slot (the write in
// flight or the next write), in place of what was there, in one hold of
// SpinLock: a canceller never finds a write that has left the slot (and may
// be about to complete) nor misses one between the queue and the slot.
// With none queued, or Stopping, the slot becomes empty.  A write whose
// cancel routine has already been taken is left to WriteCancelRoutine.
_Requires_lock_not_held_(Extension->SpinLock)
static PIRP TakeQueuedWrite(PDEVICE_EXTENSION Extension, PIRP* Slot, BOOLEAN Stopping) {
  PIRP irp = NULL;
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  PREQUEST_NODE node;
  while (!Stopping && irp == NULL && (node = RequestListRemoveHead(&Extension->WriteQueue)) != NULL) {
    if (IoSetCancelRoutine(node->Irp, NULL) != NULL) {
      irp = node->Irp;
    }
    RequestNodeFree(node);
  }
  InterlockedExchangePointer((PVOID volatile*)Slot, irp);
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  return irp;
}

// Prepares a transfer of Length bytes of Data on Irp: its URB and the stack
// location below, with ZLKUSB_Write_Complete.  NULL when there is no OUT
// pipe or no URB to be had.
_IRQL_requires_max_(DISPATCH_LEVEL)
static PURB PrepareWriteTransfer(PDEVICE_EXTENSION Extension, PIRP Irp, PVOID Data, ULONG Length) {
  PPIPE_ENTRY pipe = ZLKUSB_FindPipe(Extension, UsbdPipeTypeBulk, PIPE_DIRECTION_OUT);
  PURB urb = pipe != NULL ? ZLKUSB_BuildWriteUrb(Data, Length, pipe) : NULL;
  if (urb != NULL) {
    ZLKUSB_SetUrbDeviceHandle(Extension, urb);
    ZLKUSB_SetupNextStackLocation(Irp, urb, ZLKUSB_Write_Complete, urb);
  }
  return urb;
}

// A transfer of the write path has ended, or was never started: counted
// (after everything it recorded) for the write thread, which is woken.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID WriteTransferEnded(PDEVICE_EXTENSION Extension) {
  InterlockedIncrement(&Extension->WriteTransfersEnded);
  KeSetEvent(&Extension->evWriteDone, IO_NO_INCREMENT, FALSE);
}

/*
 * ZLKUSB_Write: passes Irp down the USB stack as a bulk-OUT transfer of
 * Data/Length with ZLKUSB_Write_Complete as its completion routine.  When no
 * OUT pipe or no URB can be had, or the device is being removed (the
 * transfer holds RemoveLock until its completion routine is done with the
 * extension), nothing is sent and the transfer ends at
 * once as failed (STATUS_UNSUCCESSFUL, no bytes), as if the bus had refused
 * it: the write thread completes the request.
 * IRQL: PASSIVE_LEVEL.  Called by pWriteFunction with Irp in CurrentWriteIrp.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Data, ULONG Length) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  // Held by the transfer until its completion routine's last act.
  const BOOLEAN held = NT_SUCCESS(IoAcquireRemoveLock(&ext->RemoveLock, LOCK_TAG));
  if (!held || PrepareWriteTransfer(ext, Irp, Data, Length) == NULL) {
    if (held) {
      IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
    }
    Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    WriteTransferEnded(ext);
    return STATUS_UNSUCCESSFUL;
  }
  return IoCallDriver(ext->TopOfStackDeviceObject, Irp);
}

// Whether a purge (or the client) has cancelled a write that is not on the
// bus: read under the cancel spin lock, which IoCancelIrp holds as it sets
// the flag.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN WriteCancelled(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN cancelled = Irp->Cancel;
  IoReleaseCancelSpinLock(irql);
  return cancelled;
}

// Sends the next write, which the write thread has made ready and offered
// in LaunchWriteIrp, unless the thread has taken the offer back, the
// write has been cancelled or the device is being removed.  The write thread learns that it went from
// LaunchWriteIrp being empty; until this transfer's end is counted it
// neither takes the offer back nor completes the write.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID LaunchNextWrite(PDEVICE_EXTENSION Extension) {
  PIRP next =
      (PIRP)InterlockedCompareExchangePointer((PVOID volatile*)&Extension->LaunchWriteIrp, NULL, NULL);
  if (next == NULL || WriteCancelled(next) ||
      !NT_SUCCESS(IoAcquireRemoveLock(&Extension->RemoveLock, LOCK_TAG))) {
    return;
  }
  if (InterlockedCompareExchangePointer((PVOID volatile*)&Extension->LaunchWriteIrp, NULL, next) == next) {
    (void)IoCallDriver(Extension->TopOfStackDeviceObject, next);
  } else {
    IoReleaseRemoveLock(&Extension->RemoveLock, LOCK_TAG);
  }
}

/*
 * ZLKUSB_Write_Complete: the bus has finished a transfer of a write:
 * records the bytes the device took, whatever the outcome (a transfer
 * cancelled or failed part-way has still moved them), and frees the URB.
 * When the transfer succeeded, it sends the next write if the write thread
 * has one ready (it has only while a write's last transfer is on the bus):
 * the bus gets it as soon as it reports this one, not once the thread has
 * woken.  Then it counts the transfer and wakes the write thread, which
 * sends the rest or completes the request to the client.  Takes no lock on
 * a failed or cancelled transfer, which may come inside IoCancelIrp called
 * under SpinLock; on success only the cancel spin lock, to look at the
 * next write's Cancel flag.
 * IRQL <= DISPATCH_LEVEL.  Called by the I/O manager on completion.
 */
_Use_decl_annotations_
NTSTATUS NTAPI ZLKUSB_Write_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PURB urb = (PURB)Context;
  Irp->IoStatus.Information = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (Irp->IoStatus.Status == STATUS_SUCCESS && urb->UrbHeader.Status != USBD_STATUS_SUCCESS) {
    Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
  }
  ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
  if (Irp->IoStatus.Status == STATUS_SUCCESS) {
    LaunchNextWrite(ext);
  }
  WriteTransferEnded(ext);
  // Last: the write thread may see the count before the event is set and
  // let the device go; the lock keeps the extension until then.
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// The most one transfer of a write carries: the pipe's maximum transfer
// size, which configuration sets to BULK_MAX_TRANSFER_SIZE (stacks that
// report another value are believed only below it).
_IRQL_requires_max_(DISPATCH_LEVEL)
static ULONG WriteTransferLimit(PDEVICE_EXTENSION Extension) {
  PPIPE_ENTRY pipe = ZLKUSB_FindPipe(Extension, UsbdPipeTypeBulk, PIPE_DIRECTION_OUT);
  ULONG limit = pipe != NULL ? pipe->PipeInfo.MaximumTransferSize : 0;
  return (limit == 0 || limit > BULK_MAX_TRANSFER_SIZE) ? BULK_MAX_TRANSFER_SIZE : limit;
}

// What ended the write thread's wait for a transfer: the index of the
// object in WaitForTransfer's wait.
constexpr NTSTATUS WRITE_WAIT_DONE = STATUS_WAIT_0;
constexpr NTSTATUS WRITE_WAIT_STOPPED = STATUS_WAIT_0 + 1;
constexpr NTSTATUS WRITE_WAIT_TIMED_OUT = STATUS_WAIT_0 + 2;

// Waits for the end of the transfer on the bus (WriteTransfersEnded moving
// past *Ended, which then counts it), the stop event or Deadline (NULL: for
// the end alone).
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS WaitForTransfer(PDEVICE_EXTENSION Extension, LONG* Ended, PKTIMER Deadline) {
  for (;;) {
    KeClearEvent(&Extension->evWriteDone);
    LONG ended = InterlockedCompareExchange(&Extension->WriteTransfersEnded, 0, 0);
    if (ended != *Ended) {
      (*Ended)++;
      return WRITE_WAIT_DONE;
    }
    NTSTATUS wait;
    if (Deadline == NULL) {
      wait = KeWaitForSingleObject(&Extension->evWriteDone, Executive, KernelMode, FALSE, NULL);
    } else {
      PVOID objects[3] = {&Extension->evWriteDone, &Extension->evKill_pWriteFunction, Deadline};
      wait = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
    }
    if (wait != WRITE_WAIT_DONE) {
      return wait;
    }
  }
}

// A write the thread is sending or has made ready: its request, its data,
// how far it has gone and its transfer on the bus or ready to go.
typedef struct _WRITE_IN_FLIGHT {
  PIRP Irp;
  PUCHAR Data;
  ULONG Length;
  ULONG Sent;
  ULONG Chunk;      // bytes of the transfer on the bus or ready
  PURB Urb;         // the transfer ready and not sent
  BOOLEAN Offered;  // ... and offered to ZLKUSB_Write_Complete in LaunchWriteIrp
} WRITE_IN_FLIGHT, *PWRITE_IN_FLIGHT;

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID InitWrite(PWRITE_IN_FLIGHT Write, PIRP Irp) {
  Write->Irp = Irp;
  Write->Data = Irp != NULL ? (PUCHAR)Irp->AssociatedIrp.SystemBuffer : NULL;
  Write->Length = Irp != NULL ? IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length : 0;
  Write->Sent = 0;
  Write->Chunk = 0;
  Write->Urb = NULL;
  Write->Offered = FALSE;
}

// A transfer made ready and not sent is let go.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID DropTransfer(PWRITE_IN_FLIGHT Write) {
  if (Write->Urb != NULL) {
    ExFreePoolWithTag(Write->Urb, POOL_TAG_DRIVER);
  }
  Write->Urb = NULL;
}

// Sends the write's next transfer, of at most Limit bytes.  One made ready
// for the completion routine that did not go is made afresh: rare, and the
// one way of sending stays ZLKUSB_Write.
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID SendTransfer(PDEVICE_EXTENSION Extension, PWRITE_IN_FLIGHT Write, ULONG Limit) {
  DropTransfer(Write);
  Write->Chunk = (Write->Length - Write->Sent < Limit) ? Write->Length - Write->Sent : Limit;
  (void)ZLKUSB_Write(Extension->FunctionalDeviceObject, Write->Irp, Write->Data + Write->Sent, Write->Chunk);
}

// While the transfer on the bus (counted up to Ended) is the last of its
// write, takes the oldest queued write as the next one and makes its first
// transfer ready, offered to ZLKUSB_Write_Complete, which sends it the
// moment the transfer on the bus ends well.
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID OfferNextWrite(PDEVICE_EXTENSION Extension, PWRITE_IN_FLIGHT Next, ULONG Limit, LONG Ended) {
  if (InterlockedCompareExchange(&Extension->WriteTransfersEnded, 0, 0) != Ended ||
      KeReadStateEvent(&Extension->evKill_pWriteFunction) != 0) {
    return;  // over already, or the port is closing: nothing to gain
  }
  InitWrite(Next, TakeQueuedWrite(Extension, &Extension->NextWriteIrp, FALSE));
  if (Next->Irp == NULL) {
    return;
  }
  Next->Chunk = (Next->Length < Limit) ? Next->Length : Limit;
  Next->Irp->IoStatus.Status = STATUS_SUCCESS;
  Next->Irp->IoStatus.Information = 0;
  Next->Urb = PrepareWriteTransfer(Extension, Next->Irp, Next->Data, Next->Chunk);
  if (Next->Urb != NULL) {
    Next->Offered = TRUE;
    InterlockedExchangePointer((PVOID volatile*)&Extension->LaunchWriteIrp, Next->Irp);
  }
}

// Whether ZLKUSB_Write_Complete has sent the next write; if it has not, it
// no longer can.  The routine may still be looking at the write until the
// transfer before it is counted: the thread waits for that before it sends
// the write itself or completes it.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN NextWriteLaunched(PDEVICE_EXTENSION Extension, PWRITE_IN_FLIGHT Next) {
  if (Next->Irp == NULL || !Next->Offered) {
    return FALSE;
  }
  Next->Offered = FALSE;
  if (InterlockedCompareExchangePointer((PVOID volatile*)&Extension->LaunchWriteIrp, NULL, Next->Irp) ==
      Next->Irp) {
    return FALSE;
  }
  Next->Urb = NULL;  // on the bus
  return TRUE;
}

// Cancels the write's transfer on the bus.  Under SpinLock, as the purge
// does: the write cannot complete meanwhile.
_Requires_lock_not_held_(Extension->SpinLock)
static VOID CancelTransfer(PDEVICE_EXTENSION Extension, PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  IoCancelIrp(Irp);
  KeReleaseSpinLock(&Extension->SpinLock, irql);
}

// Begins a write: arms its time-out, one for the whole write however many
// transfers it takes.
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID ArmWriteTimeout(PDEVICE_EXTENSION Extension, PKTIMER Deadline) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  ULONG timeoutMs = Extension->Timeouts.WriteTotalTimeoutConstant;
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  (void)KeSetTimer(Deadline, TotalTimeoutToDueTime(timeoutMs), NULL);
}

// Gives a finished write back to the client.
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID CompleteWrite(PDEVICE_EXTENSION Extension, PIRP Irp) {
  InterlockedDecrement(&Extension->PendingWriteCount);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Sends the queued writes, from First on, until the queue is empty or the
// thread is stopping; each in transfers of at most the pipe's maximum
// transfer size, one after the other on the client's own request.  The
// write time-out runs over the whole write (a timer armed once); on
// time-out or stop the transfer on the bus is cancelled and waited for.
// The client gets the bytes that went out: STATUS_SUCCESS for all of them,
// STATUS_TIMEOUT when the time-out ended the write (as a serial port
// answers), else the failing transfer's status.
//
// The bus must not wait for this thread between two writes: a frame's
// report wakes it late on a busy machine, and a high-speed write loses a
// microframe to the smallest delay.  So while a write's last transfer is
// on the bus, the next write's first is made ready and offered to the
// completion routine, which sends it when that transfer ends well; the
// thread sends it itself when it did not go (a failure, a short transfer,
// a time-out, a cancel).  The finished write is completed to the client
// only after the next is on the bus, and only once the next is the write
// in flight (or there is none), under SpinLock: a canceller finds each
// write in CurrentWriteIrp or NextWriteIrp until it is about to complete.
// Writes still go to the bus one at a time, in order, and complete in
// order: this one thread completes them all.
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID SendWrites(PDEVICE_EXTENSION Extension, PIRP First) {
  KTIMER deadline;
  KeInitializeTimer(&deadline);
  const ULONG limit = WriteTransferLimit(Extension);
  LONG ended = InterlockedCompareExchange(&Extension->WriteTransfersEnded, 0, 0);
  WRITE_IN_FLIGHT write, next;
  InitWrite(&write, First);
  InitWrite(&next, NULL);
  ArmWriteTimeout(Extension, &deadline);
  BOOLEAN onBus = FALSE;  // the write's transfer was sent by the completion routine
  BOOLEAN stopping = FALSE;
  PIRP finished = NULL;  // done, to complete once the next is on the bus
  for (;;) {
    const BOOLEAN dropped = !onBus && (stopping || WriteCancelled(write.Irp));
    if (dropped) {
      DropTransfer(&write);
    } else if (!onBus) {
      SendTransfer(Extension, &write, limit);
    }
    onBus = FALSE;
    if (finished != NULL) {
      CompleteWrite(Extension, finished);
      finished = NULL;
    }
    if (!dropped && next.Irp == NULL && write.Sent + write.Chunk == write.Length) {
      OfferNextWrite(Extension, &next, limit, ended);
    }

    NTSTATUS status = STATUS_CANCELLED;
    NTSTATUS wait = WRITE_WAIT_DONE;
    BOOLEAN launched = FALSE;
    if (!dropped) {
      wait = WaitForTransfer(Extension, &ended, &deadline);
      if (wait != WRITE_WAIT_DONE) {
        // Timed out, or the port is closing: a device that never takes the
        // data must not hold the thread.  The offer is taken back first; if
        // it went, this transfer has ended well.
        launched = NextWriteLaunched(Extension, &next);
        if (!launched) {
          CancelTransfer(Extension, write.Irp);
        }
        (void)WaitForTransfer(Extension, &ended, NULL);
      } else {
        launched = NextWriteLaunched(Extension, &next);
      }
      const ULONG moved = (write.Irp->IoStatus.Information < write.Chunk)
                              ? (ULONG)write.Irp->IoStatus.Information
                              : write.Chunk;
      write.Sent += moved;
      status = write.Irp->IoStatus.Status;
      if (wait == WRITE_WAIT_TIMED_OUT && (status != STATUS_SUCCESS || write.Sent < write.Length)) {
        status = STATUS_TIMEOUT;
      } else if (wait == WRITE_WAIT_STOPPED && status == STATUS_SUCCESS && write.Sent < write.Length) {
        status = STATUS_CANCELLED;
      }
      // A device that took less than a whole transfer ends the write there.
      if (status == STATUS_SUCCESS && write.Sent < write.Length && moved == write.Chunk) {
        continue;
      }
    }

    (void)KeCancelTimer(&deadline);
    write.Irp->IoStatus.Status = status;
    write.Irp->IoStatus.Information = write.Sent;
    finished = write.Irp;
    stopping =
        stopping || wait == WRITE_WAIT_STOPPED || KeReadStateEvent(&Extension->evKill_pWriteFunction) != 0;
    if (next.Irp != NULL) {
      // The next write becomes the write in flight as the finished one
      // leaves it.
      KIRQL irql;
      KeAcquireSpinLock(&Extension->SpinLock, &irql);
      InterlockedExchangePointer((PVOID volatile*)&Extension->CurrentWriteIrp, next.Irp);
      InterlockedExchangePointer((PVOID volatile*)&Extension->NextWriteIrp, NULL);
      KeReleaseSpinLock(&Extension->SpinLock, irql);
      write = next;
      InitWrite(&next, NULL);
    } else {
      InitWrite(&write, TakeQueuedWrite(Extension, &Extension->CurrentWriteIrp, stopping));
      if (write.Irp == NULL) {
        break;
      }
    }
    ArmWriteTimeout(Extension, &deadline);
    onBus = launched;  // when stopping, the wait finds the stop event and cancels it
  }
  KeClearEvent(&Extension->evWriteDone);
  CompleteWrite(Extension, finished);
}

// One pass of the write thread: sends the queued writes, and comes back at
// once if one was queued as the last was taken.
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN WriteThreadStep(PWORKER Worker) {
  PDEVICE_EXTENSION ext = Worker->Extension;
  PIRP irp = TakeQueuedWrite(ext, &ext->CurrentWriteIrp, FALSE);
  if (irp != NULL) {
    SendWrites(ext, irp);
    if (!RequestListIsEmpty(&ext->WriteQueue)) {
      KeSetEvent(&ext->evWriteQueued, IO_NO_INCREMENT, FALSE);
    }
  }
  return TRUE;
}

// The port is closing: every queued write ends.
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID WriteThreadStopped(PWORKER Worker) {
  RequestListFlush(Worker->Extension, &Worker->Extension->WriteQueue, FALSE);
}

static const WORKER_ROUTINES kWriteThread = {1, NULL, WriteThreadStep, WriteThreadStopped};

/*
 * pWriteFunction: sends the oldest queued write as soon as one is queued
 * (evWriteQueued, cleared before each pass so that a write queued from then
 * on sets it again) and right after the one before it, and looks every
 * millisecond all the same; writes go out one at a time and in order.  On
 * its stop event it ends the write in flight and purges the queue.
 * IRQL: PASSIVE_LEVEL (system thread).  Started by the open path.
 */
_Use_decl_annotations_
VOID NTAPI pWriteFunction(PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Context;
  RunWorkerThread(ext, &ext->evKill_pWriteFunction, &ext->evWriteQueued, &kWriteThread, NULL);
}

/*
 * AbortCurrentWrite: cancels the write on the bus and the one made ready to
 * follow it, if any; the write thread completes them (the one not yet sent
 * is never sent).  Holding SpinLock keeps the requests from being completed
 * while IoCancelIrp looks at them.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Called by the purge request
 * (transmit abort), which then flushes WriteQueue.
 */
_Use_decl_annotations_
VOID AbortCurrentWrite(PDEVICE_EXTENSION Extension) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  PIRP irp = ReadCurrentWrite(Extension);
  if (irp != NULL) {
    IoCancelIrp(irp);
  }
  irp = (PIRP)InterlockedCompareExchangePointer((PVOID volatile*)&Extension->NextWriteIrp, NULL, NULL);
  if (irp != NULL) {
    IoCancelIrp(irp);
  }
  KeReleaseSpinLock(&Extension->SpinLock, irql);
}
