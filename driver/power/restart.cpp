// The power-up restart of an open port, run as a work item.
//
// The restart holds the port-thread lock from its first look at the port to
// its last change of a thread field, so a cleanup (or an open) of the same
// port runs wholly before or wholly after it.  Under that lock it acts only
// on a port that is still live: open, not removed, with its threads not yet
// stopped by cleanup.  It also holds a RemoveLock acquisition, so removal
// waits for it.
#include "power/restart.h"

#include "core/admission.h"
#include "core/request.h"
#include "serial/interrupt.h"
#include "serial/polling.h"
#include "serial/waitmask.h"
#include "usb/cdc.h"

/*
 * AcquirePortThreadLock / ReleasePortThreadLock: see restart.h.  The lock is
 * ControlMutex: the line-state request takes it too, and a kernel mutex may
 * be acquired again by its owner.
 * PASSIVE_LEVEL.  Callers: PowerThreadRoutine, open and cleanup.
 */
_Use_decl_annotations_
VOID AcquirePortThreadLock(PDEVICE_EXTENSION Extension) {
  KeWaitForSingleObject(&Extension->ControlMutex, Executive, KernelMode, FALSE, NULL);
}

_Use_decl_annotations_
VOID ReleasePortThreadLock(PDEVICE_EXTENSION Extension) { KeReleaseMutex(&Extension->ControlMutex, FALSE); }

/*
 * MarkRestartFailed: the restart cannot run for now.  The port refuses the
 * requests that would wait (each refusal asks for the restart again), and
 * the wait-on-mask requests queued, which nothing would serve, are ended.
 * IRQL <= DISPATCH_LEVEL, SpinLock not held.  Callers: QueuePowerUpRestart
 * and PowerThreadRoutine.
 */
_Requires_lock_not_held_(Extension->SpinLock)
static VOID MarkRestartFailed(PDEVICE_EXTENSION Extension) {
  KIRQL irql;
  DbgPrint("[vr_mdm] power-up restart failed\n");
  // Under SpinLock, as the request paths test it: a wait admitted before is
  // queued by now and ended below.
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  InterlockedExchange(&Extension->PowerRestartFailed, 1);
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  WaitQueueEndAll(Extension, STATUS_DEVICE_NOT_READY);
}

/*
 * QueueRestartWorkItem: queues one run of PowerThreadRoutine, unless one is
 * queued and has not begun (it will do what this one would).
 * IRQL <= DISPATCH_LEVEL; may be called under SpinLock.  Callers:
 * QueuePowerUpRestart, RetryPowerUpRestart.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS QueueRestartWorkItem(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PPOWER_WORK_CONTEXT context;
  PIO_WORKITEM workItem;

  if (InterlockedCompareExchange(&ext->PowerRestartQueued, 1, 0) != 0) {
    return STATUS_SUCCESS;
  }
  // The queued run owns a RemoveLock acquisition from here on, so removal
  // waits for it: a work item still queued when the device is deleted would
  // run on freed memory.
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, LOCK_TAG);
  if (!NT_SUCCESS(status)) {
    InterlockedExchange(&ext->PowerRestartQueued, 0);
    return status;
  }
  context =
      (PPOWER_WORK_CONTEXT)ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_WORK_CONTEXT), POOL_TAG_DRIVER);
  if (context == NULL) {
    goto failed_context;
  }
  workItem = IoAllocateWorkItem(DeviceObject);
  if (workItem == NULL) {
    goto failed_work_item;
  }
  context->DeviceObject = DeviceObject;
  context->WorkItem = workItem;
  IoQueueWorkItem(workItem, PowerThreadRoutine, DelayedWorkQueue, context);
  return STATUS_SUCCESS;

failed_work_item:
  ExFreePoolWithTag(context, POOL_TAG_DRIVER);
failed_context:
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  InterlockedExchange(&ext->PowerRestartQueued, 0);
  return STATUS_UNSUCCESSFUL;
}

/*
 * QueuePowerUpRestart: see restart.h.
 */
_Use_decl_annotations_
NTSTATUS QueuePowerUpRestart(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE OldState,
                             DEVICE_POWER_STATE NewState) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  if (ReadShared(&ext->DeviceOpened) == 0) {
    return STATUS_UNSUCCESSFUL;
  }
  if ((LONG)NewState >= (LONG)OldState) {
    return STATUS_SUCCESS;  // only a move to more power restarts anything
  }
  NTSTATUS status = QueueRestartWorkItem(DeviceObject);
  if (!NT_SUCCESS(status)) {
    MarkRestartFailed(ext);
  }
  return status;
}

/*
 * RetryPowerUpRestart: see restart.h.
 */
_Use_decl_annotations_
NTSTATUS RetryPowerUpRestart(PDEVICE_OBJECT DeviceObject) { return QueueRestartWorkItem(DeviceObject); }

