// The modem's USB requests: IOCTL_INTERNAL_USB_SUBMIT_URB answered from the
// descriptor table (descriptors.h) and the AT modem (modem.h).  IN transfers
// pend until the modem has something to say; they are cancellable, and
// abort, unplug and removal fail them.
#include "testbus.h"

#include "descriptors.h"

#define CDC_SET_LINE_CODING 0x20
#define CDC_GET_LINE_CODING 0x21
#define CDC_SET_CONTROL_LINE_STATE 0x22
#define CDC_SEND_BREAK 0x23
#define CDC_SERIAL_STATE 0x20

static PTESTBUS_PDO PdoOf(PDEVICE_OBJECT DeviceObject) {
  return &((PTESTBUS_EXTENSION)DeviceObject->DeviceExtension)->Pdo;
}

static NTSTATUS CompleteUrb(PIRP Irp, PURB Urb, NTSTATUS Status, USBD_STATUS UsbdStatus) {
  Urb->UrbHeader.Status = UsbdStatus;
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

static PURB UrbOf(PIRP Irp) { return (PURB)IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument1; }

static PVOID TransferBuffer(PVOID Buffer, PMDL Mdl) {
  if (Buffer != NULL || Mdl == NULL) return Buffer;
  return MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority);
}

// ---- Pended IN transfers ----------------------------------------------------------

static VOID CancelIn(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  PTESTBUS_PDO pdo = PdoOf(DeviceObject);
  KIRQL irql;
  KeAcquireSpinLock(&pdo->Lock, &irql);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&pdo->Lock, irql);
  CompleteUrb(Irp, UrbOf(Irp), STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

// Takes the first pended IRP of `List` whose cancel routine has not
// started, or NULL.  Lock held.
static PIRP TakePending(PLIST_ENTRY List) {
  while (!IsListEmpty(List)) {
    PLIST_ENTRY entry = RemoveHeadList(List);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) != NULL) return irp;
    // Being cancelled: the cancel routine removes an entry that is no longer
    // listed, harmlessly, and completes it.
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
  }
  return NULL;
}

// Queues an IN transfer, cancellable; FALSE when it was cancelled already
// (the caller completes it).  Lock held.
static BOOLEAN PendIn(PLIST_ENTRY List, PIRP Irp) {
  IoSetCancelRoutine(Irp, CancelIn);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) return FALSE;
  IoMarkIrpPending(Irp);
  InsertTailList(List, &Irp->Tail.Overlay.ListEntry);
  return TRUE;
}

