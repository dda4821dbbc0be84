// The bulk-IN polling thread.  It is the ring's only producer: it reads the
// bulk IN pipe 4,096 bytes at a time with no pause between successful reads,
// notes event characters for SERIAL_EV_RXFLAG, drops the modem's CONNECT
// result line after a command line while the filter is on, stores the rest
// and runs the wait-mask evaluation.  It backs off while the ring is nearly
// full so that a put always finds room for a whole transfer, and pauses
// between reads that bring nothing, so a failing device never makes it spin.
//
// The settings it consults (wait mask, special characters, the filter
// switch) and the RxFlagSeen it sets are touched under SpinLock, briefly,
// once per transfer: the control and write paths change them concurrently.
#include "serial/polling.h"

#include "core/worker.h"

#include "serial/ringbuf.h"
#include "usb/config.h"
#include "usb/usb_io.h"
#include "serial/waitmask.h"

/*
 * SleepMilliseconds: blocks the calling thread for Milliseconds.  The
 * product with -10,000 is formed in 32 bits, as the callers' values allow.
 * IRQL: PASSIVE_LEVEL.  Called by the polling threads.
 */
_Use_decl_annotations_
VOID SleepMilliseconds(LONG Milliseconds) {
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER timeout;
  timeout.QuadPart = (LONGLONG)(LONG)((ULONG)Milliseconds * (0u - 10000u));
  KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
}

/*
 * ScanSpecialChars: TRUE at the first byte equal to a non-zero member of
 * SpecialChars (EofChar, ErrorChar, BreakChar, EventChar, XonChar, XoffChar,
 * in that order); FALSE when none is, and for Length 0.  A member of 0 never
 * matches, so a received NUL is not an event character.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Called by pPollingFunction.
 */
_Use_decl_annotations_
BOOLEAN ScanSpecialChars(PDEVICE_EXTENSION Extension, const UCHAR* Bytes, ULONG Length) {
  UCHAR chars[6];
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  chars[0] = Extension->SpecialChars.EofChar;
  chars[1] = Extension->SpecialChars.ErrorChar;
  chars[2] = Extension->SpecialChars.BreakChar;
  chars[3] = Extension->SpecialChars.EventChar;
  chars[4] = Extension->SpecialChars.XonChar;
  chars[5] = Extension->SpecialChars.XoffChar;
  KeReleaseSpinLock(&Extension->SpinLock, irql);

  for (ULONG i = 0; i < Length; i++) {
    for (ULONG c = 0; c < 6; c++) {
      if (chars[c] != 0 && Bytes[i] == chars[c]) {
        return TRUE;
      }
    }
  }
  return FALSE;
}

// Where the CONNECT filter stands between two transfers: outside a result
// line, inside one, or just after its CR (an LF may follow).
typedef enum _CONNECT_LINE { ConnectLineNone, ConnectLineText, ConnectLineCr } CONNECT_LINE;

/*
 * DropConnectLines: removes from Bytes, in place, the first "CONNECT" while
 * *Armed, and the rest of its line up to and including the line end (CR,
 * CR LF or LF); the other bytes keep their order.  Dropping a line disarms
 * the filter, so a later "CONNECT" is the client's data.  A result line
 * holds printable characters only, so any other byte ends it early and is
 * kept: a stray "CONNECT" costs at most its printable run.  *Line carries a
 * line cut by the end of the transfer into the next one.  "CONNECT" itself
 * cut in two by a transfer boundary is not recognised: holding bytes back
 * for the next transfer could hold them for good.  Returns the number of
 * bytes kept.
 * IRQL: any.  Called by StoreTransfer for each transfer the filter applies to.
 */
_IRQL_requires_max_(HIGH_LEVEL)
static ULONG DropConnectLines(PUCHAR Bytes, ULONG Length, CONNECT_LINE* Line, BOOLEAN* Armed) {
  ULONG kept = 0;
  ULONG i = 0;
  while (i < Length) {
    UCHAR c = Bytes[i];
    if (*Line == ConnectLineText) {
      if (c == '\r') {
        *Line = ConnectLineCr;
        i++;
      } else if (c == '\n') {
        *Line = ConnectLineNone;
        i++;
      } else if (c >= 0x20 && c < 0x7F) {
        i++;
      } else {
        *Line = ConnectLineNone;  // not a result line's character: kept below
      }
      continue;
    }
    if (*Line == ConnectLineCr) {
      *Line = ConnectLineNone;
      if (c == '\n') {
        i++;
      }
      continue;
    }
    if (*Armed && Length - i >= CONNECT_FILTER_LENGTH &&
        RtlEqualMemory(Bytes + i, CONNECT_FILTER_TEXT, CONNECT_FILTER_LENGTH)) {
      *Line = ConnectLineText;
      *Armed = FALSE;
      i += CONNECT_FILTER_LENGTH;
      continue;
    }
    Bytes[kept++] = c;
    i++;
  }
  return kept;
}