/*
 * WaitForThreadEnd: waits, without time-out, for the thread in *Field to
 * end; no thread is nothing to wait for.
 * PASSIVE_LEVEL.  Caller: StopPollingThread.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS WaitForThreadEnd(PKTHREAD* Field) {
  if (*Field == NULL) {
    return STATUS_SUCCESS;
  }
  return KeWaitForSingleObject(*Field, Executive, KernelMode, FALSE, NULL);
}

/*
 * StartPollingThread: creates a system thread running Routine on the
 * extension and keeps a reference to it in *Field; on any failure the field
 * stays NULL.
 * PASSIVE_LEVEL.  Caller: RestartPort.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID StartPollingThread(PDEVICE_EXTENSION Extension, PKSTART_ROUTINE Routine, PKTHREAD* Field,
                               const char* CreatedTrace) {
  OBJECT_ATTRIBUTES attributes;
  HANDLE handle = NULL;
  PVOID thread = NULL;

  InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
  // The thread's remove-lock hold is taken for it before it runs (this run
  // holds one too), so a removal waits for it however late it starts.
  NTSTATUS status = IoAcquireRemoveLock(&Extension->RemoveLock, LOCK_TAG);
  if (NT_SUCCESS(status)) {
    status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL, Routine, Extension);
    if (!NT_SUCCESS(status)) {
      IoReleaseRemoveLock(&Extension->RemoveLock, LOCK_TAG);
    }
  }
  if (CreatedTrace != NULL) {
    DbgPrint("%s", CreatedTrace);
  }
  if (!NT_SUCCESS(status)) {
    return;
  }
  if (NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode, &thread, NULL))) {
    *Field = (PKTHREAD)thread;
  }
  ZwClose(handle);
}

/*
 * PortStillServed: after the stop event of a polling thread was reset, the
 * device is still there for a new thread.  Removal does not take the
 * port-thread lock; it sets DeviceRemoved under SpinLock and then every
 * stop event, so tested here under SpinLock it is either seen, or its stop
 * event comes after the reset and the new thread stops at once.  A device
 * found gone gets its stop event back.
 * PASSIVE_LEVEL, port-thread lock held.  Caller: StopPollingThread.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN PortStillServed(PDEVICE_EXTENSION Extension, PKEVENT StopEvent) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->SpinLock, &irql);
  BOOLEAN served = OpenPortRefusal(Extension) == STATUS_SUCCESS;
  KeReleaseSpinLock(&Extension->SpinLock, irql);
  if (!served) {
    KeSetEvent(StopEvent, IO_NO_INCREMENT, FALSE);
  }
  return served;
}

/*
 * StopPollingThread: tells the thread in *Field to stop, ends the pipe read
 * it may be blocked in, waits for it to end and drops it; leaves the stop
 * event reset and the packet ready for the next thread.  Returns FALSE when
 * the wait failed, leaving the thread and its event alone, or when the
 * device has gone meanwhile (PortStillServed), so that nothing is started.
 * PASSIVE_LEVEL, port-thread lock held.  Caller: RestartPort.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN StopPollingThread(PDEVICE_EXTENSION Extension, PKEVENT StopEvent, PIRP Packet, PKTHREAD* Field,
                                 const char* WaitedTrace, const char* DroppedTrace) {
  KeSetEvent(StopEvent, IO_NO_INCREMENT, FALSE);
  // A read that the powered-up device never answers would hold the thread,
  // and the restart with it, for good.
  if (Packet != NULL) {
    IoCancelIrp(Packet);
  }
  if (!NT_SUCCESS(WaitForThreadEnd(Field))) {
    return FALSE;
  }
  if (WaitedTrace != NULL) {
    DbgPrint("%s", WaitedTrace);
  }
  KeResetEvent(StopEvent);
  if (!PortStillServed(Extension, StopEvent)) {
    return FALSE;
  }
  // The cancel may have found the packet idle and left its cancel flag set;
  // the next thread's first read must not be taken for cancelled.
  if (Packet != NULL) {
    IoReuseIrp(Packet, STATUS_SUCCESS);
  }
  if (*Field != NULL) {
    if (DroppedTrace != NULL) {
      DbgPrint("%s", DroppedTrace);
    }
    ObDereferenceObject(*Field);
    *Field = NULL;
  }
  return TRUE;
}

/*
 * PortIsLive: the port is open, its device present and its threads not yet
 * stopped by cleanup (which drops the read thread and the pipe packet).
 * PASSIVE_LEVEL, port-thread lock held.  Caller: PowerThreadRoutine.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN PortIsLive(PDEVICE_EXTENSION Extension) {
  return ReadShared(&Extension->DeviceOpened) != 0 && ReadShared(&Extension->DeviceRemoved) == 0 &&
         Extension->pReadFunctionThread != NULL && Extension->BulkInIrp != NULL;
}

/*
 * PollingThreadRuns: Thread was started and has not ended.
 * PASSIVE_LEVEL.  Caller: RestartPort.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN PollingThreadRuns(PKTHREAD Thread) {
  LARGE_INTEGER now;
  now.QuadPart = 0;
  return Thread != NULL &&
         KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, &now) == STATUS_TIMEOUT;
}

/*
 * RestartPort: one attempt at the restart: the line coding, then the line
 * state, then the bulk-IN and interrupt polling threads.  A retry keeps the
 * threads an earlier attempt got running.  FALSE when a packet or a thread
 * could not be had, so that the attempt is worth repeating.
 * PASSIVE_LEVEL, port-thread lock held, port live.  Caller: PowerThreadRoutine.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN RestartPort(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION ext, BOOLEAN Retry) {
  LINE_CODING coding;
  KIRQL irql;

  KeAcquireSpinLock(&ext->SpinLock, &irql);
  coding.dwDTERate = ext->BaudRate;
  coding.bCharFormat = ext->StopBits;
  coding.bParityType = ext->Parity;
  coding.bDataBits = ext->WordLength;
  KeReleaseSpinLock(&ext->SpinLock, irql);
  (void)ZLKUSB_SetLineCoding(DeviceObject, &coding, NULL);

  PIRP packet = IoAllocateIrp((CCHAR)(ext->TopOfStackDeviceObject->StackSize + 1), FALSE);
  DbgPrint("[PowerThreadRoutine] start\n");
  if (packet == NULL) {
    DbgPrint("[PowerThreadRoutine] Irp");
    return FALSE;
  }
  (void)ZLKUSB_SetControlLineState(packet, ext);
  IoFreeIrp(packet);

  const LONG powerState = ReadShared(&ext->DevicePowerState);
  DbgPrint("[PowerThreadRoutine] deviceExtension->DevicePowerState = %d\n", (int)powerState);
  if (powerState == PowerDeviceUnspecified) {
    return TRUE;
  }
  DbgPrint("[PowerThreadRoutine] not PowerDeviceUnspecified\n");
  if (!(Retry && PollingThreadRuns(ext->pPollingFunctionThread)) &&
      StopPollingThread(ext, &ext->evKill_pPollingFunction, ext->BulkInIrp, &ext->pPollingFunctionThread,
                        "KeReSetEvent( &deviceExtension->evKill_pPollingFunction (+2)\n", NULL)) {
    DbgPrint("[kt_mdm] [PowerThreadRoutine] create pPollingFunctionThread\n");
    StartPollingThread(ext, pPollingFunction, &ext->pPollingFunctionThread, NULL);
  }
  if (!ext->UsingInterruptPipe) {
    return ext->pPollingFunctionThread != NULL;
  }
  DbgPrint("[PowerThreadRoutine] deviceExtension->UsingInterruptPipe \n");
  if (!(Retry && PollingThreadRuns(ext->pInterruptPollingFunctionThread)) &&
      StopPollingThread(ext, &ext->evKill_pInterruptPollingFunction, ext->InterruptIrp,
                        &ext->pInterruptPollingFunctionThread,
                        "[PowerThreadRoutine] deviceExtension->pInterruptPollingFunctionThread---Wait \n",
                        "[PowerThreadRoutine] ObDereferenceObjectp   InterruptPollingFunctionThread\n")) {
    StartPollingThread(ext, pInterruptPollingFunction, &ext->pInterruptPollingFunctionThread,
                       "[PowerThreadRoutine] ObDereferenceObjectp   InterruptPollingFunctionThread\n");
  }
  return ext->pPollingFunctionThread != NULL && ext->pInterruptPollingFunctionThread != NULL;
}

/*
 * PowerThreadRoutine: restarts the open port after power-up (RestartPort).
 * An attempt that lacked a packet or a thread is repeated a few times after
 * a pause, since such shortages pass; when all fail, the restart is marked
 * failed (MarkRestartFailed).  Stops early when the port is cleaned up or
 * removed.  Frees its work item and context.
 * PASSIVE_LEVEL, system worker thread.  Caller: the work queue
 * (QueueRestartWorkItem).
 */
