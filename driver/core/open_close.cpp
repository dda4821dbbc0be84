// Open, cleanup and close.  One client at a time: OpenCount, tested under
// SpinLock, admits a single open; cleanup stops everything the open started;
// close ends the open.
#include "core/open_close.h"

#include "core/driver_entry.h"
#include "core/request.h"

#include "power/power.h"
#include "power/restart.h"
#include "serial/interrupt.h"
#include "serial/notify.h"
#include "serial/read.h"
#include "serial/request_list.h"
#include "serial/waitmask.h"
#include "usb/pipes.h"
#include "usb/usb_io.h"
#include "serial/polling.h"
#include "serial/write.h"
#include "usb/cdc.h"

// Handshake defaults of every open.
static const ULONG kOpenControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;  // 0x09
static const ULONG kOpenFlowReplace = SERIAL_RTS_HANDSHAKE;                            // 0x80
static const LONG kOpenXonLimit = 2048;
static const LONG kOpenXoffLimit = 512;
static const UCHAR kOpenWordLength = 7;

// ModemStatus line bits given at open and at close.
static const ULONG kOpenModemLines = MODEM_STATUS_DSR;    // DSR on, DCD off
static const ULONG kCloseModemLines = ~MODEM_STATUS_DSR;  // DSR off, DCD on

// One row per worker thread, in the order they are started.
typedef struct _WORKER_THREAD_ROW {
  PKSTART_ROUTINE Routine;
  SIZE_T ThreadField;  // offset of the PKTHREAD field in DEVICE_EXTENSION
  SIZE_T StopEvent;    // offset of the stop event
  BOOLEAN InterruptPipeOnly;
} WORKER_THREAD_ROW;

static const WORKER_THREAD_ROW kWorkerThreads[] = {
    {pReadFunction, offsetof(DEVICE_EXTENSION, pReadFunctionThread),
     offsetof(DEVICE_EXTENSION, evKill_pReadFunction), FALSE},
    {pWaitMaskFunction, offsetof(DEVICE_EXTENSION, pWaitMaskFunctionThread),
     offsetof(DEVICE_EXTENSION, evKill_pWaitMaskFunction), FALSE},
    {pPollingFunction, offsetof(DEVICE_EXTENSION, pPollingFunctionThread),
     offsetof(DEVICE_EXTENSION, evKill_pPollingFunction), FALSE},
    {pWriteFunction, offsetof(DEVICE_EXTENSION, pWriteFunctionThread),
     offsetof(DEVICE_EXTENSION, evKill_pWriteFunction), FALSE},
    {pInterruptPollingFunction, offsetof(DEVICE_EXTENSION, pInterruptPollingFunctionThread),
     offsetof(DEVICE_EXTENSION, evKill_pInterruptPollingFunction), TRUE},
};
static const ULONG kWorkerThreadCount = sizeof(kWorkerThreads) / sizeof(kWorkerThreads[0]);

_IRQL_requires_max_(DISPATCH_LEVEL)
static PKTHREAD* ThreadField(PDEVICE_EXTENSION ext, ULONG row) {
  return (PKTHREAD*)((PUCHAR)ext + kWorkerThreads[row].ThreadField);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static PKEVENT StopEvent(PDEVICE_EXTENSION ext, ULONG row) {
  return (PKEVENT)((PUCHAR)ext + kWorkerThreads[row].StopEvent);
}

/*
 * WaitAndDropThread: waits for a worker thread to end and drops the
 * reference the open took on it.  A null field (thread never started, or
 * already dropped) is skipped.
 * IRQL: PASSIVE_LEVEL.  Callers: cleanup and the unwinding of a failed start.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID WaitAndDropThread(PKTHREAD* Field) {
  PKTHREAD thread = *Field;
  if (thread == NULL) {
    return;
  }
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
  ObDereferenceObject(thread);
  *Field = NULL;
}

/*
 * StartWorkerThreads: see open_close.h.  Each thread gets the device record
 * as its context and holds the remove lock while it runs.
 * IRQL: PASSIVE_LEVEL.  Caller: DispatchCreate.
 */
_Use_decl_annotations_
NTSTATUS StartWorkerThreads(PDEVICE_EXTENSION DeviceExtension) {
  PDEVICE_EXTENSION ext = DeviceExtension;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG row;

  for (row = 0; row < kWorkerThreadCount; row++) {
    if (kWorkerThreads[row].InterruptPipeOnly && !ext->UsingInterruptPipe) {
      continue;
    }
    OBJECT_ATTRIBUTES attributes;
    HANDLE handle = NULL;
    InitializeObjectAttributes(&attributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    // The thread's remove-lock hold is taken for it here, before it runs:
    // a removal waiting on the lock then waits for it however late it starts.
    status = IoAcquireRemoveLock(&ext->RemoveLock, LOCK_TAG);
    if (NT_SUCCESS(status)) {
      status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, NULL, NULL,
                                    kWorkerThreads[row].Routine, ext);
      if (!NT_SUCCESS(status)) {
        IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
      }
    }
    if (!NT_SUCCESS(status)) {
      if (kWorkerThreads[row].Routine == pInterruptPollingFunction) {
        DbgPrint("pInterruptPollingFunction  Error \n");
      }
      break;
    }
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL, KernelMode,
                                       (PVOID*)ThreadField(ext, row), NULL);
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
      // Running but unreachable: at least tell it to stop; it gives back the
      // remove lock when it ends.
      *ThreadField(ext, row) = NULL;
      KeSetEvent(StopEvent(ext, row), 0, FALSE);
      break;
    }
  }
  if (NT_SUCCESS(status)) {
    return STATUS_SUCCESS;
  }

  // Unwind: the threads already running would otherwise keep their remove
  // lock acquisitions and the port could never be opened again.  The pipe
  // reads are cancelled so that a polling thread blocked in one returns.
  for (ULONG i = 0; i < row; i++) {
    if (*ThreadField(ext, i) != NULL) {
      KeSetEvent(StopEvent(ext, i), 0, FALSE);
    }
  }
  if (ext->BulkInIrp != NULL) {
    IoCancelIrp(ext->BulkInIrp);
  }
  if (ext->InterruptIrp != NULL) {
    IoCancelIrp(ext->InterruptIrp);
  }
  for (ULONG i = 0; i < row; i++) {
    WaitAndDropThread(ThreadField(ext, i));
  }
  return status;
}

