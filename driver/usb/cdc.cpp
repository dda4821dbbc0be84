// Communications-class requests and the immediate character.

#include "usb/cdc.h"

#include "usb/pipes.h"
#include "usb/usb_io.h"

/*
 * ZLKUSB_BuildClassRequestUrb: allocates and fills a class or vendor request
 * URB.  Any IRQL <= DISPATCH_LEVEL.  Called by the class requests below.
 */
_Use_decl_annotations_
PURB ZLKUSB_BuildClassRequestUrb(USHORT Function, ULONG TransferFlags, ULONG TransferBufferLength,
                                 PVOID TransferBuffer, PMDL TransferBufferMDL, PURB UrbLink,
                                 UCHAR RequestTypeReservedBits, UCHAR Request, USHORT Value, USHORT Index) {
  const USHORT size = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG_DRIVER);
  if (urb == NULL) {
    return NULL;
  }
  RtlZeroMemory(urb, size);
  UsbBuildVendorRequest(urb, Function, size, TransferFlags, RequestTypeReservedBits, Request, Value, Index,
                        TransferBuffer, TransferBufferMDL, TransferBufferLength, UrbLink);
  return urb;
}

/*
 * ClassRequestDueTime: the relative due time of a class request's wait.
 * Any IRQL.  Called by the class requests below.
 */
_IRQL_requires_max_(HIGH_LEVEL)
static LARGE_INTEGER ClassRequestDueTime(VOID) {
  LARGE_INTEGER due;
  due.QuadPart = -(LONGLONG)CDC_CLASS_REQUEST_TIMEOUT_MS * 10000;
  return due;
}

/*
 * ZLKUSB_SetLineCoding: sends SET_LINE_CODING with the 7 bytes of
 * LineCoding to interface 0 and waits for it, at most
 * CDC_CLASS_REQUEST_TIMEOUT_MS and no longer than until Cancelled (NULL:
 * none) is signalled.  Fails when the URB cannot be had, the device or bus
 * refuses the request (STATUS_UNSUCCESSFUL), the modem does not answer in
 * time (STATUS_IO_TIMEOUT) or the wait is cancelled (STATUS_CANCELLED), so
 * that the caller keeps its old settings.  Takes no lock: the URB is its
 * own.  PASSIVE_LEVEL; called by the control dispatcher and the power-up
 * restart.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_SetLineCoding(PDEVICE_OBJECT DeviceObject, PLINE_CODING LineCoding, PKEVENT Cancelled) {
  PURB urb = ZLKUSB_BuildClassRequestUrb(URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT,
                                         sizeof(LINE_CODING), LineCoding, NULL, NULL,
                                         CDC_REQUEST_TYPE_CLASS_INTERFACE_OUT, CDC_SET_LINE_CODING, 0, 0);
  if (urb == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  LARGE_INTEGER due = ClassRequestDueTime();
  NTSTATUS status = ZLKUSB_SubmitUrbBounded(DeviceObject, urb, &due, Cancelled);
  if (status == STATUS_TIMEOUT) {
    status = STATUS_IO_TIMEOUT;  // a failure: the modem never answered
  } else if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) {
    status = STATUS_UNSUCCESSFUL;
  }
  ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
  return status;
}

/*
 * ZLKUSB_SetControlLineState: sends SET_CONTROL_LINE_STATE with DTR and RTS
 * from ModemControl on the caller's packet and waits for it, at most
 * CDC_CLASS_REQUEST_TIMEOUT_MS; the packet stays cancellable by its owner
 * meanwhile, through the bus.  A device that refuses the request is not an
 * error here: many modems stall it and work regardless.  A modem that never
 * answers is: the request is cancelled and STATUS_IO_TIMEOUT returned; a
 * request its owner cancelled returns STATUS_CANCELLED.  PASSIVE_LEVEL;
 * called by open, cleanup, the control dispatcher and the power-up restart.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_SetControlLineState(PIRP Irp, PDEVICE_EXTENSION DeviceExtension) {
  PDEVICE_EXTENSION ext = DeviceExtension;
  KeWaitForSingleObject(&ext->ControlMutex, Executive, KernelMode, FALSE, NULL);

  // Callers on other threads may be changing ModemControl: read it once, whole.
  ULONG modemControl = (ULONG)InterlockedCompareExchange((LONG volatile*)&ext->ModemControl, 0, 0);
  USHORT value = (USHORT)(modemControl & (MODEM_CONTROL_DTR | MODEM_CONTROL_RTS));
  PURB urb = ZLKUSB_BuildClassRequestUrb(URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT, 0, NULL,
                                         NULL, NULL, CDC_REQUEST_TYPE_CLASS_INTERFACE_OUT,
                                         CDC_SET_CONTROL_LINE_STATE, value, 0);
  if (urb == NULL) {
    KeReleaseMutex(&ext->ControlMutex, FALSE);
    return STATUS_UNSUCCESSFUL;
  }
  ZLKUSB_SetUrbDeviceHandle(ext, urb);
  urb->UrbControlVendorClassRequest.RequestTypeReservedBits = 0;
  ext->ControlUrb = urb;

  NTSTATUS status = STATUS_SUCCESS;
  KeInitializeEvent(&ext->evControlDone, NotificationEvent, FALSE);
  ZLKUSB_SetupNextStackLocation(Irp, urb, ZLKUSB_IOCTL_Async_Complete, ext);
  if (IoCallDriver(ext->TopOfStackDeviceObject, Irp) == STATUS_PENDING) {
    LARGE_INTEGER due = ClassRequestDueTime();
    if (KeWaitForSingleObject(&ext->evControlDone, Executive, KernelMode, FALSE, &due) == STATUS_TIMEOUT) {
      IoCancelIrp(Irp);
      KeWaitForSingleObject(&ext->evControlDone, Executive, KernelMode, FALSE, NULL);
      if (Irp->IoStatus.Status != STATUS_SUCCESS) {
        status = STATUS_IO_TIMEOUT;
      }
    }
  }
  if (status == STATUS_SUCCESS && Irp->IoStatus.Status == STATUS_CANCELLED) {
    status = STATUS_CANCELLED;
  }

  ext->ControlUrb = NULL;
  ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
  KeReleaseMutex(&ext->ControlMutex, FALSE);
  return status;
}

/*
 * ZLKUSB_IOCTL_Async_Complete: keeps the device handle the bus driver wrote
 * into the line-state URB, wakes the sender and leaves the packet to it.
 * IRQL <= DISPATCH_LEVEL, any thread; called by the I/O manager.
 */
