// The handshake and flow-control record of the open port.
//
// HandFlow is allocated at open and freed at close, under SpinLock; it is
// copied in and out under SpinLock so that a request racing the close never
// touches freed memory.  Setting a DTR or RTS handshake raises that line at
// once (the modem follows the line, not a handshake of its own); clearing
// the handshake leaves the line as it is.
#include "serial/control.h"

#include "core/admission.h"
#include "usb/cdc.h"

constexpr ULONG HANDFLOW_SIZE = sizeof(SERIAL_HANDFLOW);

/*
 * GetHandFlow: copies the handshake record into Buffer.
 * PASSIVE_LEVEL.  Caller: DispatchDeviceControl (IOCTL_SERIAL_GET_HANDFLOW).
 */
_Use_decl_annotations_
NTSTATUS GetHandFlow(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  BOOLEAN copied = FALSE;
  KIRQL irql;

  Irp->IoStatus.Information = 0;
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < HANDFLOW_SIZE) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (Buffer == NULL) {
    return STATUS_INVALID_PARAMETER;
  }

  KeAcquireSpinLock(&ext->SpinLock, &irql);
  if (ext->HandFlow != NULL) {
    *(PSERIAL_HANDFLOW)Buffer = *ext->HandFlow;
    copied = TRUE;
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);

  if (!copied) {
    return STATUS_ACCESS_DENIED;  // the port is being closed
  }
  Irp->IoStatus.Information = HANDFLOW_SIZE;
  return STATUS_SUCCESS;
}

/*
 * SetHandFlow: validates and stores a new handshake record, then raises RTS
 * and DTR for the handshakes that ask for them, each through its own
 * line-state request; the first failing send ends it and is the result.
 * PASSIVE_LEVEL.  Caller: DispatchDeviceControl (IOCTL_SERIAL_SET_HANDFLOW).
 */
_Use_decl_annotations_
NTSTATUS SetHandFlow(PDEVICE_OBJECT DeviceObject, PVOID Buffer, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  const SERIAL_HANDFLOW* handFlow = (const SERIAL_HANDFLOW*)Buffer;
  NTSTATUS status = STATUS_SUCCESS;
  BOOLEAN stored = FALSE;
  KIRQL irql;

  Irp->IoStatus.Information = 0;
  if (Buffer == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  if (stack->Parameters.DeviceIoControl.InputBufferLength < HANDFLOW_SIZE) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if ((handFlow->ControlHandShake & SERIAL_CONTROL_INVALID) != 0 ||
      (handFlow->FlowReplace & SERIAL_FLOW_INVALID) != 0) {
    return STATUS_INVALID_PARAMETER;
  }

  // Read the switches before the store: the buffer is the client's record.
  const BOOLEAN raiseRts = (handFlow->FlowReplace & SERIAL_RTS_HANDSHAKE) != 0;
  const BOOLEAN raiseDtr = (handFlow->ControlHandShake & SERIAL_DTR_HANDSHAKE) != 0;

  // The lines it raises must not outlive the handle: served whole before
  // its cleanup drops them, or refused after.
  status = BeginLineChange(ext);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  if (ext->HandFlow != NULL) {
    *ext->HandFlow = *handFlow;
    stored = TRUE;
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);
  if (!stored) {
    EndLineChange(ext);
    return STATUS_ACCESS_DENIED;  // the port is being closed
  }

  if (raiseRts) {
    InterlockedOr((volatile LONG*)&ext->ModemControl, (LONG)MODEM_CONTROL_RTS);
    status = ZLKUSB_SetControlLineState(Irp, ext);
  }
  // A send that timed out or was cancelled ends the request: its packet
  // has been cancelled and would carry no further send.
  if (raiseDtr && NT_SUCCESS(status)) {
    InterlockedOr((volatile LONG*)&ext->ModemControl, (LONG)MODEM_CONTROL_DTR);
    status = ZLKUSB_SetControlLineState(Irp, ext);
  }
  EndLineChange(ext);

  // Set after the sends: the lower driver leaves its own status block in the
  // request it carried.  The record is echoed only where the output holds it.
  Irp->IoStatus.Information = (NT_SUCCESS(status) && outputLength >= HANDFLOW_SIZE) ? HANDFLOW_SIZE : 0;
  return status;
}
