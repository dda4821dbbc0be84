// Interrupt polling thread.  One runs per open port whose modem has an
// interrupt pipe; it is the only user of InterruptIrp and InterruptBuffer
// while it runs.
#include "serial/interrupt.h"

#include "core/device_extension.h"
#include "serial/waitmask.h"
#include "usb/usb_io.h"
#include "usb/config.h"
#include "serial/polling.h"

// Byte 8 of a serial-state notification: bit 0 receive carrier (DCD),
// bit 1 transmission carrier (DSR).  Only a whole serial-state notification
// (its code, its 8-byte header and 2-byte state) says anything about the
// lines: another notification, or a short one, leaves them as they are.
static const ULONG kSerialStateOffset = 8;
static const ULONG kNotificationCodeOffset = 1;
static const UCHAR kSerialStateNotification = 0x20;
static const ULONG kSerialStateLength = 10;

// Pause after a failed read, so a pipe that keeps failing costs a read per
// 10 ms, not one per millisecond.
static const LONG kFailedReadPauseMs = 10;

/*
 * InterruptStateToModemLines: maps the two carrier bits of a serial-state
 * byte to the DSR/DCD line bits that UpdateModemStatus reads.
 * IRQL: any.  Caller: pInterruptPollingFunction.
 */
static ULONG InterruptStateToModemLines(UCHAR SerialState) {
  ULONG lines = 0;
  if (SerialState & 0x01) lines |= MODEM_STATUS_DCD;
  if (SerialState & 0x02) lines |= MODEM_STATUS_DSR;
  return lines;
}

// A USBD status in the halted class (both top bits set: a stall, a halted
// endpoint, a device not answering) leaves the pipe halted until it is reset.
static BOOLEAN PipeHalted(ULONG UsbdStatus) { return (UsbdStatus >> 30) == 3; }

// The power path writes DevicePowerState while this thread runs.
static DEVICE_POWER_STATE CurrentPowerState(PDEVICE_EXTENSION ext) {
  return (DEVICE_POWER_STATE)InterlockedCompareExchange((LONG volatile*)&ext->DevicePowerState, 0, 0);
}

/*
 * InterruptReadEndsThread: the read outcomes after which reading on is
 * pointless (cancelled at cleanup, device powered down, endpoint halted
 * outside D0).  A halt in D0 is cured by a pipe reset instead: ending there
 * would freeze DSR and DCD until the port is reopened.
 * Traces the reason when it says so.
 * IRQL: PASSIVE_LEVEL.  Caller: pInterruptPollingFunction.
 */
static BOOLEAN InterruptReadEndsThread(DEVICE_POWER_STATE PowerState, NTSTATUS ntStatus, ULONG urbStatus,
                                       PCSTR* Trace) {
  if (ZLKUSB_IsCancelledStatus(urbStatus)) {
    *Trace = "[pInterruptPollingFunction]USBD_STATUS_CANCELED \n";
  } else if (PowerState == PowerDeviceD3 && ntStatus == STATUS_DEVICE_POWERED_OFF) {
    *Trace = "[pInterruptPollingFunction]PowerDeviceD3 == STATUS_DEVICE_POWERED_OFF \n";
  } else if (PowerState == PowerDeviceD3 && ntStatus == STATUS_DEVICE_NOT_READY) {
    *Trace = "[pInterruptPollingFunction]PowerDeviceD3 == STATUS_DEVICE_NOT_READY \n";
  } else if (PowerState == PowerDeviceD2 && ntStatus == STATUS_DEVICE_POWERED_OFF) {
    *Trace = "[pInterruptPollingFunction]  STATUS_DEVICE_POWERED_OFF  && PowerDeviceD2 \n";
  } else if (PowerState != PowerDeviceD0 && urbStatus == (ULONG)USBD_STATUS_ENDPOINT_HALTED) {
    *Trace = "[pInterruptPollingFunction]ntStatus == USBD_STATUS_ENDPOINT_HALTED \n";
  } else {
    return FALSE;
  }
  return TRUE;
}

/*
 * pInterruptPollingFunction: reads serial-state notifications, 16 bytes at
 * a time, and feeds DSR/DCD into the modem status until its stop event is
 * set or a read says the pipe is cancelled, powered down or halted outside
 * D0; a pipe halted in D0 is reset and read again.  Holds the remove lock
 * for its whole life so removal waits for it.
 * IRQL: PASSIVE_LEVEL (system thread).  Started by the open path and by the
 * power-up restart.
 */
VOID NTAPI pInterruptPollingFunction(PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Context;
  PVOID lockTag = (PVOID)(ULONG_PTR)REMOVE_LOCK_TAG;

  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  if (!NT_SUCCESS(IoAcquireRemoveLock(&ext->RemoveLock, lockTag))) {
    return;
  }

  (void)ZLKUSB_ResetInterruptPipe(ext->FunctionalDeviceObject);

  LONG pauseMs = 1;
  for (;;) {
    LARGE_INTEGER pause;
    pause.QuadPart = -10000LL * pauseMs;
    if (KeWaitForSingleObject(&ext->evKill_pInterruptPollingFunction, Executive, KernelMode, FALSE, &pause) ==
        STATUS_SUCCESS) {
      IoReleaseRemoveLock(&ext->RemoveLock, lockTag);
      PsTerminateSystemThread(STATUS_SUCCESS);
      return;
    }

    // Until power management has told us a state, the bus may not be
    // reachable: look at the stop event now and then, but do not read.
    DEVICE_POWER_STATE powerState = CurrentPowerState(ext);
    if (powerState == PowerDeviceUnspecified) {
      SleepMilliseconds(100);
      continue;
    }

    ULONG length = INTERRUPT_READ_LENGTH;
    ULONG urbStatus = 0;
    NTSTATUS ntStatus = ReadInterrupt(ext->FunctionalDeviceObject, ext->InterruptIrp, ext->InterruptBuffer,
                                      &length, &urbStatus);
    powerState = CurrentPowerState(ext);
    DbgPrint("[ReadInterrupt] UrbStatus = %X , ntStatus = %X DevicePowerState = %x \n ", (unsigned)urbStatus,
             (unsigned)ntStatus, (unsigned)powerState);

    PCSTR trace = NULL;
    if (InterruptReadEndsThread(powerState, ntStatus, urbStatus, &trace)) {
      IoReleaseRemoveLock(&ext->RemoveLock, lockTag);
      DbgPrint("%s", trace);
      PsTerminateSystemThread(STATUS_SUCCESS);
      return;
    }

    DbgPrint("[vr_mdm] pInterruptPollingFunction USB Access Fail (UrbStatus = %x , ntStatus = %x)\n",
             (unsigned)urbStatus, (unsigned)ntStatus);

    if (!NT_SUCCESS(ntStatus) || USBD_ERROR(urbStatus)) {
      // The buffer holds nothing new: the lines stay as last reported.
      if (PipeHalted(urbStatus)) {
        (void)ZLKUSB_ResetInterruptPipe(ext->FunctionalDeviceObject);
      }
      pauseMs = kFailedReadPauseMs;
      continue;
    }
    pauseMs = 1;
    if (length >= kSerialStateLength &&
        ext->InterruptBuffer[kNotificationCodeOffset] == kSerialStateNotification) {
      UpdateModemStatus(ext, InterruptStateToModemLines(ext->InterruptBuffer[kSerialStateOffset]));
    }
  }
}
