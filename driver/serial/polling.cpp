// The bulk-IN polling thread.  It is the ring's only producer: it reads the
// bulk IN pipe 4,096 bytes at a time with no pause between successful reads,
// notes event characters for SERIAL_EV_RXFLAG, drops transfers holding
// "CONNECT" while the filter is on, stores the rest and runs the wait-mask
// evaluation.  It backs off while the ring is nearly full so that a put
// always finds room for a whole transfer.
//
// The settings it consults (wait mask, special characters, the filter
// switch) and the RxFlagSeen it sets are touched under SpinLock, briefly,
// once per transfer: the control and write paths change them concurrently.
#include "serial/polling.h"

#include "serial/ringbuf.h"
#include "usb/config.h"
#include "usb/usb_io.h"
#include "serial/waitmask.h"

/*
 * SleepMilliseconds: blocks the calling thread for Milliseconds.  The
 * product with -10,000 is formed in 32 bits, as the callers' values allow.
 * IRQL: PASSIVE_LEVEL.  Called by the polling threads.
 */
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

/*
 * ContainsConnect: TRUE when the seven bytes "CONNECT" occur in Bytes.  Each
 * transfer is searched by itself.
 * IRQL: any.  Called by pPollingFunction.
 */
BOOLEAN ContainsConnect(const UCHAR* Bytes, ULONG Length) {
  if (Length < CONNECT_FILTER_LENGTH) {
    return FALSE;
  }
  for (ULONG i = 0; i + CONNECT_FILTER_LENGTH <= Length; i++) {
    if (RtlEqualMemory(Bytes + i, CONNECT_FILTER_TEXT, CONNECT_FILTER_LENGTH)) {
      return TRUE;
    }
  }
  return FALSE;
}

// The power state as power management last stored it; read as a whole word
// because power requests change it while the thread runs.
static DEVICE_POWER_STATE CurrentPowerState(PDEVICE_EXTENSION Extension) {
  return (DEVICE_POWER_STATE)InterlockedCompareExchange((LONG volatile*)&Extension->DevicePowerState, 0, 0);
}

// The read outcomes that end the thread, tested in order; Trace is NULL for
// a row that ends silently.  FALSE: trace the failure and read again.
static BOOLEAN BulkReadEndsThread(DEVICE_POWER_STATE PowerState, NTSTATUS ntStatus, ULONG urbStatus,
                                  PCSTR* Trace) {
  *Trace = NULL;
  if (ZLKUSB_IsCancelledStatus(urbStatus)) {
    *Trace = "[pPollingFunction]  USBD_STATUS_CANCELED \n";
  } else if (PowerState == PowerDeviceD3 && ntStatus == STATUS_DEVICE_POWERED_OFF) {
    // ends without a trace
  } else if (PowerState == PowerDeviceD3 && ntStatus == STATUS_DEVICE_NOT_READY) {
    *Trace = "[pPollingFunction]PowerDeviceD3 == STATUS_DEVICE_NOT_READY \n";
  } else if (PowerState == PowerDeviceD2 && ntStatus == STATUS_DEVICE_POWERED_OFF) {
    *Trace = "[pPollingFunction]  STATUS_DEVICE_POWERED_OFF  && PowerDeviceD2 \n";
  } else if (PowerState != PowerDeviceD0 && urbStatus == (ULONG)USBD_STATUS_ENDPOINT_HALTED) {
    *Trace = "[pPollingFunction]  USBD_STATUS_ENDPOINT_HALTED \n";
  } else if (urbStatus == (ULONG)USBD_STATUS_DEVICE_GONE && ntStatus == STATUS_NO_SUCH_DEVICE) {
    *Trace = "[pPollingFunction]  USBD_STATUS_DEVICE_GONE \n";
  } else {
    return FALSE;
  }
  return TRUE;
}

// Handles one received transfer: the event-character note, the CONNECT
// filter, the put and the wait-mask evaluation.
static VOID StoreTransfer(PDEVICE_EXTENSION Extension, const UCHAR* Bytes, ULONG Length) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  BOOLEAN scan = (Extension->WaitMask & SERIAL_EV_RXFLAG) != 0;
  BOOLEAN filter = Extension->SuppressConnect != 0;
  KeReleaseSpinLock(&Extension->SpinLock, irql);

  if (scan && ScanSpecialChars(Extension, Bytes, Length)) {
    KeAcquireSpinLock(&Extension->SpinLock, &irql);
    Extension->RxFlagSeen = TRUE;
    KeReleaseSpinLock(&Extension->SpinLock, irql);
  }
  if (filter && ContainsConnect(Bytes, Length)) {
    return;  // the whole transfer is dropped; a flag noted above stays
  }
  // The back-off keeps a transfer's worth of room free, so this takes all.
  RingBufferPut(Extension->RingBuffer, Bytes, Length);
  EvaluateWaitMask(Extension);
}

/*
 * pPollingFunction: reads the bulk IN pipe into the ring until its stop event
 * is found set or a read fails in a way that ends it (cancelled at cleanup,
 * powered down, halted outside D0, device gone); other failures are traced
 * and retried.  Holds the remove lock for its whole life.
 * IRQL: PASSIVE_LEVEL (system thread).  Started by the open path and by the
 * power-up restart.
 */
VOID NTAPI pPollingFunction(PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Context;
  PVOID lockTag = (PVOID)(ULONG_PTR)REMOVE_LOCK_TAG;

  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  if (!NT_SUCCESS(IoAcquireRemoveLock(&ext->RemoveLock, lockTag))) {
    return;
  }
  (void)ZLKUSB_ResetBulkInPipe(ext->FunctionalDeviceObject);

  PCSTR trace = NULL;
  for (;;) {
    LARGE_INTEGER noWait;
    noWait.QuadPart = 0;
    if (KeWaitForSingleObject(&ext->evKill_pPollingFunction, Executive, KernelMode, FALSE, &noWait) ==
        STATUS_SUCCESS) {
      break;
    }
    IoInvalidateDeviceState(ext->PhysicalDeviceObject);

    if (RingBufferCount(ext->RingBuffer) > RING_BUFFER_BACKOFF_THRESHOLD) {
      SleepMilliseconds(RING_BUFFER_BACKOFF_MS);
      continue;
    }
    if (CurrentPowerState(ext) == PowerDeviceUnspecified) {
      SleepMilliseconds(100);
      continue;
    }

    ULONG length = POLLING_TRANSFER_SIZE;
    ULONG urbStatus = 0;
    NTSTATUS ntStatus =
        ZLKUSB_ReadBulkIn(ext->FunctionalDeviceObject, ext->BulkInIrp, ext->ReadBuffer, &length, &urbStatus);
    if (ntStatus == STATUS_SUCCESS && length > 0) {
      StoreTransfer(ext, ext->ReadBuffer, length);
      continue;
    }
    if (BulkReadEndsThread(CurrentPowerState(ext), ntStatus, urbStatus, &trace)) {
      break;
    }
    DbgPrint("[vr_mdm] pPollingFunction USB Access Fail (UrbStatus = %x , ntStatus = %x)\n",
             (unsigned)urbStatus, (unsigned)ntStatus);
  }
  IoReleaseRemoveLock(&ext->RemoveLock, lockTag);
  if (trace != NULL) {
    DbgPrint("%s", trace);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}
