// The write path.
//
// DispatchWrite queues each write; pWriteFunction, the only sender, takes
// them in order and passes the client's own request down with a transfer
// URB.  The request comes back to the write thread: ZLKUSB_Write_Complete
// records the outcome, signals evWriteDone and stops the completion, and the
// thread lets it go on to the client only after it has taken it out of
// CurrentWriteIrp under SpinLock.  So the write in flight stays valid for as
// long as anyone can find it there (the time-out and the purge cancel it
// with IoCancelIrp under SpinLock), and a write cancelled on time-out, by a
// purge or at the thread's stop is always waited for before the next one is
// sent: its completion can never be taken for the next write's, and at most
// one write is ever on the bus.  A write longer than the pipe's maximum
// transfer size goes down as several transfers, one after the other, on the
// same request; its time-out covers them all.  When a write is done the
// thread sends the next queued one before it completes the done one to the
// client, so the bus does not wait for the client's wake-up.
//
// A queued write carries WriteCancelRoutine.  It is queued, and taken off
// the queue by the thread or a purge, under SpinLock, which the cancel
// routine takes before it looks in the queue; whoever clears the cancel
// routine first completes the write.  The thread clears it as it takes a
// write, so the write in flight is cancelled only through the bus.
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

// Makes the oldest queued write the write in flight, in place of the one
// that has just finished, and returns it; with none queued (or Stopping),
// the write in flight becomes none.  One hold of SpinLock: a canceller
// never finds the finished write (which is about to complete) nor misses the
// next one between the queue and CurrentWriteIrp.  A write whose cancel
// routine has already been taken is left to WriteCancelRoutine.
_Requires_lock_not_held_(Extension->SpinLock)
static PIRP TakeNextWrite(PDEVICE_EXTENSION Extension, BOOLEAN Stopping) {
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
  InterlockedExchangePointer((PVOID volatile*)&Extension->CurrentWriteIrp, irp);
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  return irp;
}