// The power state as power management last stored it; read as a whole word
// because power requests change it while the thread runs.
_IRQL_requires_max_(DISPATCH_LEVEL)
static DEVICE_POWER_STATE CurrentPowerState(PDEVICE_EXTENSION Extension) {
  return (DEVICE_POWER_STATE)InterlockedCompareExchange((LONG volatile*)&Extension->DevicePowerState, 0, 0);
}

// Whether a transfer's USBD status left its pipe halted: the two top bits
// set (the DDK's USBD_HALTED, which usbdi.h keeps from this driver's
// includes).  Such a pipe takes nothing until it is reset.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN PipeHalted(ULONG UrbStatus) { return (UrbStatus >> 30) == 3; }

/*
 * FindPipeReadRule: see polling.h.
 * IRQL: any.  Called by the two polling threads after a read without data.
 */
_Use_decl_annotations_
const PIPE_READ_RULE* FindPipeReadRule(const PIPE_READ_RULE* Rules, ULONG Count,
                                       DEVICE_POWER_STATE PowerState, NTSTATUS NtStatus, ULONG UrbStatus) {
  for (ULONG i = 0; i + 1 < Count; i++) {
    const PIPE_READ_RULE* rule = &Rules[i];
    if ((rule->PowerStates & POWER_STATE_BIT(PowerState)) != 0 &&
        (rule->NtStatus == PIPE_READ_ANY_STATUS || rule->NtStatus == NtStatus) &&
        (UrbStatus & rule->UrbStatusBits) == rule->UrbStatus) {
      return rule;
    }
  }
  return &Rules[Count - 1];
}

// The bulk-IN read outcomes, in the order they are tested.
static const PIPE_READ_RULE kBulkReadRules[] = {
    {POWER_STATES_ANY, PIPE_READ_ANY_STATUS, ZLKUSB_USBD_CODE_BITS, ZLKUSB_USBD_CODE_CANCELED, PipeReadEnds,
     "[pPollingFunction]  USBD_STATUS_CANCELED \n"},
    {POWER_STATE_BIT(PowerDeviceD3), STATUS_DEVICE_POWERED_OFF, 0, 0, PipeReadEnds, NULL},
    {POWER_STATE_BIT(PowerDeviceD3), STATUS_DEVICE_NOT_READY, 0, 0, PipeReadEnds,
     "[pPollingFunction]PowerDeviceD3 == STATUS_DEVICE_NOT_READY \n"},
    {POWER_STATE_BIT(PowerDeviceD2), STATUS_DEVICE_POWERED_OFF, 0, 0, PipeReadEnds,
     "[pPollingFunction]  STATUS_DEVICE_POWERED_OFF  && PowerDeviceD2 \n"},
    {POWER_STATES_NOT_D0, PIPE_READ_ANY_STATUS, 0xFFFFFFFF, (ULONG)USBD_STATUS_ENDPOINT_HALTED, PipeReadEnds,
     "[pPollingFunction]  USBD_STATUS_ENDPOINT_HALTED \n"},
    {POWER_STATES_ANY, STATUS_NO_SUCH_DEVICE, 0xFFFFFFFF, (ULONG)USBD_STATUS_DEVICE_GONE, PipeReadEnds,
     "[pPollingFunction]  USBD_STATUS_DEVICE_GONE \n"},
    {POWER_STATES_ANY, PIPE_READ_ANY_STATUS, 0, 0, PipeReadRetried,
     "[vr_mdm] pPollingFunction USB Access Fail (UrbStatus = %x , ntStatus = %x)\n"},
};

// Handles one received transfer: the event-character note, the CONNECT
// filter, the put and the wait-mask evaluation.  With the filter switched
// on, each command line the client sends arms it for one result line: the
// first "CONNECT" line after it is dropped, whichever comes first, the
// carrier (on the interrupt pipe) or the line (here), and whether or not
// the modem reports a carrier at all.  After that the filter passes
// everything, the data phase's own bytes included, until the next command
// line.
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID StoreTransfer(PDEVICE_EXTENSION Extension, PUCHAR Bytes, ULONG Length, CONNECT_LINE* Line) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  BOOLEAN scan = (Extension->WaitMask & SERIAL_EV_RXFLAG) != 0;
  BOOLEAN filter = Extension->SuppressConnect != 0;
  ULONG commandLine = Extension->CommandLineCount;
  BOOLEAN armed = filter && commandLine != Extension->ConnectDroppedAt;
  KeReleaseSpinLock(&Extension->SpinLock, irql);

  if (scan && ScanSpecialChars(Extension, Bytes, Length)) {
    KeAcquireSpinLock(&Extension->SpinLock, &irql);
    Extension->RxFlagSeen = TRUE;
    KeReleaseSpinLock(&Extension->SpinLock, irql);
  }
  if (!filter) {
    *Line = ConnectLineNone;
  } else if (armed || *Line != ConnectLineNone) {
    BOOLEAN stillArmed = armed;
    Length = DropConnectLines(Bytes, Length, Line, &stillArmed);
    if (armed && !stillArmed) {
      // Dropped for this command line; a later one arms the filter again.
      KeAcquireSpinLock(&Extension->SpinLock, &irql);
      Extension->ConnectDroppedAt = commandLine;
      KeReleaseSpinLock(&Extension->SpinLock, irql);
    }
    if (Length == 0) {
      return;  // nothing but a result line; a flag noted above stays
    }
  }
  // The back-off keeps a transfer's worth of room free, so this takes all.
  RingBufferPut(Extension->RingBuffer, Bytes, Length);
  // A read waiting for data is served now, not at the read thread's next
  // pass.  Looked at under SpinLock, after the put: a read that becomes
  // current later found the data itself in DispatchRead.
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  BOOLEAN readWaits = Extension->CurrentReadIrp != NULL;
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  if (readWaits) {
    KeSetEvent(&Extension->evReadDataReady, IO_NO_INCREMENT, FALSE);
  }
  EvaluateWaitMask(Extension);
}

