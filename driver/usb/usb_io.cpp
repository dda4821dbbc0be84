// USB request primitives.
//
// The two read packets (BulkInIrp, InterruptIrp) belong to the driver: their
// completion routine stops completion with STATUS_MORE_PROCESSING_REQUIRED,
// so after each read the packet is back in the driver's hands with its stack
// pointer where it started and can be sent again.  The packet's Cancel flag
// is deliberately not reset between reads: a cancel that cleanup issues
// between two reads must still stop the next one.

#include "usb/usb_io.h"

#include "usb/pipes.h"

/*
 * ZLKUSB_SubmitUrbSync: builds an internal device-control packet carrying
 * Urb, sends it to the device below and waits for it without time-out.
 * Returns the packet's status; the URB's own USBD status is left for the
 * caller to read.  PASSIVE_LEVEL; called by configuration, the class
 * requests and pipe resets, possibly on several threads at once.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ioStatus.Status = STATUS_SUCCESS;
  ioStatus.Information = 0;

  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, ext->TopOfStackDeviceObject, NULL,
                                           0, NULL, 0, TRUE, &event, &ioStatus);
  if (irp == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = Urb;

  NTSTATUS status = IoCallDriver(ext->TopOfStackDeviceObject, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}

/*
 * ZLKUSB_SubmitUrbBounded: sends Urb on a packet of its own and waits for
 * it until Timeout (a due time; NULL: none) or until Cancelled (NULL: none)
 * is signalled.  A transfer given up is cancelled and waited for, so the URB
 * and the packet are never freed under the bus.  Returns the packet's
 * status; a transfer given up that did not succeed meanwhile answers
 * STATUS_TIMEOUT or STATUS_CANCELLED.  STATUS_UNSUCCESSFUL when no packet
 * can be had (nothing is sent).  PASSIVE_LEVEL; called by the class
 * requests and the immediate character.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_SubmitUrbBounded(PDEVICE_OBJECT DeviceObject, PURB Urb, PLARGE_INTEGER Timeout,
                                 PKEVENT Cancelled) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIRP irp = IoAllocateIrp((CCHAR)(ext->TopOfStackDeviceObject->StackSize + 1), FALSE);
  if (irp == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  ZLKUSB_SetupNextStackLocation(irp, Urb, ZLKUSB_Async_Complete, &done);

  NTSTATUS status = IoCallDriver(ext->TopOfStackDeviceObject, irp);
  if (status == STATUS_PENDING) {
    PVOID objects[2] = {&done, Cancelled};
    NTSTATUS wait = KeWaitForMultipleObjects(Cancelled != NULL ? 2 : 1, objects, WaitAny, Executive,
                                             KernelMode, FALSE, Timeout, NULL);
    NTSTATUS gaveUp = STATUS_SUCCESS;
    if (wait != STATUS_WAIT_0) {
      gaveUp = (wait == STATUS_TIMEOUT) ? STATUS_TIMEOUT : STATUS_CANCELLED;
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    status = irp->IoStatus.Status;
    if (gaveUp != STATUS_SUCCESS && status != STATUS_SUCCESS) {
      status = gaveUp;
    }
  }
  IoFreeIrp(irp);
  return status;
}

/*
 * ZLKUSB_SetUrbDeviceHandle: writes the device handle last learnt from the
 * bus driver into the URB header.  Any IRQL.  Called before every transfer.
 */
_Use_decl_annotations_
VOID ZLKUSB_SetUrbDeviceHandle(PDEVICE_EXTENSION DeviceExtension, PURB Urb) {
  // The line-state completion may refresh the handle on another processor.
  Urb->UrbHeader.UsbdDeviceHandle =
      InterlockedCompareExchangePointer((PVOID volatile*)&DeviceExtension->UsbdDeviceHandle, NULL, NULL);
}

/*
 * ZLKUSB_LearnUrbDeviceHandle: keeps the handle the bus driver wrote into a
 * completed URB.  IRQL <= DISPATCH_LEVEL.  Called by configuration and the
 * line-state completion routine.
 */
