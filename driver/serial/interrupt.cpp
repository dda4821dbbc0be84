// Interrupt polling thread.  One runs per open port whose modem has an
// interrupt pipe; it is the only user of InterruptIrp and InterruptBuffer
// while it runs.
#include "serial/interrupt.h"

#include "core/device_extension.h"
#include "core/worker.h"
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
_IRQL_requires_max_(HIGH_LEVEL)
static ULONG InterruptStateToModemLines(UCHAR SerialState) {
  ULONG lines = 0;
  if (SerialState & 0x01) lines |= MODEM_STATUS_DCD;
  if (SerialState & 0x02) lines |= MODEM_STATUS_DSR;
  return lines;
}

// A USBD status in the halted class (both top bits set: a stall, a halted
// endpoint, a device not answering) leaves the pipe halted until it is reset.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN PipeHalted(ULONG UsbdStatus) { return (UsbdStatus >> 30) == 3; }

// The power path writes DevicePowerState while this thread runs.
_IRQL_requires_max_(DISPATCH_LEVEL)
static DEVICE_POWER_STATE CurrentPowerState(PDEVICE_EXTENSION ext) {
  return (DEVICE_POWER_STATE)InterlockedCompareExchange((LONG volatile*)&ext->DevicePowerState, 0, 0);
}

// The interrupt read outcomes, in the order they are tested.  A halt in D0
// is cured by a pipe reset instead of an end: ending there would freeze DSR
// and DCD until the port is reopened.
static const PIPE_READ_RULE kInterruptReadRules[] = {
    {POWER_STATES_ANY, PIPE_READ_ANY_STATUS, ZLKUSB_USBD_CODE_BITS, ZLKUSB_USBD_CODE_CANCELED, PipeReadEnds,
     "[pInterruptPollingFunction]USBD_STATUS_CANCELED \n"},
    {POWER_STATE_BIT(PowerDeviceD3), STATUS_DEVICE_POWERED_OFF, 0, 0, PipeReadEnds,
     "[pInterruptPollingFunction]PowerDeviceD3 == STATUS_DEVICE_POWERED_OFF \n"},
    {POWER_STATE_BIT(PowerDeviceD3), STATUS_DEVICE_NOT_READY, 0, 0, PipeReadEnds,
     "[pInterruptPollingFunction]PowerDeviceD3 == STATUS_DEVICE_NOT_READY \n"},
    {POWER_STATE_BIT(PowerDeviceD2), STATUS_DEVICE_POWERED_OFF, 0, 0, PipeReadEnds,
     "[pInterruptPollingFunction]  STATUS_DEVICE_POWERED_OFF  && PowerDeviceD2 \n"},
    {POWER_STATES_NOT_D0, PIPE_READ_ANY_STATUS, 0xFFFFFFFF, (ULONG)USBD_STATUS_ENDPOINT_HALTED, PipeReadEnds,
     "[pInterruptPollingFunction]ntStatus == USBD_STATUS_ENDPOINT_HALTED \n"},
    {POWER_STATES_ANY, PIPE_READ_ANY_STATUS, 0, 0, PipeReadRetried,
     "[vr_mdm] pInterruptPollingFunction USB Access Fail (UrbStatus = %x , ntStatus = %x)\n"},
};

// A pipe halted by a stall takes nothing until it is reset.
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID InterruptThreadBegin(PWORKER Worker) {
  (void)ZLKUSB_ResetInterruptPipe(Worker->Extension->FunctionalDeviceObject);
}

// One pass of the interrupt polling thread: a read of the interrupt pipe,
// whose serial-state notification updates DSR and DCD.
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN InterruptThreadStep(PWORKER Worker) {
  PDEVICE_EXTENSION ext = Worker->Extension;
  // Until power management has told us a state, the bus may not be
  // reachable: look at the stop event now and then, but do not read.
  DEVICE_POWER_STATE powerState = CurrentPowerState(ext);
  if (powerState == PowerDeviceUnspecified) {
    SleepMilliseconds(100);
    return TRUE;
  }

  ULONG length = INTERRUPT_READ_LENGTH;
  ULONG urbStatus = 0;
  NTSTATUS ntStatus = ReadInterrupt(ext->FunctionalDeviceObject, ext->InterruptIrp, ext->InterruptBuffer,
                                    &length, &urbStatus);
  powerState = CurrentPowerState(ext);
  DbgPrint("[ReadInterrupt] UrbStatus = %X , ntStatus = %X DevicePowerState = %x \n ", (unsigned)urbStatus,
           (unsigned)ntStatus, (unsigned)powerState);

  const PIPE_READ_RULE* rule =
      FindPipeReadRule(kInterruptReadRules, sizeof(kInterruptReadRules) / sizeof(kInterruptReadRules[0]),
                       powerState, ntStatus, urbStatus);
  if (rule->Outcome == PipeReadEnds) {
    Worker->ExitTrace = rule->Trace;
    return FALSE;
  }
  DbgPrint(rule->Trace, (unsigned)urbStatus, (unsigned)ntStatus);

  if (!NT_SUCCESS(ntStatus) || USBD_ERROR(urbStatus)) {
    // The buffer holds nothing new: the lines stay as last reported.
    if (PipeHalted(urbStatus)) {
      (void)ZLKUSB_ResetInterruptPipe(ext->FunctionalDeviceObject);
    }
    Worker->WaitMs = kFailedReadPauseMs;
    return TRUE;
  }
  Worker->WaitMs = 1;
  if (length >= kSerialStateLength &&
      ext->InterruptBuffer[kNotificationCodeOffset] == kSerialStateNotification) {
    UpdateModemStatus(ext, InterruptStateToModemLines(ext->InterruptBuffer[kSerialStateOffset]));
  }
  return TRUE;
}

static const WORKER_ROUTINES kInterruptThread = {1, InterruptThreadBegin, InterruptThreadStep, NULL};

/*
 * pInterruptPollingFunction: reads serial-state notifications, 16 bytes at
 * a time, and feeds DSR/DCD into the modem status until its stop event is
 * set or a read says the pipe is cancelled, powered down or halted outside
 * D0; a pipe halted in D0 is reset and read again.
 * IRQL: PASSIVE_LEVEL (system thread).  Started by the open path and by the
 * power-up restart.
 */
_Use_decl_annotations_
VOID NTAPI pInterruptPollingFunction(PVOID Context) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)Context;
  RunWorkerThread(ext, &ext->evKill_pInterruptPollingFunction, NULL, &kInterruptThread, NULL);
}
