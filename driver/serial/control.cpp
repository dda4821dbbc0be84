// The serial device-control dispatcher and its table.
//
// Every serial request is METHOD_BUFFERED: input and output share the
// system buffer, which holds max(input, output) bytes.  Each row of the
// table names the input bytes the request reads and the output bytes its
// answer writes; a request with less gets STATUS_BUFFER_TOO_SMALL,
// Information 0, and changes nothing.  A request that reports bytes it did
// not write (the set requests that echo their record) reports them only when
// the output can hold them, since the I/O manager copies Information bytes
// back to the caller's output buffer.
//
// The line settings, time-outs, special characters, wait mask and
// statistics are changed under SpinLock so that the threads reading them
// never see half a record.
#include "serial/control.h"

#include "core/admission.h"
#include "core/request.h"

#include "serial/notify.h"
#include "serial/request_list.h"
#include "serial/ringbuf.h"
#include "serial/waitmask.h"
#include "usb/cdc.h"

// The comm-config requests, which not every DDK names; both are refused.
constexpr ULONG SERIAL_GET_COMMCONFIG_CODE =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG SERIAL_SET_COMMCONFIG_CODE =
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS);

// The modem-status answer always shows CTS: the modem has no CTS line of its
// own and the client must see it as asserted to send.  Reading clears the
// change bits of CTS, DSR and DCD and the CTS bit itself.
constexpr ULONG MODEM_STATUS_REPORTED_CTS = 0x10;
constexpr ULONG MODEM_STATUS_CLEARED_ON_READ = 0x1B;

// GET_DTRRTS answers every line as raised: the modem is told DTR and RTS
// through class requests and has no way to report them back.
constexpr ULONG DTRRTS_ANSWER = 0xFFFFFFFF;

// Line control answered to every query: the modem always runs 8N1 on the
// phone side, whatever the client asked for.
constexpr UCHAR ANSWERED_STOP_BITS = 1;
constexpr UCHAR ANSWERED_PARITY = NO_PARITY;
constexpr UCHAR ANSWERED_WORD_LENGTH = 8;

// Properties answer.
constexpr USHORT COMMPROP_PACKET_VERSION = 2;
constexpr ULONG COMMPROP_QUEUE_SIZE = 1500;
constexpr ULONG COMMPROP_CAPABILITIES = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD |
                                        SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR |
                                        SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
constexpr ULONG COMMPROP_SETTABLE_PARAMS = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                                           SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING |
                                           SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
// Every rate flag from 75 to 56000 baud, then 115200, 57600 and any rate;
// 128000 is not offered.
constexpr ULONG COMMPROP_SETTABLE_BAUD =
    0x0000FFFF | SERIAL_BAUD_115200 | SERIAL_BAUD_57600 | SERIAL_BAUD_USER;
// The line coding carries any of 5 to 8 data bits.
constexpr USHORT COMMPROP_SETTABLE_DATA =
    SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
constexpr USHORT COMMPROP_SETTABLE_STOP_PARITY =
    SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE | SERIAL_PARITY_ODD |
    SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;

// One control request as the handlers see it.
typedef struct _CONTROL_CALL {
  PDEVICE_OBJECT DeviceObject;
  PDEVICE_EXTENSION Extension;
  PIRP Irp;
  PVOID Buffer;  // the system buffer; NULL when both lengths are 0
  ULONG InputLength;
  ULONG OutputLength;
  // Set by a handler that completed or parked the request itself and settled
  // its RemoveLock acquisition; the dispatcher then only returns its result.
  BOOLEAN HandedOver;
} CONTROL_CALL, *PCONTROL_CALL;

typedef NTSTATUS (*CONTROL_HANDLER)(PCONTROL_CALL Call);

typedef struct _CONTROL_ROW {
  ULONG IoControlCode;
  ULONG InputLength;   // bytes read from the buffer
  ULONG OutputLength;  // bytes written to it
  CONTROL_HANDLER Handler;
} CONTROL_ROW;

/*
 * ReportEcho: sets Information to Bytes when the output buffer holds them,
 * else to 0.  Any IRQL.  Callers: the set handlers that echo their record.
 */
