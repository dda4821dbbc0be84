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
// bit 1 transmission carrier (DSR).  Nothing else of the notification is read.
static const ULONG kSerialStateOffset = 8;

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

// The power path writes DevicePowerState while this thread runs.
static DEVICE_POWER_STATE CurrentPowerState(PDEVICE_EXTENSION ext) {
  return (DEVICE_POWER_STATE)InterlockedCompareExchange((LONG volatile*)&ext->DevicePowerState, 0, 0);
}

/*
 * InterruptReadEndsThread: the read outcomes after which reading on is
 * pointless (cancelled at cleanup, device powered down, endpoint halted).
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
  } else if (urbStatus == (ULONG)USBD_STATUS_ENDPOINT_HALTED) {
    *Trace = "[pInterruptPollingFunction]ntStatus == USBD_STATUS_ENDPOINT_HALTED \n";
  } else {
    return FALSE;
  }
  return TRUE;
}

/*
 * pInterruptPollingFunction: reads serial-state notifications, 16 bytes at
 * a time, and feeds DSR/DCD into the modem status until its stop event is
 * set or a read says the pipe is cancelled, powered down or halted.  Holds
 * the remove lock for its whole life so removal waits for it.
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

  for (;;) {
    LARGE_INTEGER pause;
    pause.QuadPart = -10000;  // 1 ms
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

    // After a failed read the buffer still holds the last notification, so
    // the same line state is given again; that retires a stale change bit.
    UpdateModemStatus(ext, InterruptStateToModemLines(ext->InterruptBuffer[kSerialStateOffset]));
  }
}
