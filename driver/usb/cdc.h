// Communications-class requests to interface 0 (line coding, control line
// state) and the immediate character on the bulk OUT pipe.
#pragma once

#include "core/device_extension.h"

constexpr UCHAR CDC_REQUEST_TYPE_CLASS_INTERFACE_OUT = 0x21;
constexpr UCHAR CDC_SET_LINE_CODING = 0x20;
constexpr UCHAR CDC_SET_CONTROL_LINE_STATE = 0x22;

// How long a class request may wait for the modem: the USB 2.0 limit for a
// request to complete, and the time-out Linux's cdc-acm gives the same
// requests.  A modem that has not answered by then never will.
constexpr ULONG CDC_CLASS_REQUEST_TIMEOUT_MS = 5000;

// Sends LineCoding (built by the caller from BaudRate, StopBits, Parity,
// WordLength) and returns the request's status: STATUS_IO_TIMEOUT when the
// modem does not answer within CDC_CLASS_REQUEST_TIMEOUT_MS,
// STATUS_CANCELLED when Cancelled (NULL: none) is signalled first.
// PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_SetLineCoding(PDEVICE_OBJECT DeviceObject, PLINE_CODING LineCoding, PKEVENT Cancelled);

// A zero-filled class/vendor request URB (non-paged, freed with ExFreePool)
// or NULL.  Any IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
PURB ZLKUSB_BuildClassRequestUrb(USHORT Function, ULONG TransferFlags, ULONG TransferBufferLength,
                                 PVOID TransferBuffer, PMDL TransferBufferMDL, PURB UrbLink,
                                 UCHAR RequestTypeReservedBits, UCHAR Request, USHORT Value, USHORT Index);

// Sends DTR (ModemControl bit 0) and RTS (bit 1) to the modem, using Irp's
// next stack location; the caller sets ModemControl first and owns Irp
// again on return (it still has to complete or free it).  STATUS_SUCCESS
// once sent (a stall included), STATUS_UNSUCCESSFUL when no URB could be
// built, STATUS_IO_TIMEOUT when the modem did not answer within
// CDC_CLASS_REQUEST_TIMEOUT_MS, STATUS_CANCELLED when Irp was cancelled on
// the bus.  Serialised by ControlMutex.  PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_SetControlLineState(PIRP Irp, PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE ZLKUSB_IOCTL_Async_Complete;

// Sends Character on the bulk OUT pipe at once, outside the write queue;
// *Count gets the bytes sent.  The transfer is given up (cancelled and
// waited for) at Timeout or when Cancelled is signalled; either may be NULL.
// STATUS_SUCCESS only when the byte went out; else the send's status
// (STATUS_TIMEOUT, STATUS_CANCELLED or the bus's).  PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_Write_OneChar(PDEVICE_OBJECT DeviceObject, UCHAR Character, PULONG Count,
                              PLARGE_INTEGER Timeout, PKEVENT Cancelled);
