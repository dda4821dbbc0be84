// Requests to the USB bus driver: synchronous URB submission, transfer URB
// builders, the reads on the two reused packets, pipe resets and the
// hand-built next stack location shared by every asynchronous submission.
#pragma once

#include "core/device_extension.h"

// Status of a transfer or reset for which the pipe table holds no pipe:
// nothing is sent.
#define ZLKUSB_STATUS_NO_PIPE STATUS_INVALID_DEVICE_STATE
#define ZLKUSB_USBD_STATUS_NO_PIPE ((ULONG)USBD_STATUS_INVALID_PIPE_HANDLE)
// USBD status a read reports when it cannot build its URB (the value of
// USBD_STATUS_NO_MEMORY, which not every DDK defines).
constexpr ULONG ZLKUSB_USBD_STATUS_NO_MEMORY = 0x80000100;

// A cancelled transfer.  Windows reports 0xC0010000 (the cancel code with
// both state bits, USBD_STATUS_CANCELED of current DDKs); older DDKs
// documented the bare code 0x00010000.  The state bits are ignored so that
// either ends the polling threads.
constexpr ULONG ZLKUSB_USBD_CODE_BITS = 0x3FFFFFFF;  // a USBD status without its state bits
constexpr ULONG ZLKUSB_USBD_CODE_CANCELED = 0x00010000;
_IRQL_requires_max_(HIGH_LEVEL)
inline BOOLEAN ZLKUSB_IsCancelledStatus(ULONG UsbdStatus) {
  return (UsbdStatus & ZLKUSB_USBD_CODE_BITS) == ZLKUSB_USBD_CODE_CANCELED;
}

// Sends Urb down the stack of DeviceObject (the functional device) and waits
// for it; returns the packet's status.  PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_SubmitUrbSync(PDEVICE_OBJECT DeviceObject, PURB Urb);

// Sends Urb on a packet of its own and waits for it, at most until Timeout
// (a due time; NULL: none) and no longer than until Cancelled (NULL: none)
// is signalled; a transfer given up is cancelled and waited for.  Returns
// the packet's status, or STATUS_TIMEOUT / STATUS_CANCELLED for a transfer
// given up that did not succeed.  PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_SubmitUrbBounded(PDEVICE_OBJECT DeviceObject, PURB Urb, PLARGE_INTEGER Timeout,
                                 PKEVENT Cancelled);

// Stamps the bus driver's device handle into the URB header.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZLKUSB_SetUrbDeviceHandle(PDEVICE_EXTENSION DeviceExtension, PURB Urb);

// Records the device handle the bus driver wrote into a completed URB.
// Safe at DISPATCH_LEVEL and against concurrent ZLKUSB_SetUrbDeviceHandle.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZLKUSB_LearnUrbDeviceHandle(PDEVICE_EXTENSION DeviceExtension, PURB Urb);

// Zero-filled bulk/interrupt transfer URBs (non-paged, freed with
// ExFreePool), or NULL when the pool is exhausted or Pipe is NULL.
_IRQL_requires_max_(DISPATCH_LEVEL)
PURB ZLKUSB_BuildReadUrb(PVOID Buffer, ULONG Length, PPIPE_ENTRY Pipe);
_IRQL_requires_max_(DISPATCH_LEVEL)
PURB ZLKUSB_BuildWriteUrb(PVOID Buffer, ULONG Length, PPIPE_ENTRY Pipe);

// Writes the next stack location of Irp as an internal URB submission whose
// CompletionRoutine runs on success, error and cancel alike.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZLKUSB_SetupNextStackLocation(PIRP Irp, PURB Urb, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                   PVOID Context);

// Synchronous reads on the packets reused from open to cleanup.  *Length is
// the byte count asked on entry and received on return; *UsbdStatus is the
// URB's USBD status.  Only one thread reads each pipe.  PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_ReadBulkIn(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, PULONG Length,
                           PULONG UsbdStatus);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadInterrupt(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, PULONG Length, PULONG UsbdStatus);

// Completion routine of the reads: signals the KEVENT given as Context and
// keeps the packet.
_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE ZLKUSB_Async_Complete;

// Resets (and clears the stall of) one pipe.  PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_ResetPipe(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION PipeInfo);