/*
 * DropWorkerThreads: see open_close.h.
 * IRQL: PASSIVE_LEVEL.  Callers: cleanup and removal.
 */
_Use_decl_annotations_
VOID DropWorkerThreads(PDEVICE_EXTENSION Extension) {
  WaitAndDropThread(&Extension->pReadFunctionThread);
  WaitAndDropThread(&Extension->pPollingFunctionThread);
  WaitAndDropThread(&Extension->pWriteFunctionThread);
  WaitAndDropThread(&Extension->pWaitMaskFunctionThread);
  WaitAndDropThread(&Extension->pInterruptPollingFunctionThread);
}

/*
 * DispatchCreate: admits one open at a time, resets the per-open state,
 * starts the worker threads and raises DTR and RTS.
 * IRQL: PASSIVE_LEVEL.  Caller: the I/O manager (IRP_MJ_CREATE).
 */
_Use_decl_annotations_
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  KIRQL irql;
  NTSTATUS status;
  PSERIAL_HANDFLOW handFlow;
  CCHAR stackSize;
  PPIPE_ENTRY bulkIn;

  // Counting inside the lock makes two racing opens see each other in
  // order: exactly one of them sees a count of 1.  A stop or removal pending
  // is tested in the same hold, so a query-stop or query-remove either sees
  // this open or is seen.
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  if (InterlockedIncrement(&ext->OpenCount) > 1) {
    InterlockedDecrement(&ext->OpenCount);
    KeReleaseSpinLock(&ext->SpinLock, irql);
    return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  }
  if (ReadShared(&ext->StopOrRemovePending) != 0) {
    InterlockedDecrement(&ext->OpenCount);
    KeReleaseSpinLock(&ext->SpinLock, irql);
    return CompleteRequest(Irp, STATUS_DEVICE_NOT_READY, 0);
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);

  if (ReadShared(&ext->DeviceRemoved) != 0) {
    InterlockedDecrement(&ext->OpenCount);
    return CompleteRequest(Irp, STATUS_NOT_SUPPORTED, 0);
  }
  if (ReadShared(&ext->DeviceOpened) != 0) {
    InterlockedDecrement(&ext->OpenCount);
    return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  }
  status = IoAcquireRemoveLock(&ext->RemoveLock, LOCK_TAG);
  if (!NT_SUCCESS(status)) {
    InterlockedDecrement(&ext->OpenCount);
    return CompleteRequest(Irp, status, 0);
  }
  // A port opened on a device left powered down would never work; the open
  // asks for the power-up the system request could not, and waits for it.
  status = PayOwedDevicePower(DeviceObject);
  if (!NT_SUCCESS(status)) {
    goto refuse;
  }

  // Leftovers cannot exist after a close; freeing them keeps a broken
  // sequence from leaking.
  FreeDeviceAllocations(ext, DEVICE_ALLOCATIONS_HANDFLOW | DEVICE_ALLOCATIONS_OPEN_PACKETS);

  handFlow = (PSERIAL_HANDFLOW)ExAllocatePoolWithTag(NonPagedPool, sizeof(SERIAL_HANDFLOW), POOL_TAG_DRIVER);
  if (handFlow == NULL) {
    status = STATUS_NO_MEMORY;
    goto refuse;
  }
  handFlow->ControlHandShake = kOpenControlHandShake;
  handFlow->FlowReplace = kOpenFlowReplace;
  handFlow->XonLimit = kOpenXonLimit;
  handFlow->XoffLimit = kOpenXoffLimit;
  ext->HandFlow = handFlow;

  ext->RxFlagSeen = FALSE;
  InterlockedExchangePointer((PVOID volatile*)&ext->CurrentWriteIrp, NULL);
  InterlockedExchangePointer((PVOID volatile*)&ext->NextWriteIrp, NULL);
  InterlockedExchangePointer((PVOID volatile*)&ext->LaunchWriteIrp, NULL);
  InterlockedExchange(&ext->ArmedTimerCount, 0);

  // The power-up restart replaces threads too; it must see either no port
  // or a complete one.
  AcquirePortThreadLock(ext);

  // The polling threads read with these packets and cleanup cancels them,
  // neither checking for null: an open without them must fail.
  stackSize = (CCHAR)(ext->TopOfStackDeviceObject->StackSize + 1);
  ext->BulkInIrp = IoAllocateIrp(stackSize, FALSE);
  if (ext->UsingInterruptPipe) {
    ext->InterruptIrp = IoAllocateIrp(stackSize, FALSE);
  }
  if (ext->BulkInIrp == NULL || (ext->UsingInterruptPipe && ext->InterruptIrp == NULL)) {
    status = STATUS_INSUFFICIENT_RESOURCES;
    goto free_packets;
  }

  // A new handle: nothing of the last one's closing or of an old failed
  // restart applies to the threads started below.
  InterlockedExchange(&ext->PortClosing, 0);
  InterlockedExchange(&ext->PowerRestartFailed, 0);
  InterlockedExchange(&ext->DeviceOpened, 1);

  bulkIn = ZLKUSB_FindPipe(ext, UsbdPipeTypeBulk, PIPE_DIRECTION_IN);
  if (bulkIn != NULL) {
    (void)ZLKUSB_ResetPipe(ext->FunctionalDeviceObject, &bulkIn->PipeInfo);
  }

  // Line settings read as "not yet set" until the client sets them, so its
  // first baud-rate request always reaches the modem.
  ext->BaudRate = 0;
  ext->StopBits = 0;
  ext->Parity = 0;
  ext->WordLength = kOpenWordLength;
  InterlockedExchange(&ext->PendingWriteCount, 0);

  KeSetEvent(&ext->evTimersIdle, IO_NO_INCREMENT, FALSE);  // no read-timer arming yet
  KeResetEvent(&ext->evKill_pPollingFunction);
  KeResetEvent(&ext->evKill_pWaitMaskFunction);
  KeResetEvent(&ext->evKill_pReadFunction);
  KeResetEvent(&ext->evKill_pWriteFunction);
  if (ext->UsingInterruptPipe) {
    KeResetEvent(&ext->evKill_pInterruptPollingFunction);
  }
  RequestListInit(&ext->ReadQueue);
  RequestListInit(&ext->WriteQueue);
  KeInitializeEvent(&ext->evWriteDone, NotificationEvent, FALSE);
  KeResetEvent(&ext->evWriteDone);

  status = StartWorkerThreads(ext);
  if (!NT_SUCCESS(status)) {
    status = STATUS_INSUFFICIENT_RESOURCES;
    goto close_port;
  }
  ReleasePortThreadLock(ext);

  InterlockedExchange((LONG volatile*)&ext->ModemControl, (LONG)(MODEM_CONTROL_DTR | MODEM_CONTROL_RTS));
  (void)ZLKUSB_SetControlLineState(Irp, ext);
  UpdateModemStatus(ext, kOpenModemLines);

  CompleteRequest(Irp, STATUS_SUCCESS, 0);
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  return STATUS_SUCCESS;

  // Unwinding, latest acquisition first.  The open count drops before the
  // completion, so the client may open again as soon as it has the answer.
