// Admission of the client's requests (see admission.h).
#include "core/admission.h"

#include "core/request.h"

/*
 * OpenPortRefusal: see admission.h.  Flags only, read atomically, so it may
 * run under SpinLock, the cancel spin lock or ControlMutex.
 * IRQL <= DISPATCH_LEVEL.  Callers: WaitingRequestRefusal, BeginLineChange.
 */
_Use_decl_annotations_
NTSTATUS OpenPortRefusal(PDEVICE_EXTENSION Extension) {
  if (ReadShared(&Extension->DeviceRemoved) != 0) {
    return STATUS_NOT_SUPPORTED;
  }
  if (ReadShared(&Extension->DeviceOpened) == 0) {
    return STATUS_ACCESS_DENIED;
  }
  if (ReadShared(&Extension->PortClosing) != 0) {
    return STATUS_CANCELLED;
  }
  return STATUS_SUCCESS;
}

/*
 * WaitingRequestRefusal: see admission.h.
 * IRQL <= DISPATCH_LEVEL.  Callers: the read, write, wait-on-mask and
 * removal-notification paths, under the lock they queue under.
 */
_Use_decl_annotations_
NTSTATUS WaitingRequestRefusal(PDEVICE_EXTENSION Extension) {
  NTSTATUS status = OpenPortRefusal(Extension);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  if (ReadShared(&Extension->PowerRestartFailed) != 0) {
    status = STATUS_DEVICE_NOT_READY;  // nothing would serve the request
  } else if (ReadShared(&Extension->DevicePowerOwed) != 0) {
    status = STATUS_DEVICE_POWERED_OFF;  // the device was not powered up with the system
  } else {
    return STATUS_SUCCESS;
  }
  // The refusal asks for what is missing again, so the port recovers once
  // the resources are back.
  if (Extension->RecoverPort != NULL) {
    (void)Extension->RecoverPort(Extension->FunctionalDeviceObject);
  }
  return status;
}

/*
 * BeginLineChange / EndLineChange: see admission.h.  ControlMutex may be
 * taken again by its holder, so the line-state send inside still takes it.
 * PASSIVE_LEVEL.  Callers: the control requests that change DTR or RTS.
 */
_Use_decl_annotations_
NTSTATUS BeginLineChange(PDEVICE_EXTENSION Extension) {
  KeWaitForSingleObject(&Extension->ControlMutex, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = OpenPortRefusal(Extension);
  if (status != STATUS_SUCCESS) {
    KeReleaseMutex(&Extension->ControlMutex, FALSE);
  }
  return status;
}

_Use_decl_annotations_
VOID EndLineChange(PDEVICE_EXTENSION Extension) { KeReleaseMutex(&Extension->ControlMutex, FALSE); }