_Use_decl_annotations_
VOID ZLKUSB_LearnUrbDeviceHandle(PDEVICE_EXTENSION DeviceExtension, PURB Urb) {
  InterlockedExchangePointer((PVOID volatile*)&DeviceExtension->UsbdDeviceHandle,
                             Urb->UrbHeader.UsbdDeviceHandle);
}

// Both builders; only the transfer flags differ.
_IRQL_requires_max_(DISPATCH_LEVEL)
static PURB BuildTransferUrb(PVOID Buffer, ULONG Length, PPIPE_ENTRY Pipe, ULONG TransferFlags) {
  if (Pipe == NULL) {
    return NULL;
  }
  const USHORT size = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG_DRIVER);
  if (urb == NULL) {
    return NULL;
  }
  RtlZeroMemory(urb, size);
  UsbBuildInterruptOrBulkTransferRequest(urb, size, Pipe->PipeInfo.PipeHandle, Buffer, NULL, Length,
                                         TransferFlags, NULL);
  return urb;
}

/*
 * ZLKUSB_BuildReadUrb: an IN transfer URB for Length bytes into Buffer on the
 * given pipe, short transfers accepted.  Any IRQL <= DISPATCH_LEVEL.  Called
 * by both reads.
 */
_Use_decl_annotations_
PURB ZLKUSB_BuildReadUrb(PVOID Buffer, ULONG Length, PPIPE_ENTRY Pipe) {
  return BuildTransferUrb(Buffer, Length, Pipe, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
}

/*
 * ZLKUSB_BuildWriteUrb: an OUT transfer URB for Length bytes from Buffer.
 * Any IRQL <= DISPATCH_LEVEL.  Called by the write path and the immediate
 * character.
 */
_Use_decl_annotations_
PURB ZLKUSB_BuildWriteUrb(PVOID Buffer, ULONG Length, PPIPE_ENTRY Pipe) {
  return BuildTransferUrb(Buffer, Length, Pipe, USBD_TRANSFER_DIRECTION_OUT);
}

/*
 * ZLKUSB_SetupNextStackLocation: prepares the location below the current one
 * for IOCTL_INTERNAL_USB_SUBMIT_URB with Urb, and installs CompletionRoutine
 * for success, error and cancel.  Other members of the location are left as
 * they are.  Any IRQL <= DISPATCH_LEVEL.  Called by every asynchronous
 * submission of the driver.
 */
_Use_decl_annotations_
VOID ZLKUSB_SetupNextStackLocation(PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                   PVOID Context) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = Urb;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->CompletionRoutine = CompletionRoutine;
  next->Context = Context;
  next->Control = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
}

/*
 * ZLKUSB_Async_Complete: signals the event given as Context and keeps the
 * packet for its owner.  IRQL <= DISPATCH_LEVEL, any thread; called by the
 * I/O manager when a read completes.
 */
_Use_decl_annotations_
NTSTATUS NTAPI ZLKUSB_Async_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// One read on a reused packet: the body of both pipe reads.
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ReadPipe(PDEVICE_OBJECT DeviceObject, PIRP Irp, PKEVENT Done, PPIPE_ENTRY Pipe, PVOID Buffer,
                         PULONG Length, PULONG UsbdStatus, BOOLEAN TracePended) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  // Re-initialising discards a signal left over from the previous read.
  KeInitializeEvent(Done, NotificationEvent, FALSE);
  InterlockedExchangePointer((PVOID volatile*)&Irp->CancelRoutine, NULL);

  PURB urb = ZLKUSB_BuildReadUrb(Buffer, *Length, Pipe);
  if (urb == NULL) {
    *Length = 0;  // nothing was read: the caller stores what a read moved, failed or not
    *UsbdStatus = ZLKUSB_USBD_STATUS_NO_MEMORY;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ZLKUSB_SetUrbDeviceHandle(ext, urb);
  ZLKUSB_SetupNextStackLocation(Irp, urb, ZLKUSB_Async_Complete, Done);

  NTSTATUS sent = IoCallDriver(ext->TopOfStackDeviceObject, Irp);
  if (sent == STATUS_PENDING) {
    KeWaitForSingleObject(Done, Executive, KernelMode, FALSE, NULL);
    if (TracePended) {
      DbgPrint(" [ReadInterrupt] urb = %x ,Urb->Hdr.Status\n", (ULONG)urb->UrbHeader.Status);
    }
    *Length = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  } else {
    // Completed before the call returned: the URB already holds the result,
    // and the bytes it reports are in the buffer.
    *Length = NT_SUCCESS(sent) ? urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
  }
  *UsbdStatus = (ULONG)urb->UrbHeader.Status;
  NTSTATUS status = Irp->IoStatus.Status;
  ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
  return status;
}