// What the bulk-IN polling thread keeps from one pass to the next.
typedef struct _POLLING_STATE {
  BOOLEAN Idle;     // the last read brought no data
  BOOLEAN Failing;  // the last read failed
  CONNECT_LINE ConnectLine;
} POLLING_STATE, *PPOLLING_STATE;

// A pipe halted by a stall takes nothing until it is reset.
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID PollingThreadBegin(PWORKER Worker) {
  (void)ZLKUSB_ResetBulkInPipe(Worker->Extension->FunctionalDeviceObject);
}

// One pass of the bulk-IN polling thread: a read into the ring, or a pause.
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN PollingThreadStep(PWORKER Worker) {
  PDEVICE_EXTENSION ext = Worker->Extension;
  PPOLLING_STATE state = (PPOLLING_STATE)Worker->State;
  Worker->WaitMs = 0;
  if (RingBufferCount(ext->RingBuffer) > RING_BUFFER_BACKOFF_THRESHOLD) {
    // The ring is full until the client reads: the next read goes as soon
    // as one has made room (evRingRoom), not a clock tick later, which at
    // high speed would idle the pipe for over a hundred microframes.
    Worker->WaitMs = RING_BUFFER_BACKOFF_MS;
    return TRUE;
  }
  if (CurrentPowerState(ext) == PowerDeviceUnspecified) {
    SleepMilliseconds(100);
    return TRUE;
  }

  ULONG length = POLLING_TRANSFER_SIZE;
  ULONG urbStatus = 0;
  NTSTATUS ntStatus =
      ZLKUSB_ReadBulkIn(ext->FunctionalDeviceObject, ext->BulkInIrp, ext->ReadBuffer, &length, &urbStatus);
  if (length > 0) {
    // A read cancelled (restart, cleanup) or failed part-way still moved
    // these bytes: they go in before anything else is read.
    StoreTransfer(ext, ext->ReadBuffer, length, &state->ConnectLine);
  }
  if (ntStatus == STATUS_SUCCESS && length > 0) {
    state->Idle = FALSE;
    state->Failing = FALSE;
    return TRUE;
  }
  DEVICE_POWER_STATE powerState = CurrentPowerState(ext);
  const PIPE_READ_RULE* rule = FindPipeReadRule(
      kBulkReadRules, sizeof(kBulkReadRules) / sizeof(kBulkReadRules[0]), powerState, ntStatus, urbStatus);
  if (rule->Outcome == PipeReadEnds) {
    Worker->ExitTrace = rule->Trace;
    return FALSE;
  }
  DbgPrint(rule->Trace, (unsigned)urbStatus, (unsigned)ntStatus);

  // A read that keeps failing must not spin at this priority.  A
  // zero-length transfer right after data only ends that data (a device
  // sending a multiple of its packet size) and is read past at once.
  BOOLEAN failed = ntStatus != STATUS_SUCCESS;
  if (failed && !state->Failing) {
    IoInvalidateDeviceState(ext->PhysicalDeviceObject);  // once as the reads start failing
  }
  if (failed && powerState == PowerDeviceD0 && PipeHalted(urbStatus)) {
    (void)ZLKUSB_ResetBulkInPipe(ext->FunctionalDeviceObject);  // a stall is cleared only by a reset
  }
  if (failed || state->Idle) {
    Worker->WaitMs = RING_BUFFER_BACKOFF_MS;
  }
  state->Idle = TRUE;
  state->Failing = failed;
  return TRUE;
}

static const WORKER_ROUTINES kPollingThread = {0, PollingThreadBegin, PollingThreadStep, NULL};

/*
 * pPollingFunction: reads the bulk IN pipe into the ring until its stop event
 * is found set or a read fails in a way that ends it (cancelled at cleanup,
 * powered down, halted outside D0, device gone); other failures are traced
 * and retried after a pause, a halted pipe in D0 after a reset.  The stop
 * event is looked at before every read.
 * IRQL: PASSIVE_LEVEL (system thread).  Started by the open path and by the
 * power-up restart.
 */
_Use_decl_annotations_
VOID NTAPI pPollingFunction(PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Context;
  POLLING_STATE state;
  state.Idle = FALSE;
  state.Failing = FALSE;
  state.ConnectLine = ConnectLineNone;
  RunWorkerThread(ext, &ext->evKill_pPollingFunction, &ext->evRingRoom, &kPollingThread, &state);
}