_Use_decl_annotations_
NTSTATUS NTAPI ZLKUSB_IOCTL_Async_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Context;
  ZLKUSB_LearnUrbDeviceHandle(ext, ext->ControlUrb);
  KeSetEvent(&ext->evControlDone, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * ZLKUSB_Write_OneChar: sends one character on the bulk OUT pipe on a packet
 * of its own and waits for it; not ordered against the write thread.  The
 * wait is bounded by Timeout (a due time; NULL: none) and ends early when
 * Cancelled (NULL: none) is signalled (ZLKUSB_SubmitUrbBounded).  Returns
 * STATUS_SUCCESS with *Count 1 once the byte went out; otherwise the send's
 * own status (STATUS_TIMEOUT, STATUS_CANCELLED, the bus's failure, or
 * STATUS_UNSUCCESSFUL when nothing could be sent) with *Count 0.  Without a
 * bulk OUT pipe nothing is sent.  PASSIVE_LEVEL; called by the control
 * dispatcher for the immediate character.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_Write_OneChar(PDEVICE_OBJECT DeviceObject, UCHAR Character, PULONG Count,
                              PLARGE_INTEGER Timeout, PKEVENT Cancelled) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  *Count = 0;
  PPIPE_ENTRY pipe = ZLKUSB_FindPipe(ext, UsbdPipeTypeBulk, 0);
  if (pipe == NULL) {
    return ZLKUSB_STATUS_NO_PIPE;
  }
  UCHAR character = Character;
  PURB urb = ZLKUSB_BuildWriteUrb(&character, 1, pipe);
  if (urb == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  ZLKUSB_SetUrbDeviceHandle(ext, urb);
  NTSTATUS status = ZLKUSB_SubmitUrbBounded(DeviceObject, urb, Timeout, Cancelled);
  if (status == STATUS_SUCCESS) {
    if (USBD_SUCCESS(urb->UrbHeader.Status) && urb->UrbBulkOrInterruptTransfer.TransferBufferLength == 1) {
      *Count = 1;
    } else {
      status = STATUS_UNSUCCESSFUL;
    }
  }
  ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
  return status;
}