/*
 * ZLKUSB_ReadBulkIn: reads at most 64 KiB from the bulk IN pipe into Buffer
 * on the reused BulkInIrp and waits for it.  Returns the packet's status;
 * *Length gets the bytes received, *UsbdStatus the URB's status.  Without a
 * bulk IN pipe nothing is sent.  PASSIVE_LEVEL; called by the bulk-IN
 * polling thread only.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_ReadBulkIn(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, PULONG Length,
                           PULONG UsbdStatus) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PPIPE_ENTRY pipe = ZLKUSB_FindPipe(ext, UsbdPipeTypeBulk, 1);
  if (*Length > BULK_MAX_TRANSFER_SIZE) {
    *Length = BULK_MAX_TRANSFER_SIZE;
  }
  if (pipe == NULL) {
    *Length = 0;
    *UsbdStatus = ZLKUSB_USBD_STATUS_NO_PIPE;
    return ZLKUSB_STATUS_NO_PIPE;
  }
  return ReadPipe(DeviceObject, Irp, &ext->evBulkInDone, pipe, Buffer, Length, UsbdStatus, FALSE);
}

/*
 * ReadInterrupt: the same read on the interrupt pipe with InterruptIrp; the
 * length is not capped, but cut to whole packets of the pipe.  PASSIVE_LEVEL; called by the interrupt polling
 * thread only.
 */
_Use_decl_annotations_
NTSTATUS ReadInterrupt(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, PULONG Length,
                       PULONG UsbdStatus) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PPIPE_ENTRY pipe = ZLKUSB_FindPipe(ext, UsbdPipeTypeInterrupt, 1);
  if (pipe == NULL) {
    *Length = 0;
    *UsbdStatus = ZLKUSB_USBD_STATUS_NO_PIPE;
    return ZLKUSB_STATUS_NO_PIPE;
  }
  // Whole packets only: a notification that fills a packet does not end the
  // transfer, and the next one overruns the part-packet left (16 bytes asked
  // of a 10-byte endpoint, as Linux's gadget ACM function has, lose both).
  const ULONG packet = pipe->PipeInfo.MaximumPacketSize;
  if (packet != 0 && packet < *Length) *Length -= *Length % packet;
  return ReadPipe(DeviceObject, Irp, &ext->evInterruptDone, pipe, Buffer, Length, UsbdStatus, TRUE);
}

/*
 * ZLKUSB_ResetPipe: resets the pipe and clears its stall, synchronously.
 * PASSIVE_LEVEL; called at start (interrupt pipe), at open (bulk IN pipe)
 * and when the polling threads begin.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInfo) {
  if (PipeInfo == NULL) {
    return ZLKUSB_STATUS_NO_PIPE;
  }
  const USHORT size = sizeof(struct _URB_PIPE_REQUEST);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG_DRIVER);
  if (urb == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = size;
  urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  urb->UrbPipeRequest.PipeHandle = PipeInfo->PipeHandle;
  NTSTATUS status = ZLKUSB_SubmitUrbSync(DeviceObject, urb);
  ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
  return status;
}