/*
 * ZLKUSB_Write: passes Irp down the USB stack as a bulk-OUT transfer of
 * Data/Length with ZLKUSB_Write_Complete as its completion routine.  When no
 * OUT pipe or no URB can be had, nothing is sent and the transfer ends at
 * once as failed (STATUS_UNSUCCESSFUL, no bytes, evWriteDone set), as if the
 * bus had refused it: the write thread completes the request.
 * IRQL: PASSIVE_LEVEL.  Called by pWriteFunction with Irp in CurrentWriteIrp.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_Write(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Data, ULONG Length) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PPIPE_ENTRY pipe = ZLKUSB_FindPipe(ext, UsbdPipeTypeBulk, PIPE_DIRECTION_OUT);
  PURB urb = pipe != NULL ? ZLKUSB_BuildWriteUrb(Data, Length, pipe) : NULL;
  if (urb == NULL) {
    Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    Irp->IoStatus.Information = 0;
    KeSetEvent(&ext->evWriteDone, IO_NO_INCREMENT, FALSE);
    return STATUS_UNSUCCESSFUL;
  }
  ZLKUSB_SetUrbDeviceHandle(ext, urb);

  ZLKUSB_SetupNextStackLocation(Irp, urb, ZLKUSB_Write_Complete, urb);
  return IoCallDriver(ext->TopOfStackDeviceObject, Irp);
}

/*
 * ZLKUSB_Write_Complete: the bus has finished a transfer of the write:
 * records the bytes the device took, whatever the outcome (a transfer
 * cancelled or failed part-way has still moved them), frees the URB and
 * wakes the write thread, which sends the rest or completes the request to
 * the client.  Takes no lock: it may run inside IoCancelIrp called under
 * SpinLock.
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
  KeSetEvent(&ext->evWriteDone, IO_NO_INCREMENT, FALSE);
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

// Whether a purge (or the client) has cancelled the write between two of
// its transfers: read under the cancel spin lock, which IoCancelIrp holds
// as it sets the flag.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN WriteCancelled(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN cancelled = Irp->Cancel;
  IoReleaseCancelSpinLock(irql);
  return cancelled;
}

// What ended the write thread's wait for a transfer: the index of the
// object in SendWrites' wait.
constexpr NTSTATUS WRITE_WAIT_DONE = STATUS_WAIT_0;
constexpr NTSTATUS WRITE_WAIT_STOPPED = STATUS_WAIT_0 + 1;
constexpr NTSTATUS WRITE_WAIT_TIMED_OUT = STATUS_WAIT_0 + 2;

// A write the thread is sending: its request, its data and how far it has
// gone.
typedef struct _WRITE_IN_FLIGHT {
  PIRP Irp;
  PUCHAR Data;
  ULONG Length;
  ULONG Sent;
} WRITE_IN_FLIGHT, *PWRITE_IN_FLIGHT;

// Begins a write: arms its time-out, one for the whole write however many
// transfers it takes.
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID BeginWrite(PDEVICE_EXTENSION Extension, PWRITE_IN_FLIGHT Write, PIRP Irp, PKTIMER Deadline) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  ULONG timeoutMs = Extension->Timeouts.WriteTotalTimeoutConstant;
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  (void)KeSetTimer(Deadline, TotalTimeoutToDueTime(timeoutMs), NULL);
  Write->Irp = Irp;
  Write->Data = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  Write->Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
  Write->Sent = 0;
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
// The next write goes to the bus before the finished one goes back to the
// client: completing it wakes the client, which on a busy machine can cost
// the bus a (micro)frame.  So the client may see a write complete while
// the next is already on the bus, never before its own last byte moved,
// and always in order (this one thread completes them all).
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID SendWrites(PDEVICE_EXTENSION Extension, PIRP First) {
  KTIMER deadline;
  KeInitializeTimer(&deadline);
  const ULONG limit = WriteTransferLimit(Extension);
  WRITE_IN_FLIGHT write;
  BeginWrite(Extension, &write, First, &deadline);
  PIRP finished = NULL;  // done, to complete once the next is on the bus
  for (;;) {
    ULONG chunk = (write.Length - write.Sent < limit) ? write.Length - write.Sent : limit;
    const BOOLEAN cancelled = WriteCancelled(write.Irp);
    if (!cancelled) {
      KeClearEvent(&Extension->evWriteDone);
      write.Irp->IoStatus.Status = STATUS_SUCCESS;
      write.Irp->IoStatus.Information = 0;
      (void)ZLKUSB_Write(Extension->FunctionalDeviceObject, write.Irp, write.Data + write.Sent, chunk);
    }
    if (finished != NULL) {
      CompleteWrite(Extension, finished);
      finished = NULL;
    }

    NTSTATUS status = STATUS_CANCELLED;
    NTSTATUS wait = WRITE_WAIT_DONE;
    ULONG moved = 0;
    if (!cancelled) {
      PVOID objects[3] = {&Extension->evWriteDone, &Extension->evKill_pWriteFunction, &deadline};
      wait = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
      if (wait != WRITE_WAIT_DONE) {
        // Timed out, or the port is closing: a device that never takes the
        // data must not hold the thread.
        KIRQL irql;
        KeAcquireSpinLock(&Extension->SpinLock, &irql);
        IoCancelIrp(write.Irp);
        KeReleaseSpinLock(&Extension->SpinLock, irql);
        KeWaitForSingleObject(&Extension->evWriteDone, Executive, KernelMode, FALSE, NULL);
      }
      moved = (write.Irp->IoStatus.Information < chunk) ? (ULONG)write.Irp->IoStatus.Information : chunk;
      write.Sent += moved;
      status = write.Irp->IoStatus.Status;
      if (wait == WRITE_WAIT_TIMED_OUT && (status != STATUS_SUCCESS || write.Sent < write.Length)) {
        status = STATUS_TIMEOUT;
      } else if (wait == WRITE_WAIT_STOPPED && status == STATUS_SUCCESS && write.Sent < write.Length) {
        status = STATUS_CANCELLED;
      }
      // A device that took less than a whole transfer ends the write there.
      if (status == STATUS_SUCCESS && write.Sent < write.Length && moved == chunk) {
        continue;
      }
    }

    (void)KeCancelTimer(&deadline);
    write.Irp->IoStatus.Status = status;
    write.Irp->IoStatus.Information = write.Sent;
    finished = write.Irp;
    const BOOLEAN stopping =
        wait == WRITE_WAIT_STOPPED || KeReadStateEvent(&Extension->evKill_pWriteFunction) != 0;
    PIRP next = TakeNextWrite(Extension, stopping);
    if (next == NULL) {
      break;
    }
    BeginWrite(Extension, &write, next, &deadline);
  }
  KeClearEvent(&Extension->evWriteDone);
  CompleteWrite(Extension, finished);
}

// One pass of the write thread: sends the queued writes, and comes back at
// once if one was queued as the last was taken.
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN WriteThreadStep(PWORKER Worker) {
  PDEVICE_EXTENSION ext = Worker->Extension;
  PIRP irp = TakeNextWrite(ext, FALSE);
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
 * AbortCurrentWrite: cancels the write on the bus, if any; the write thread
 * completes it when the bus gives it back.  Holding SpinLock keeps the
 * request from being completed while IoCancelIrp looks at it.
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
  KeReleaseSpinLock(&Extension->SpinLock, irql);
}
