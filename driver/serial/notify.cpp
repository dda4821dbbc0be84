// The removal-notification request.
//
// NotifyIrp holds at most one request.  The slot is read and changed only
// under the system cancel spin lock, which is also what IoCancelIrp holds
// while it takes a cancel routine away and calls it; a request leaves the
// slot before that lock is dropped, so whoever finds it in the slot while
// holding the lock knows the packet is alive.  Of the parties that may end a
// parked request (surprise removal, the handle's cleanup, its cancel routine,
// the dispatcher that parks it), the one that takes the cancel routine away
// owns the completion; a cancel routine that was called owns it outright.
// The owner completes the request and releases the RemoveLock acquisition it
// carried.
#include "serial/notify.h"

#include "core/admission.h"
#include "core/request.h"

/*
 * FinishNotifyIrp: completes a request that the caller owns and has taken out
 * of the slot, then releases the RemoveLock acquisition it carried.
 * IRQL <= DISPATCH_LEVEL, no lock held.  Callers: the routines below.
 */
_Requires_no_locks_held_
static VOID FinishNotifyIrp(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Status) {
  ULONG_PTR information = 0;
  if (Status == STATUS_SUCCESS) {
    // The buffer was checked for a ULONG before the request was parked.
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = REMOVAL_NOTIFY_SURPRISE_REMOVED;
    information = sizeof(ULONG);
  }
  CompleteRequest(Irp, Status, information);
  IoReleaseRemoveLock(&Extension->RemoveLock, LOCK_TAG);
}

/*
 * ParkNotifyIrp: stores the request in the empty slot and leaves it pending
 * with CancelNotifyIrp as its cancel routine, or refuses it with reason 2 when
 * the slot is taken.  A request already cancelled, or arriving after surprise
 * removal or cleanup has looked at the slot, is ended here at once.
 * IRQL PASSIVE_LEVEL.  Caller: DispatchDeviceControl, holding a RemoveLock
 * acquisition (REMOVE_LOCK_TAG) that a request taken here keeps.
 */
_Use_decl_annotations_
NTSTATUS ParkNotifyIrp(PDEVICE_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PULONG reason = (PULONG)Irp->AssociatedIrp.SystemBuffer;
  NTSTATUS finish = STATUS_PENDING;
  NTSTATUS refusal;
  KIRQL irql;

  // Every way out writes a reason code: no room for it, no request.
  if (reason == NULL || stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
    Irp->IoStatus.Information = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }

  IoAcquireCancelSpinLock(&irql);
  if (Extension->NotifyIrp != NULL) {
    IoReleaseCancelSpinLock(irql);
    *reason = REMOVAL_NOTIFY_ALREADY_PARKED;
    Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_UNSUCCESSFUL;
  }
  IoMarkIrpPending(Irp);
  if (Irp->Cancel) {
    // Cancelled before it could have a cancel routine: nobody else will end it.
    finish = STATUS_CANCELLED;
  } else if (InterlockedOr((volatile LONG*)&Extension->DeviceRemoved, 0) != 0) {
    // Surprise removal came after the dispatcher's own check and found the
    // slot empty; parked now, the request would wait for good.
    finish = STATUS_SUCCESS;
  } else if ((refusal = WaitingRequestRefusal(Extension)) != STATUS_SUCCESS) {
    // The handle is being cleaned up (or the port cannot serve): cleanup
    // has looked at the slot or is about to, and must not find it taken.
    finish = refusal;
  } else {
    Extension->NotifyIrp = Irp;
    (void)IoSetCancelRoutine(Irp, CancelNotifyIrp);
  }
  IoReleaseCancelSpinLock(irql);

  if (finish != STATUS_PENDING) {
    FinishNotifyIrp(Extension, Irp, finish);
  }
  return STATUS_PENDING;
}

/*
 * EndParkedNotifyIrp: see notify.h.  The slot is read and emptied under the
 * cancel spin lock, and the request is ours only if we take its cancel
 * routine away; otherwise its cancel routine is running and completes it.
 * IRQL PASSIVE_LEVEL.  Callers: surprise removal, after DeviceRemoved is set,
 * and cleanup, after PortClosing is set (a request parked after either sees
 * its flag and ends itself).
 */
_Use_decl_annotations_
VOID EndParkedNotifyIrp(PDEVICE_EXTENSION Extension, NTSTATUS Status) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = Extension->NotifyIrp;
  if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  Extension->NotifyIrp = NULL;
  IoReleaseCancelSpinLock(irql);
  FinishNotifyIrp(Extension, irp, Status);
}

/*
 * CancelNotifyIrp: cancel routine of the parked request; empties the slot and
 * completes the request with STATUS_CANCELLED.
 * Entered at DISPATCH_LEVEL holding the cancel spin lock.  Caller: the I/O
 * manager (IoCancelIrp).
 */
_Use_decl_annotations_
VOID NTAPI CancelNotifyIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION extension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  // Emptied before the lock goes, so surprise removal never sees a request
  // whose cancellation already owns it.
  if (extension->NotifyIrp == Irp) {
    extension->NotifyIrp = NULL;
  }
  IoReleaseCancelSpinLock(Irp->CancelIrql);

  FinishNotifyIrp(extension, Irp, STATUS_CANCELLED);
}