close_port:
  InterlockedExchange(&ext->DeviceOpened, 0);
free_packets:
  FreeDeviceAllocations(ext, DEVICE_ALLOCATIONS_OPEN_PACKETS);
  ReleasePortThreadLock(ext);
  FreeDeviceAllocations(ext, DEVICE_ALLOCATIONS_HANDFLOW);
refuse:
  InterlockedDecrement(&ext->OpenCount);
  CompleteRequest(Irp, status, 0);
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  return status;
}

/*
 * DispatchCleanup: the client's handle is closed.  Ends every pending
 * wait-on-mask, read and write request, stops and waits for every worker
 * thread and read timer of this open, and drops DTR and RTS.
 * IRQL: PASSIVE_LEVEL.  Caller: the I/O manager (IRP_MJ_CLEANUP).
 */
_Use_decl_annotations_
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  KIRQL irql;

  if (ReadShared(&ext->DeviceOpened) == 0) {
    return CompleteRequest(Irp, STATUS_ACCESS_DENIED, 0);
  }
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, LOCK_TAG);
  if (!NT_SUCCESS(status)) {
    return CompleteRequest(Irp, status, 0);
  }

  // From here on nothing new waits on the port: the request paths test the
  // flag under the lock they queue under (SpinLock; the cancel spin lock for
  // the notification request), so whatever was queued before is found below.
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  InterlockedExchange(&ext->PortClosing, 1);
  KeReleaseSpinLock(&ext->SpinLock, irql);
  // A parked notification would keep the handle's close from ever coming.
  EndParkedNotifyIrp(ext, STATUS_CANCELLED);

  WaitQueueEndAll(ext, STATUS_CANCELLED);
  InterlockedExchange(&ext->PendingWriteCount, 0);

  // Keeps a power-up restart from starting a polling thread behind our back.
  AcquirePortThreadLock(ext);
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  KeSetEvent(&ext->evKill_pReadFunction, 0, FALSE);
  if (ext->BulkInIrp != NULL) {
    IoCancelIrp(ext->BulkInIrp);
  }
  if (ext->UsingInterruptPipe) {
    KeSetEvent(&ext->evKill_pInterruptPollingFunction, 0, FALSE);
    if (ext->InterruptIrp != NULL) {
      IoCancelIrp(ext->InterruptIrp);
    }
  }
  KeSetEvent(&ext->evKill_pPollingFunction, 0, FALSE);
  KeSetEvent(&ext->evKill_pWaitMaskFunction, 0, FALSE);
  KeSetEvent(&ext->evKill_pWriteFunction, 0, FALSE);
  if (ReadShared(&ext->ArmedTimerCount) == 0) {
    KeSetEvent(&ext->evTimersIdle, 0, FALSE);
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);

  DropWorkerThreads(ext);

  // Threads that ended by themselves (device gone, powered down) did not
  // purge their queues, and requests may have arrived while they stopped.
  // Nothing serves them any more: end them here, which also disarms the
  // read timer, so the wait below cannot hang on a 100 s read time-out.
  WaitQueueEndAll(ext, STATUS_CANCELLED);
  RequestListFlush(ext, &ext->ReadQueue, TRUE);
  RequestListFlush(ext, &ext->WriteQueue, FALSE);
  InterlockedExchange(&ext->PendingWriteCount, 0);
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  if (ReadShared(&ext->ArmedTimerCount) == 0) {
    KeSetEvent(&ext->evTimersIdle, 0, FALSE);
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);
  KeWaitForSingleObject(&ext->evTimersIdle, Executive, KernelMode, FALSE, NULL);

  FreeDeviceAllocations(ext, DEVICE_ALLOCATIONS_OPEN_PACKETS);

  // Dropped and sent under the line-state lock (the port-thread lock is the
  // same mutex): a line change of the handle either went out before, or,
  // arriving now, is refused (BeginLineChange), so both lines stay down.
  InterlockedAnd((LONG volatile*)&ext->ModemControl, ~(LONG)(MODEM_CONTROL_DTR | MODEM_CONTROL_RTS));
  (void)ZLKUSB_SetControlLineState(Irp, ext);
  ReleasePortThreadLock(ext);

  CompleteRequest(Irp, STATUS_SUCCESS, 0);
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  return STATUS_SUCCESS;
}

/*
 * DispatchClose: ends the open.  The handshake record goes here rather than
 * at cleanup: close comes only once every request of the handle has
 * finished, so no control request can still be reading it.
 * IRQL: PASSIVE_LEVEL.  Caller: the I/O manager (IRP_MJ_CLOSE).
 */
_Use_decl_annotations_
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, LOCK_TAG);
  if (!NT_SUCCESS(status)) {
    return CompleteRequest(Irp, status, 0);
  }

  InterlockedExchange(&ext->PendingWriteCount, 0);
  UpdateModemStatus(ext, kCloseModemLines);
  FreeDeviceAllocations(ext, DEVICE_ALLOCATIONS_HANDFLOW);

  InterlockedExchange(&ext->DeviceOpened, 0);
  InterlockedDecrement(&ext->OpenCount);

  CompleteRequest(Irp, STATUS_SUCCESS, 0);
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  return STATUS_SUCCESS;
}
