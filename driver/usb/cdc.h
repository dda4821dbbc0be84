// Communications-class requests to interface 0 (line coding, control line
// state) and the immediate character on the bulk OUT pipe.
#pragma once

#include "core/device_extension.h"

constexpr UCHAR CDC_REQUEST_TYPE_CLASS_INTERFACE_OUT = 0x21;
constexpr UCHAR CDC_SET_LINE_CODING = 0x20;
constexpr UCHAR CDC_SET_CONTROL_LINE_STATE = 0x22;

// Sends LineCoding (built by the caller from BaudRate, StopBits, Parity,
// WordLength) and returns the request's status.  PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_SetLineCoding(PDEVICE_OBJECT DeviceObject, PLINE_CODING LineCoding);

// A zero-filled class/vendor request URB (non-paged, freed with ExFreePool)
// or NULL.  Any IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
PURB ZLKUSB_BuildClassRequestUrb(USHORT Function, ULONG TransferFlags, ULONG TransferBufferLength,
                                 PVOID TransferBuffer, PMDL TransferBufferMDL, PURB UrbLink,
                                 UCHAR RequestTypeReservedBits, UCHAR Request, USHORT Value, USHORT Index);

// Sends DTR (ModemControl bit 0) and RTS (bit 1) to the modem, using Irp's
// next stack location; the caller sets ModemControl first and owns Irp
// again on return (it still has to complete or free it).  STATUS_SUCCESS
// once sent, STATUS_UNSUCCESSFUL when no URB could be built.  Serialised by
// ControlMutex.  PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_SetControlLineState(PIRP Irp, PDEVICE_EXTENSION DeviceExtension);
_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE ZLKUSB_IOCTL_Async_Complete;

// Sends Character on the bulk OUT pipe at once, outside the write queue;
// *Count gets the bytes sent.  The transfer is given up (cancelled and
// waited for) at Timeout or when Cancelled is signalled; either may be NULL.
// PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_Write_OneChar(PDEVICE_OBJECT DeviceObject, UCHAR Character, PULONG Count,
                              PLARGE_INTEGER Timeout, PKEVENT Cancelled);
_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE ZLKUSB_Write_OneChar_Complete;