// Serves the pended IN transfers from what the modem has: bytes on bulk IN,
// a SERIAL_STATE change on the notification endpoint.  Completes outside
// the lock: the function driver resubmits from its completion routine.
static VOID Pump(PTESTBUS_PDO Pdo) {
  for (;;) {
    PIRP irp = NULL;
    KIRQL irql;
    KeAcquireSpinLock(&Pdo->Lock, &irql);
    const BOOLEAN notify = Pdo->DoorNotifyDue || Pdo->NotifyDue;
    if (notify && (irp = TakePending(&Pdo->PendingIn[0])) != NULL) {
      // The door's notification first, as the emulator's scenario modem sends it.
      const USHORT state = Pdo->DoorNotifyDue ? Pdo->DoorState : Pdo->NotifiedState;
      if (Pdo->DoorNotifyDue) {
        Pdo->DoorNotifyDue = FALSE;
      } else {
        Pdo->NotifyDue = FALSE;
      }
      struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &UrbOf(irp)->UrbBulkOrInterruptTransfer;
      PUCHAR buffer = (PUCHAR)TransferBuffer(t->TransferBuffer, t->TransferBufferMDL);
      const UCHAR note[10] = {
          0xA1, CDC_SERIAL_STATE, 0, 0, 0, 0, 2, 0, (UCHAR)(state & 0xFF), (UCHAR)(state >> 8)};
      ULONG n = t->TransferBufferLength < sizeof(note) ? t->TransferBufferLength : sizeof(note);
      if (buffer != NULL) RtlCopyMemory(buffer, note, n);
      t->TransferBufferLength = buffer != NULL ? n : 0;
    } else if ((Pdo->InjectedCount > 0 || Pdo->Modem.OutCount > 0) &&
               (irp = TakePending(&Pdo->PendingIn[1])) != NULL) {
      struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &UrbOf(irp)->UrbBulkOrInterruptTransfer;
      PUCHAR buffer = (PUCHAR)TransferBuffer(t->TransferBuffer, t->TransferBufferMDL);
      ULONG n = 0;
      if (buffer != NULL) {
        // The door's bytes first, then the modem's.
        n = Pdo->InjectedCount < t->TransferBufferLength ? Pdo->InjectedCount : t->TransferBufferLength;
        RtlCopyMemory(buffer, Pdo->Injected, n);
        RtlMoveMemory(Pdo->Injected, Pdo->Injected + n, Pdo->InjectedCount - n);
        Pdo->InjectedCount -= n;
        n += AcmModemRead(&Pdo->Modem, buffer + n, t->TransferBufferLength - n);
      }
      t->TransferBufferLength = n;
    }
    KeReleaseSpinLock(&Pdo->Lock, irql);
    if (irp == NULL) return;
    CompleteUrb(irp, UrbOf(irp), STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  }
}

// After the modem saw bytes or line changes: a SERIAL_STATE when its
// state moved.  Lock held.
static VOID NoteState(PTESTBUS_PDO Pdo) {
  const USHORT state = AcmModemState(&Pdo->Modem);
  if (state != Pdo->NotifiedState) {
    Pdo->NotifiedState = state;
    Pdo->NotifyDue = TRUE;
  }
}

static VOID FailList(PTESTBUS_PDO Pdo, ULONG Index, NTSTATUS Status, USBD_STATUS UsbdStatus) {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&Pdo->Lock, &irql);
    PIRP irp = TakePending(&Pdo->PendingIn[Index]);
    KeReleaseSpinLock(&Pdo->Lock, irql);
    if (irp == NULL) return;
    CompleteUrb(irp, UrbOf(irp), Status, UsbdStatus);
  }
}

NTSTATUS TestBusSend(PTESTBUS_PDO Pdo, const UCHAR* Bytes, ULONG Length) {
  KIRQL irql;
  KeAcquireSpinLock(&Pdo->Lock, &irql);
  const BOOLEAN fits = Length <= ACM_MODEM_QUEUE - Pdo->InjectedCount;
  if (fits) {
    RtlCopyMemory(Pdo->Injected + Pdo->InjectedCount, Bytes, Length);
    Pdo->InjectedCount += Length;
  }
  KeReleaseSpinLock(&Pdo->Lock, irql);
  if (!fits) return STATUS_BUFFER_OVERFLOW;
  Pump(Pdo);
  return STATUS_SUCCESS;
}

VOID TestBusLines(PTESTBUS_PDO Pdo, const TESTBUS_LINES* Lines) {
  KIRQL irql;
  KeAcquireSpinLock(&Pdo->Lock, &irql);
  // At first the door starts from the lines as the modem shows them.
  const USHORT last = Pdo->DoorStateSet ? Pdo->DoorState : AcmModemState(&Pdo->Modem);
  Pdo->DoorState = (USHORT)((last & ~Lines->Mask) | (Lines->State & Lines->Mask));
  Pdo->DoorStateSet = TRUE;
  Pdo->DoorNotifyDue = TRUE;
  KeReleaseSpinLock(&Pdo->Lock, irql);
  Pump(Pdo);
}

VOID TestBusFailPending(PTESTBUS_PDO Pdo, NTSTATUS Status) {
  FailList(Pdo, 0, Status, USBD_STATUS_DEVICE_GONE);
  FailList(Pdo, 1, Status, USBD_STATUS_DEVICE_GONE);
}

// ---- Requests -----------------------------------------------------------------------