_IRQL_requires_max_(HIGH_LEVEL)
static VOID ReportEcho(PCONTROL_CALL Call, ULONG Bytes) {
  Call->Irp->IoStatus.Information = (Call->OutputLength >= Bytes) ? Bytes : 0;
}

/*
 * ControlSendCancel: cancel routine of a control request while it waits for
 * the modem on a transfer of its own.  It only wakes the sender, which gives
 * the transfer up and completes the request; the event lives on the
 * sender's stack, in the request's first driver-context slot.
 * IRQL: DISPATCH_LEVEL, entered holding the cancel spin lock.  Called by the
 * I/O manager through IoCancelIrp.
 */
_Use_decl_annotations_
VOID NTAPI ControlSendCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PKEVENT cancelled = (PKEVENT)Irp->Tail.Overlay.DriverContext[0];
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KeSetEvent(cancelled, IO_NO_INCREMENT, FALSE);
}

/*
 * ArmSendCancel: makes the request cancellable while it waits for a send:
 * a cancel signals Cancelled (on the caller's stack).  FALSE when the
 * request was cancelled already: nothing is to be sent.
 * PASSIVE_LEVEL.  Callers: the handlers that send on a transfer of their own.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN ArmSendCancel(PCONTROL_CALL Call, PKEVENT Cancelled) {
  KeInitializeEvent(Cancelled, NotificationEvent, FALSE);
  Call->Irp->Tail.Overlay.DriverContext[0] = Cancelled;
  return SetCancelRoutineUnlessCancelled(Call->Irp, ControlSendCancel);
}

/*
 * DisarmSendCancel: takes the cancel routine back after the send.  If it
 * has been taken, it is about to signal Cancelled, which must outlive it.
 * PASSIVE_LEVEL.  Callers: as ArmSendCancel, once the send is over.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID DisarmSendCancel(PCONTROL_CALL Call, PKEVENT Cancelled) {
  if (IoSetCancelRoutine(Call->Irp, NULL) == NULL) {
    KeWaitForSingleObject(Cancelled, Executive, KernelMode, FALSE, NULL);
  }
}

/*
 * ChangeLineCoding: sends the stored line coding with a new rate (Rate not
 * NULL) or line control (Line not NULL) and stores it once the modem has
 * taken it, so a refused, timed-out or cancelled coding leaves the old
 * settings in place and a retry sends it again; an unchanged coding sends
 * nothing.  Read, send and store are one step under ControlMutex, which the
 * power-up restart holds while it resends the stored coding: concurrent
 * changes of rate and line control each send the other's last value, and
 * the modem always ends with what is stored.
 * PASSIVE_LEVEL.  Callers: the baud-rate and line-control handlers.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ChangeLineCoding(PCONTROL_CALL Call, const ULONG* Rate, const SERIAL_LINE_CONTROL* Line) {
  PDEVICE_EXTENSION ext = Call->Extension;
  LINE_CODING coding;
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;

  KeWaitForSingleObject(&ext->ControlMutex, Executive, KernelMode, FALSE, NULL);
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  coding.dwDTERate = (Rate != NULL) ? *Rate : ext->BaudRate;
  coding.bCharFormat = (Line != NULL) ? Line->StopBits : ext->StopBits;
  coding.bParityType = (Line != NULL) ? Line->Parity : ext->Parity;
  coding.bDataBits = (Line != NULL) ? Line->WordLength : ext->WordLength;
  BOOLEAN changed = coding.dwDTERate != ext->BaudRate || coding.bCharFormat != ext->StopBits ||
                    coding.bParityType != ext->Parity || coding.bDataBits != ext->WordLength;
  KeReleaseSpinLock(&ext->SpinLock, irql);

  if (changed) {
    KEVENT cancelled;
    if (!ArmSendCancel(Call, &cancelled)) {
      status = STATUS_CANCELLED;
    } else {
      status = ZLKUSB_SetLineCoding(Call->DeviceObject, &coding, &cancelled);
      DisarmSendCancel(Call, &cancelled);
    }
    if (NT_SUCCESS(status)) {
      KeAcquireSpinLock(&ext->SpinLock, &irql);
      ext->BaudRate = coding.dwDTERate;
      ext->StopBits = coding.bCharFormat;
      ext->Parity = coding.bParityType;
      ext->WordLength = coding.bDataBits;
      KeReleaseSpinLock(&ext->SpinLock, irql);
    }
  }
  KeReleaseMutex(&ext->ControlMutex, FALSE);
  return status;
}

/*
 * SendLineState: sends ModemControl's DTR and RTS to the modem, carried by
 * the client's own request, and returns the send's status.  The lower driver
 * leaves its status block in the request; Information is reset so that none
 * of it reaches the client.  PASSIVE_LEVEL.  Callers: the DTR/RTS handlers.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS SendLineState(PCONTROL_CALL Call) {
  NTSTATUS status = ZLKUSB_SetControlLineState(Call->Irp, Call->Extension);
  Call->Irp->IoStatus.Information = 0;
  return status;
}

/*
 * StoreTimeouts: stores the client's time-outs.  A read given no total
 * constant and no multiplier takes its interval as the constant, and a read
 * given neither interval nor constant gets DEFAULT_READ_TOTAL_TIMEOUT_MS,
 * so that a read never waits unbounded by default.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Caller: the set-time-outs handler.
 */
