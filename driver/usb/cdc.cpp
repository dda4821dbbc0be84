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
 * ZLKUSB_SetLineCoding: sends SET_LINE_CODING with the 7 bytes of
 * LineCoding to interface 0 and waits for it.  Fails when the URB cannot be
 * had or the device or bus refuses the request, so that the caller keeps
 * its old settings.  Takes no lock: the URB is its own.  PASSIVE_LEVEL;
 * called by the control dispatcher and the power-up restart.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_SetLineCoding(PDEVICE_OBJECT DeviceObject, PLINE_CODING LineCoding) {
  PURB urb = ZLKUSB_BuildClassRequestUrb(URB_FUNCTION_CLASS_INTERFACE, USBD_TRANSFER_DIRECTION_OUT,
                                         sizeof(LINE_CODING), LineCoding, NULL, NULL,
                                         CDC_REQUEST_TYPE_CLASS_INTERFACE_OUT, CDC_SET_LINE_CODING, 0, 0);
  if (urb == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS status = ZLKUSB_SubmitUrbSync(DeviceObject, urb);
  if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) {
    status = STATUS_UNSUCCESSFUL;
  }
  ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
  return status;
}

/*
 * ZLKUSB_SetControlLineState: sends SET_CONTROL_LINE_STATE with DTR and RTS
 * from ModemControl on the caller's packet and waits for it.  A device that
 * refuses the request is not an error here: many modems stall it and work
 * regardless.  PASSIVE_LEVEL; called by open, cleanup, the control
 * dispatcher and the power-up restart.
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

  KeInitializeEvent(&ext->evControlDone, NotificationEvent, FALSE);
  ZLKUSB_SetupNextStackLocation(Irp, urb, ZLKUSB_IOCTL_Async_Complete, ext);
  if (IoCallDriver(ext->TopOfStackDeviceObject, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&ext->evControlDone, Executive, KernelMode, FALSE, NULL);
  }

  ext->ControlUrb = NULL;
  ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
  KeReleaseMutex(&ext->ControlMutex, FALSE);
  return STATUS_SUCCESS;
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
 * Cancelled (NULL: none) is signalled; the transfer is then cancelled and
 * waited for, so the URB and the packet are never freed under the bus.
 * Returns the transfer's status and the bytes sent in *Count.  Without a
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
  PIRP irp = IoAllocateIrp((CCHAR)(ext->TopOfStackDeviceObject->StackSize + 1), FALSE);
  if (irp == NULL) {
    ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
    return STATUS_UNSUCCESSFUL;
  }

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  irp->Tail.Overlay.DriverContext[0] = &done;
  ZLKUSB_SetupNextStackLocation(irp, urb, ZLKUSB_Write_OneChar_Complete, urb);

  NTSTATUS status = IoCallDriver(ext->TopOfStackDeviceObject, irp);
  if (status == STATUS_PENDING) {
    PVOID objects[2] = {&done, Cancelled};
    NTSTATUS wait = KeWaitForMultipleObjects(Cancelled != NULL ? 2 : 1, objects, WaitAny, Executive,
                                             KernelMode, FALSE, Timeout, NULL);
    if (wait != STATUS_WAIT_0) {
      IoCancelIrp(irp);
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    status = (NTSTATUS)urb->UrbHeader.Status;
    *Count = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  } else if (NT_SUCCESS(status)) {
    // Completed before the call returned: the URB already holds the count.
    *Count = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  }
  ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
  IoFreeIrp(irp);
  return status;
}

/*
 * ZLKUSB_Write_OneChar_Complete: wakes the sender through the event in the
 * packet's first driver-context slot; the URB and the packet stay with the
 * sender.  IRQL <= DISPATCH_LEVEL, any thread; called by the I/O manager.
 */
_Use_decl_annotations_
NTSTATUS NTAPI ZLKUSB_Write_OneChar_Complete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Context);
  PKEVENT done = (PKEVENT)Irp->Tail.Overlay.DriverContext[0];
  if (done != NULL) {
    KeSetEvent(done, IO_NO_INCREMENT, FALSE);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}