static NTSTATUS GetDescriptor(PIRP Irp, PURB Urb) {
  struct _URB_CONTROL_DESCRIPTOR_REQUEST* r = &Urb->UrbControlDescriptorRequest;
  UCHAR string[2 + 2 * 16];
  const UCHAR* source = NULL;
  ULONG length = 0;
  if (r->DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && r->Index == 0) {
    source = kTestBusDeviceDescriptor;
    length = sizeof(kTestBusDeviceDescriptor);
  } else if (r->DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && r->Index == 0) {
    source = kTestBusConfigurationDescriptor;
    length = sizeof(kTestBusConfigurationDescriptor);
  } else if (r->DescriptorType == USB_STRING_DESCRIPTOR_TYPE && r->Index <= 3) {
    static const unsigned short* const kText[4] = {kTestBusLanguages, kTestBusManufacturer, kTestBusProduct,
                                                   kTestBusSerial};
    static const ULONG kChars[4] = {1, 6, 9, 15};
    length = 2 + 2 * kChars[r->Index];
    string[0] = (UCHAR)length;
    string[1] = USB_STRING_DESCRIPTOR_TYPE;
    for (ULONG i = 0; i < kChars[r->Index]; ++i) {
      string[2 + 2 * i] = (UCHAR)(kText[r->Index][i] & 0xFF);
      string[3 + 2 * i] = (UCHAR)(kText[r->Index][i] >> 8);
    }
    source = string;
  } else {
    return CompleteUrb(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  }
  PVOID buffer = TransferBuffer(r->TransferBuffer, r->TransferBufferMDL);
  if (buffer == NULL) return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  const ULONG n = r->TransferBufferLength < length ? r->TransferBufferLength : length;
  RtlCopyMemory(buffer, source, n);
  r->TransferBufferLength = n;
  return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// Fills one interface's information from the configuration table: class,
// handle and its pipes.  FALSE when the interface is unknown or the
// caller's record has no room for its pipes.
static BOOLEAN FillInterface(PUSBD_INTERFACE_INFORMATION Info, ULONG Room) {
  const ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
  if (Room < header || Info->Length < header || Info->Length > Room) return FALSE;
  const UCHAR* set = kTestBusConfigurationDescriptor;
  const ULONG total = sizeof(kTestBusConfigurationDescriptor);
  BOOLEAN found = FALSE;
  ULONG pipes = 0;
  for (ULONG offset = 0; offset + 2 <= total && set[offset] >= 2; offset += set[offset]) {
    const UCHAR* d = set + offset;
    if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
      if (found) break;  // the next interface
      if (d[2] != Info->InterfaceNumber || d[3] != Info->AlternateSetting) continue;
      found = TRUE;
      Info->Class = d[5];
      Info->SubClass = d[6];
      Info->Protocol = d[7];
      Info->InterfaceHandle = (USBD_INTERFACE_HANDLE)(ULONG_PTR)(0x1F00 | d[2]);
    } else if (found && d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
      if (header + (pipes + 1) * sizeof(USBD_PIPE_INFORMATION) > Info->Length) return FALSE;
      PUSBD_PIPE_INFORMATION pipe = &Info->Pipes[pipes++];
      pipe->EndpointAddress = d[2];
      pipe->PipeType = (d[3] & 3) == USB_ENDPOINT_TYPE_INTERRUPT ? UsbdPipeTypeInterrupt : UsbdPipeTypeBulk;
      pipe->MaximumPacketSize = (USHORT)(d[4] | d[5] << 8);
      pipe->Interval = d[6];
      pipe->PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)(TESTBUS_PIPE_TAG | d[2]);
      pipe->MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
  }
  if (!found) return FALSE;
  Info->NumberOfPipes = pipes;
  return TRUE;
}

static NTSTATUS SelectConfiguration(PTESTBUS_PDO Pdo, PIRP Irp, PURB Urb) {
  struct _URB_SELECT_CONFIGURATION* r = &Urb->UrbSelectConfiguration;
  KIRQL irql;
  if (r->ConfigurationDescriptor == NULL) {
    KeAcquireSpinLock(&Pdo->Lock, &irql);
    Pdo->Configured = FALSE;
    KeReleaseSpinLock(&Pdo->Lock, irql);
    return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  }
  const ULONG end = Urb->UrbHeader.Length;
  ULONG offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
  for (UCHAR i = 0; i < r->ConfigurationDescriptor->bNumInterfaces; ++i) {
    PUSBD_INTERFACE_INFORMATION info = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)Urb + offset);
    if (offset >= end || !FillInterface(info, end - offset)) {
      return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    offset += info->Length;
  }
  r->ConfigurationHandle = (USBD_CONFIGURATION_HANDLE)(ULONG_PTR)0xC0F1;
  KeAcquireSpinLock(&Pdo->Lock, &irql);
  Pdo->Configured = TRUE;
  KeReleaseSpinLock(&Pdo->Lock, irql);
  return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

static NTSTATUS SelectInterface(PIRP Irp, PURB Urb) {
  struct _URB_SELECT_INTERFACE* r = &Urb->UrbSelectInterface;
  const ULONG offset = FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface);
  if (Urb->UrbHeader.Length <= offset || !FillInterface(&r->Interface, Urb->UrbHeader.Length - offset)) {
    return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// The endpoint a pipe handle of ours names, or 0.
static UCHAR EndpointOf(USBD_PIPE_HANDLE Handle) {
  const ULONG_PTR value = (ULONG_PTR)Handle;
  if ((value & ~(ULONG_PTR)0xFF) != TESTBUS_PIPE_TAG) return 0;
  const UCHAR address = (UCHAR)(value & 0xFF);
  return (address == 0x81 || address == 0x82 || address == 0x02) ? address : 0;
}

static NTSTATUS Transfer(PTESTBUS_PDO Pdo, PIRP Irp, PURB Urb) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER* t = &Urb->UrbBulkOrInterruptTransfer;
  const UCHAR endpoint = EndpointOf(t->PipeHandle);
  if (endpoint == 0) return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  PUCHAR buffer = (PUCHAR)TransferBuffer(t->TransferBuffer, t->TransferBufferMDL);
  if (buffer == NULL && t->TransferBufferLength != 0) {
    return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  KIRQL irql;
  KeAcquireSpinLock(&Pdo->Lock, &irql);
  if (!Pdo->Configured) {
    KeReleaseSpinLock(&Pdo->Lock, irql);
    return CompleteUrb(Irp, Urb, STATUS_INVALID_DEVICE_STATE, USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  if (endpoint & 0x80) {
    const BOOLEAN pended = PendIn(&Pdo->PendingIn[endpoint == 0x81 ? 0 : 1], Irp);
    KeReleaseSpinLock(&Pdo->Lock, irql);
    if (!pended) return CompleteUrb(Irp, Urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    Pump(Pdo);
    return STATUS_PENDING;
  }
  AcmModemHostBytes(&Pdo->Modem, buffer, t->TransferBufferLength);
  NoteState(Pdo);
  KeReleaseSpinLock(&Pdo->Lock, irql);
  CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  Pump(Pdo);
  return STATUS_SUCCESS;
}

// The communications class requests, to interface 0, as an ACM function
// answers them; anything else stalls.
static NTSTATUS ClassRequest(PTESTBUS_PDO Pdo, PIRP Irp, PURB Urb) {
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST* r = &Urb->UrbControlVendorClassRequest;
  const BOOLEAN in = (r->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  PUCHAR buffer = (PUCHAR)TransferBuffer(r->TransferBuffer, r->TransferBufferMDL);
  if (Urb->UrbHeader.Function != URB_FUNCTION_CLASS_INTERFACE || r->Index != 0) {
    return CompleteUrb(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  }
  KIRQL irql;
  KeAcquireSpinLock(&Pdo->Lock, &irql);
  NTSTATUS status = STATUS_SUCCESS;
  switch (r->Request) {
    case CDC_SET_LINE_CODING:
      if (in || buffer == NULL || r->TransferBufferLength != 7) {
        status = STATUS_UNSUCCESSFUL;
      } else {
        RtlCopyMemory(Pdo->LineCoding, buffer, 7);
      }
      break;
    case CDC_GET_LINE_CODING:
      if (!in || buffer == NULL) {
        status = STATUS_UNSUCCESSFUL;
      } else {
        r->TransferBufferLength = r->TransferBufferLength < 7 ? r->TransferBufferLength : 7;
        RtlCopyMemory(buffer, Pdo->LineCoding, r->TransferBufferLength);
      }
      break;
    case CDC_SET_CONTROL_LINE_STATE:
      if (in) {
        status = STATUS_UNSUCCESSFUL;
      } else {
        AcmModemSetLines(&Pdo->Modem, (r->Value & 1) != 0, (r->Value & 2) != 0);
        NoteState(Pdo);
        r->TransferBufferLength = 0;
      }
      break;
    case CDC_SEND_BREAK:
      status = in ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
      r->TransferBufferLength = 0;
      break;
    default:
      status = STATUS_UNSUCCESSFUL;
      break;
  }
  KeReleaseSpinLock(&Pdo->Lock, irql);
  if (!NT_SUCCESS(status)) return CompleteUrb(Irp, Urb, status, USBD_STATUS_STALL_PID);
  CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
  Pump(Pdo);
  return STATUS_SUCCESS;
}

static NTSTATUS SubmitUrb(PTESTBUS_PDO Pdo, PIRP Irp, PURB Urb) {
  if (Urb == NULL) {
    Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  // The device handle the function driver learns from its first URB.
  Urb->UrbHeader.UsbdDeviceHandle = Pdo->Self;
  KIRQL irql;
  KeAcquireSpinLock(&Pdo->Lock, &irql);
  const BOOLEAN gone = Pdo->Gone;
  KeReleaseSpinLock(&Pdo->Lock, irql);
  if (gone) return CompleteUrb(Irp, Urb, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);

  switch (Urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return GetDescriptor(Irp, Urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(Pdo, Irp, Urb);
    case URB_FUNCTION_SELECT_INTERFACE:
      return SelectInterface(Irp, Urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return Transfer(Pdo, Irp, Urb);
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
      return ClassRequest(Pdo, Irp, Urb);
    case URB_FUNCTION_ABORT_PIPE: {
      const UCHAR endpoint = EndpointOf(Urb->UrbPipeRequest.PipeHandle);
      if (endpoint == 0)
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
      if (endpoint & 0x80) FailList(Pdo, endpoint == 0x81 ? 0 : 1, STATUS_CANCELLED, USBD_STATUS_CANCELED);
      return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      if (EndpointOf(Urb->UrbPipeRequest.PipeHandle) == 0) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
      }
      return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE: {
      struct _URB_CONTROL_GET_STATUS_REQUEST* r = &Urb->UrbControlGetStatusRequest;
      PUCHAR buffer = (PUCHAR)TransferBuffer(r->TransferBuffer, r->TransferBufferMDL);
      if (buffer == NULL || r->TransferBufferLength < 2) {
        return CompleteUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      }
      buffer[0] = buffer[1] = 0;  // bus powered, no remote wake-up
      r->TransferBufferLength = 2;
      return CompleteUrb(Irp, Urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
    default:
      return CompleteUrb(Irp, Urb, STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION);
  }
}

NTSTATUS TestBusPdoInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTESTBUS_PDO pdo = PdoOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(pdo, Irp, (PURB)stack->Parameters.Others.Argument1);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      PULONG port = (PULONG)stack->Parameters.Others.Argument1;
      KIRQL irql;
      KeAcquireSpinLock(&pdo->Lock, &irql);
      if (port != NULL) *port = pdo->Gone ? 0 : (USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
      KeReleaseSpinLock(&pdo->Lock, irql);
      status = port != NULL ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
      break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      status = STATUS_SUCCESS;
      break;
    default:
      status = STATUS_NOT_SUPPORTED;
      break;
  }
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