_Use_decl_annotations_
VOID StoreTimeouts(PDEVICE_EXTENSION Extension, const SERIAL_TIMEOUTS* Timeouts) {
  SERIAL_TIMEOUTS stored = *Timeouts;
  KIRQL irql;

  if (stored.ReadIntervalTimeout != 0 && stored.ReadTotalTimeoutConstant == 0 &&
      stored.ReadTotalTimeoutMultiplier == 0) {
    stored.ReadTotalTimeoutConstant = stored.ReadIntervalTimeout;
  }
  if (stored.ReadTotalTimeoutConstant == 0 && stored.ReadIntervalTimeout == 0) {
    stored.ReadTotalTimeoutConstant = DEFAULT_READ_TOTAL_TIMEOUT_MS;
  }

  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  Extension->Timeouts = stored;
  KeReleaseSpinLock(&Extension->SpinLock, irql);
}

// ---- Handlers -----------------------------------------------------------
// Each: PASSIVE_LEVEL, called by DispatchDeviceControl with the RemoveLock
// held and the row's buffer lengths checked.

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlNothing(PCONTROL_CALL) { return STATUS_SUCCESS; }

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlRefuse(PCONTROL_CALL) { return STATUS_INVALID_PARAMETER; }

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlSetBaudRate(PCONTROL_CALL Call) {
  ULONG rate = ((PSERIAL_BAUD_RATE)Call->Buffer)->BaudRate;
  NTSTATUS status = ChangeLineCoding(Call, &rate, NULL);
  if (NT_SUCCESS(status)) {
    ReportEcho(Call, sizeof(SERIAL_BAUD_RATE));
  }
  return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlSetLineControl(PCONTROL_CALL Call) {
  SERIAL_LINE_CONTROL line = *(const SERIAL_LINE_CONTROL*)Call->Buffer;
  return ChangeLineCoding(Call, NULL, &line);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlImmediateChar(PCONTROL_CALL Call) {
  PDEVICE_EXTENSION ext = Call->Extension;
  ULONG sent = 0;
  KIRQL irql;

  if (Call->Buffer == NULL || Call->InputLength != sizeof(UCHAR)) {
    return STATUS_INVALID_PARAMETER;
  }
  // A modem that takes no data must not hold the caller for good: the send
  // is bounded like a write and ends when the client cancels it.
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  LARGE_INTEGER timeout = TotalTimeoutToDueTime(ext->Timeouts.WriteTotalTimeoutConstant);
  KeReleaseSpinLock(&ext->SpinLock, irql);
  KEVENT cancelled;
  if (!ArmSendCancel(Call, &cancelled)) {
    return STATUS_CANCELLED;
  }
  // Success only when the byte went out; else the send's own answer
  // (STATUS_TIMEOUT for the write time-out), so the client knows to retry.
  NTSTATUS status =
      ZLKUSB_Write_OneChar(Call->DeviceObject, *(PUCHAR)Call->Buffer, &sent, &timeout, &cancelled);
  DisarmSendCancel(Call, &cancelled);
  if (sent == 0) {
    return status;
  }
  ReportEcho(Call, sent);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlSetTimeouts(PCONTROL_CALL Call) {
  StoreTimeouts(Call->Extension, (const SERIAL_TIMEOUTS*)Call->Buffer);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetTimeouts(PCONTROL_CALL Call) {
  PDEVICE_EXTENSION ext = Call->Extension;
  KIRQL irql;

  KeAcquireSpinLock(&ext->SpinLock, &irql);
  *(PSERIAL_TIMEOUTS)Call->Buffer = ext->Timeouts;
  KeReleaseSpinLock(&ext->SpinLock, irql);
  Call->Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
  return STATUS_SUCCESS;
}

/*
 * ChangeLines: sets the ModemControl bits in Mask to those of Lines and sends
 * DTR and RTS, as one step that the handle's cleanup, which drops both
 * lines, either follows or refuses (BeginLineChange).
 * PASSIVE_LEVEL.  Callers: the DTR, RTS and modem-control handlers.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ChangeLines(PCONTROL_CALL Call, ULONG Mask, ULONG Lines) {
  PDEVICE_EXTENSION ext = Call->Extension;
  NTSTATUS status = BeginLineChange(ext);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  // Interlocked: surprise removal drops DTR without the lock.
  LONG old, next;
  do {
    old = ReadShared(&ext->ModemControl);
    next = (LONG)(((ULONG)old & ~Mask) | (Lines & Mask));
  } while (InterlockedCompareExchange((volatile LONG*)&ext->ModemControl, next, old) != old);
  status = SendLineState(Call);
  EndLineChange(ext);
  return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlSetDtr(PCONTROL_CALL Call) {
  return ChangeLines(Call, MODEM_CONTROL_DTR, MODEM_CONTROL_DTR);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlClrDtr(PCONTROL_CALL Call) { return ChangeLines(Call, MODEM_CONTROL_DTR, 0); }

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlSetRts(PCONTROL_CALL Call) {
  return ChangeLines(Call, MODEM_CONTROL_RTS, MODEM_CONTROL_RTS);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlClrRts(PCONTROL_CALL Call) { return ChangeLines(Call, MODEM_CONTROL_RTS, 0); }

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetWaitMask(PCONTROL_CALL Call) {
  PDEVICE_EXTENSION ext = Call->Extension;
  KIRQL irql;

  KeAcquireSpinLock(&ext->SpinLock, &irql);
  *(PULONG)Call->Buffer = ext->WaitMask;
  KeReleaseSpinLock(&ext->SpinLock, irql);
  Call->Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlSetWaitMask(PCONTROL_CALL Call) {
  ChangeWaitMask(Call->Extension, *(PULONG)Call->Buffer);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlWaitOnMask(PCONTROL_CALL Call) {
  // The wait queue takes the request, or completes it itself.  The RemoveLock
  // is not held while a request waits there.
  NTSTATUS status = WaitQueueAddRequest(Call->Extension, Call->Irp);
  IoReleaseRemoveLock(&Call->Extension->RemoveLock, LOCK_TAG);
  Call->HandedOver = TRUE;
  return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlPurge(PCONTROL_CALL Call) {
  PurgePort(Call->Extension, *(PULONG)Call->Buffer);
  ReportEcho(Call, sizeof(ULONG));
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetBaudRate(PCONTROL_CALL Call) {
  PDEVICE_EXTENSION ext = Call->Extension;
  KIRQL irql;

  KeAcquireSpinLock(&ext->SpinLock, &irql);
  ((PSERIAL_BAUD_RATE)Call->Buffer)->BaudRate = ext->BaudRate;
  KeReleaseSpinLock(&ext->SpinLock, irql);
  Call->Irp->IoStatus.Information = sizeof(SERIAL_BAUD_RATE);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetLineControl(PCONTROL_CALL Call) {
  PSERIAL_LINE_CONTROL line = (PSERIAL_LINE_CONTROL)Call->Buffer;

  line->StopBits = ANSWERED_STOP_BITS;
  line->Parity = ANSWERED_PARITY;
  line->WordLength = ANSWERED_WORD_LENGTH;
  Call->Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetChars(PCONTROL_CALL Call) {
  PDEVICE_EXTENSION ext = Call->Extension;
  KIRQL irql;

  KeAcquireSpinLock(&ext->SpinLock, &irql);
  *(PSERIAL_CHARS)Call->Buffer = ext->SpecialChars;
  KeReleaseSpinLock(&ext->SpinLock, irql);
  Call->Irp->IoStatus.Information = sizeof(SERIAL_CHARS);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlSetChars(PCONTROL_CALL Call) {
  PDEVICE_EXTENSION ext = Call->Extension;
  KIRQL irql;

  KeAcquireSpinLock(&ext->SpinLock, &irql);
  ext->SpecialChars = *(const SERIAL_CHARS*)Call->Buffer;
  KeReleaseSpinLock(&ext->SpinLock, irql);
  ReportEcho(Call, sizeof(SERIAL_CHARS));
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetHandFlow(PCONTROL_CALL Call) {
  return GetHandFlow(Call->DeviceObject, Call->Buffer, Call->Irp);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlSetHandFlow(PCONTROL_CALL Call) {
  return SetHandFlow(Call->DeviceObject, Call->Buffer, Call->Irp);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetModemStatus(PCONTROL_CALL Call) {
  PDEVICE_EXTENSION ext = Call->Extension;
  ULONG status;
  KIRQL irql;

  KeAcquireSpinLock(&ext->SpinLock, &irql);
  status = ext->ModemStatus | MODEM_STATUS_REPORTED_CTS;
  ext->ModemStatus &= ~MODEM_STATUS_CLEARED_ON_READ;
  KeReleaseSpinLock(&ext->SpinLock, irql);

  *(PULONG)Call->Buffer = status;
  Call->Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetCommStatus(PCONTROL_CALL Call) {
  PSERIAL_STATUS status = (PSERIAL_STATUS)Call->Buffer;

  RtlZeroMemory(status, sizeof(SERIAL_STATUS));
  status->AmountInInQueue = RingBufferCount(Call->Extension->RingBuffer);
  Call->Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetProperties(PCONTROL_CALL Call) {
  PSERIAL_COMMPROP prop = (PSERIAL_COMMPROP)Call->Buffer;

  // The whole record, padding and the fields given no value included, so no
  // byte of an earlier use of the buffer reaches the client.
  RtlZeroMemory(prop, sizeof(SERIAL_COMMPROP));
  prop->PacketLength = (USHORT)sizeof(SERIAL_COMMPROP);
  prop->PacketVersion = COMMPROP_PACKET_VERSION;
  prop->ServiceMask = SERIAL_SP_SERIALCOMM;
  prop->MaxTxQueue = COMMPROP_QUEUE_SIZE;
  prop->MaxRxQueue = COMMPROP_QUEUE_SIZE;
  prop->MaxBaud = SERIAL_BAUD_USER;
  prop->ProvSubType = SERIAL_SP_RS232;
  prop->ProvCapabilities = COMMPROP_CAPABILITIES;
  prop->SettableParams = COMMPROP_SETTABLE_PARAMS;
  prop->SettableBaud = COMMPROP_SETTABLE_BAUD;
  prop->SettableData = COMMPROP_SETTABLE_DATA;
  prop->SettableStopParity = COMMPROP_SETTABLE_STOP_PARITY;
  Call->Irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetDtrRts(PCONTROL_CALL Call) {
  *(PULONG)Call->Buffer = DTRRTS_ANSWER;
  Call->Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetStats(PCONTROL_CALL Call) {
  PDEVICE_EXTENSION ext = Call->Extension;
  KIRQL irql;

  KeAcquireSpinLock(&ext->SpinLock, &irql);
  *(PSERIALPERF_STATS)Call->Buffer = ext->PerfStats;
  KeReleaseSpinLock(&ext->SpinLock, irql);
  Call->Irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlClearStats(PCONTROL_CALL Call) {
  PDEVICE_EXTENSION ext = Call->Extension;
  KIRQL irql;

  KeAcquireSpinLock(&ext->SpinLock, &irql);
  ext->PerfStats.ReceivedCount = 0;
  ext->PerfStats.TransmittedCount = 0;
  KeReleaseSpinLock(&ext->SpinLock, irql);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlGetModemControl(PCONTROL_CALL Call) {
  *(PULONG)Call->Buffer = (ULONG)ReadShared(&Call->Extension->ModemControl);
  Call->Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlSetModemControl(PCONTROL_CALL Call) {
  NTSTATUS status;

  // The whole value is kept and answered back; only DTR and RTS go out.
  status = ChangeLines(Call, MAXULONG, *(PULONG)Call->Buffer);
  if (NT_SUCCESS(status)) {
    ReportEcho(Call, sizeof(ULONG));
  }
  return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ControlRemovalNotify(PCONTROL_CALL Call) {
  NTSTATUS status = ParkNotifyIrp(Call->Extension, Call->Irp);
  // A parked request keeps the RemoveLock until whoever ends it.
  Call->HandedOver = (status == STATUS_PENDING);
  return status;
}

// clang-format off
static const CONTROL_ROW ControlTable[] = {
  //  code                              input                        output                       handler
  {IOCTL_SERIAL_SET_BAUD_RATE,      sizeof(SERIAL_BAUD_RATE),    0,                           ControlSetBaudRate},
  {IOCTL_SERIAL_SET_QUEUE_SIZE,     0,                           0,                           ControlNothing},
  {IOCTL_SERIAL_SET_LINE_CONTROL,   sizeof(SERIAL_LINE_CONTROL), 0,                           ControlSetLineControl},
  {IOCTL_SERIAL_SET_BREAK_ON,       0,                           0,                           ControlNothing},
  {IOCTL_SERIAL_SET_BREAK_OFF,      0,                           0,                           ControlNothing},
  {IOCTL_SERIAL_IMMEDIATE_CHAR,     0,                           0,                           ControlImmediateChar},
  {IOCTL_SERIAL_SET_TIMEOUTS,       sizeof(SERIAL_TIMEOUTS),     0,                           ControlSetTimeouts},
  {IOCTL_SERIAL_GET_TIMEOUTS,       0,                           sizeof(SERIAL_TIMEOUTS),     ControlGetTimeouts},
  {IOCTL_SERIAL_SET_DTR,            0,                           0,                           ControlSetDtr},
  {IOCTL_SERIAL_CLR_DTR,            0,                           0,                           ControlClrDtr},
  {IOCTL_SERIAL_RESET_DEVICE,       0,                           0,                           ControlNothing},
  {IOCTL_SERIAL_SET_RTS,            0,                           0,                           ControlSetRts},
  {IOCTL_SERIAL_CLR_RTS,            0,                           0,                           ControlClrRts},
  {IOCTL_SERIAL_SET_XOFF,           0,                           0,                           ControlNothing},
  {IOCTL_SERIAL_SET_XON,            0,                           0,                           ControlNothing},
  {IOCTL_SERIAL_GET_WAIT_MASK,      0,                           sizeof(ULONG),               ControlGetWaitMask},
  {IOCTL_SERIAL_SET_WAIT_MASK,      sizeof(ULONG),               0,                           ControlSetWaitMask},
  {IOCTL_SERIAL_WAIT_ON_MASK,       0,                           0,                           ControlWaitOnMask},
  {IOCTL_SERIAL_PURGE,              sizeof(ULONG),               0,                           ControlPurge},
  {IOCTL_SERIAL_GET_BAUD_RATE,      0,                           sizeof(SERIAL_BAUD_RATE),    ControlGetBaudRate},
  {IOCTL_SERIAL_GET_LINE_CONTROL,   0,                           sizeof(SERIAL_LINE_CONTROL), ControlGetLineControl},
  {IOCTL_SERIAL_GET_CHARS,          0,                           sizeof(SERIAL_CHARS),        ControlGetChars},
  {IOCTL_SERIAL_SET_CHARS,          sizeof(SERIAL_CHARS),        0,                           ControlSetChars},
  {IOCTL_SERIAL_GET_HANDFLOW,       0,                           0,                           ControlGetHandFlow},
  {IOCTL_SERIAL_SET_HANDFLOW,       0,                           0,                           ControlSetHandFlow},
  {IOCTL_SERIAL_GET_MODEMSTATUS,    0,                           sizeof(ULONG),               ControlGetModemStatus},
  {IOCTL_SERIAL_GET_COMMSTATUS,     0,                           sizeof(SERIAL_STATUS),       ControlGetCommStatus},
  {IOCTL_SERIAL_XOFF_COUNTER,       0,                           0,                           ControlNothing},
  {IOCTL_SERIAL_GET_PROPERTIES,     0,                           sizeof(SERIAL_COMMPROP),     ControlGetProperties},
  {IOCTL_SERIAL_GET_DTRRTS,         0,                           sizeof(ULONG),               ControlGetDtrRts},
  {IOCTL_SERIAL_LSRMST_INSERT,      0,                           0,                           ControlNothing},
  {IOCTL_SERIAL_CONFIG_SIZE,        0,                           0,                           ControlNothing},
  {SERIAL_GET_COMMCONFIG_CODE,      0,                           0,                           ControlRefuse},
  {SERIAL_SET_COMMCONFIG_CODE,      0,                           0,                           ControlRefuse},
  {IOCTL_SERIAL_GET_STATS,          0,                           sizeof(SERIALPERF_STATS),    ControlGetStats},
  {IOCTL_SERIAL_CLEAR_STATS,        0,                           0,                           ControlClearStats},
  {IOCTL_SERIAL_GET_MODEM_CONTROL,  0,                           sizeof(ULONG),               ControlGetModemControl},
  {IOCTL_SERIAL_SET_MODEM_CONTROL,  sizeof(ULONG),               0,                           ControlSetModemControl},
  {IOCTL_SERIAL_SET_FIFO_CONTROL,   0,                           0,                           ControlNothing},
  {IOCTL_REMOVAL_NOTIFY,            0,                           0,                           ControlRemovalNotify},
};
// clang-format on

/*
 * FindControlRow: the table row of a control code, or NULL.
 * Any IRQL.  Caller: DispatchDeviceControl.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static const CONTROL_ROW* FindControlRow(ULONG IoControlCode) {
  for (ULONG i = 0; i < sizeof(ControlTable) / sizeof(ControlTable[0]); ++i) {
    if (ControlTable[i].IoControlCode == IoControlCode) {
      return &ControlTable[i];
    }
  }
  return NULL;
}

// A control request ends with Information as its handler left it.
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS CompleteControl(PIRP Irp, NTSTATUS Status) {
  return CompleteRequest(Irp, Status, Irp->IoStatus.Information);
}

/*
 * DispatchDeviceControl: answers the serial control requests and the
 * removal-notification request.  Refused before open and after removal;
 * every request holds the RemoveLock while it is served.
 * PASSIVE_LEVEL.  Caller: the I/O manager (IRP_MJ_DEVICE_CONTROL).
 */
_Use_decl_annotations_
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  CONTROL_CALL call;
  NTSTATUS status;

  Irp->IoStatus.Information = 0;
  if (ReadShared(&ext->DeviceOpened) == 0) {
    return CompleteControl(Irp, STATUS_ACCESS_DENIED);
  }
  status = IoAcquireRemoveLock(&ext->RemoveLock, LOCK_TAG);
  if (!NT_SUCCESS(status)) {
    return CompleteControl(Irp, status);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;

  if (ReadShared(&ext->DeviceRemoved) != 0) {
    status = STATUS_NOT_SUPPORTED;
  } else {
    const CONTROL_ROW* row = FindControlRow(stack->Parameters.DeviceIoControl.IoControlCode);

    call.DeviceObject = DeviceObject;
    call.Extension = ext;
    call.Irp = Irp;
    call.Buffer = Irp->AssociatedIrp.SystemBuffer;
    call.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    call.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    call.HandedOver = FALSE;

    if (row == NULL) {
      status = STATUS_INVALID_PARAMETER;
    } else if (call.InputLength < row->InputLength || call.OutputLength < row->OutputLength ||
               ((row->InputLength != 0 || row->OutputLength != 0) && call.Buffer == NULL)) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      status = row->Handler(&call);
      if (call.HandedOver) {
        return status;
      }
    }
  }

  CompleteControl(Irp, status);
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  return status;
}