_Use_decl_annotations_
VOID NTAPI PowerThreadRoutine(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  PPOWER_WORK_CONTEXT context = (PPOWER_WORK_CONTEXT)Context;
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PIO_WORKITEM workItem = context->WorkItem;

  // Begun: a power-up from now on needs a run of its own.  The RemoveLock
  // acquisition taken when this run was queued is released at the end.
  InterlockedExchange(&ext->PowerRestartQueued, 0);

  for (ULONG attempt = 0;; attempt++) {
    AcquirePortThreadLock(ext);
    BOOLEAN live = PortIsLive(ext);
    BOOLEAN done = !live || RestartPort(DeviceObject, ext, attempt != 0);
    ReleasePortThreadLock(ext);
    if (done) {
      if (live) {
        InterlockedExchange(&ext->PowerRestartFailed, 0);
      }
      break;
    }
    if (attempt + 1 == POWER_RESTART_ATTEMPTS) {
      MarkRestartFailed(ext);
      break;
    }
    // Cleanup and surprise removal set this event: no use going on then.
    LARGE_INTEGER pause;
    pause.QuadPart = -10000LL * POWER_RESTART_RETRY_MS;
    if (KeWaitForSingleObject(&ext->evKill_pReadFunction, Executive, KernelMode, FALSE, &pause) ==
        STATUS_SUCCESS) {
      break;
    }
  }

  IoFreeWorkItem(workItem);
  ExFreePoolWithTag(context, POOL_TAG_DRIVER);
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
}
