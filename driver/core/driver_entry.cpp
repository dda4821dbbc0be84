// Driver load, device creation and unload.

#include "core/driver_entry.h"

#include "core/dispatch.h"
#include "serial/request_list.h"
#include "serial/ringbuf.h"

UNICODE_STRING DriverRegistryPath;
LONG DeviceInstanceCounter;

/*
 * DriverEntry: keeps a NUL-terminated copy of the registry path (WMI hands it
 * out later) and fills the dispatch table.  On failure nothing is installed
 * and nothing is kept.  PASSIVE_LEVEL; called by the system once per load.
 */
EXTERN_C _Use_decl_annotations_
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  DeviceInstanceCounter = 0;
  DriverRegistryPath.Length = 0;
  DriverRegistryPath.MaximumLength = 0;
  DriverRegistryPath.Buffer = NULL;

  USHORT length = RegistryPath != NULL ? RegistryPath->Length : 0;
  // Room for the terminator must still fit a counted string.
  if (length > 0xFFFF - sizeof(WCHAR)) {
    return STATUS_INVALID_PARAMETER;
  }
  USHORT maximumLength = (USHORT)(length + sizeof(WCHAR));
  PWSTR buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, maximumLength, POOL_TAG_REGISTRY_PATH);
  if (buffer == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(buffer, maximumLength);
  DriverRegistryPath.Buffer = buffer;
  DriverRegistryPath.MaximumLength = maximumLength;
  if (RegistryPath != NULL) {
    RtlCopyUnicodeString(&DriverRegistryPath, RegistryPath);
  }
  buffer[DriverRegistryPath.Length / sizeof(WCHAR)] = 0;

  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  DriverObject->DriverUnload = DriverUnload;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  DriverObject->MajorFunction[IRP_MJ_READ] = DispatchRead;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  return STATUS_SUCCESS;
}

// Frees the pool block *Field points to, if any, and clears the field.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID FreePoolField(PVOID* Field, ULONG Tag) {
  if (*Field != NULL) {
    ExFreePoolWithTag(*Field, Tag);
    *Field = NULL;
  }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID FreeIrpField(PIRP* Field) {
  if (*Field != NULL) {
    IoFreeIrp(*Field);
    *Field = NULL;
  }
}

/*
 * FreeDeviceAllocations: see driver_entry.h.  The groups go latest first:
 * the packets of an open, its handshake record, then what start and
 * AddDevice made.
 * IRQL: PASSIVE_LEVEL.  Called by cleanup (packets), close (handshake
 * record), a failed open (both), a failed AddDevice and removal (all).
 */
_Use_decl_annotations_
VOID FreeDeviceAllocations(PDEVICE_EXTENSION Extension, ULONG Which) {
  PDEVICE_EXTENSION ext = Extension;
  if ((Which & DEVICE_ALLOCATIONS_OPEN_PACKETS) != 0) {
    FreeIrpField(&ext->InterruptIrp);
    FreeIrpField(&ext->BulkInIrp);
  }
  if ((Which & DEVICE_ALLOCATIONS_HANDFLOW) != 0 && ext->HandFlow != NULL) {
    // Control requests look at the record under SpinLock.
    KIRQL irql;
    KeAcquireSpinLock(&ext->SpinLock, &irql);
    PVOID handFlow = ext->HandFlow;
    ext->HandFlow = NULL;
    KeReleaseSpinLock(&ext->SpinLock, irql);
    FreePoolField(&handFlow, POOL_TAG_DRIVER);
  }
  if ((Which & DEVICE_ALLOCATIONS_DEVICE) == 0) {
    return;
  }
  FreePoolField((PVOID*)&ext->ConfigurationDescriptor, POOL_TAG_DRIVER);
  FreePoolField((PVOID*)&ext->DeviceDescriptor, POOL_TAG_DRIVER);
  // Cleanup has waited for every armed timer; this only makes sure.  The
  // timer's DPC looks at the timer and signals evTimersIdle as its last act,
  // so it may still be running on another processor: both stay until it
  // has returned.
  if (ext->ReadTimer != NULL) {
    (void)KeCancelTimer(ext->ReadTimer);
  }
  if (ext->ReadTimerDpc != NULL) {
    (void)KeRemoveQueueDpc(ext->ReadTimerDpc);
    KeFlushQueuedDpcs();
  }
  FreePoolField((PVOID*)&ext->ReadTimerDpc, POOL_TAG_DRIVER);
  FreePoolField((PVOID*)&ext->ReadTimer, POOL_TAG_DRIVER);
  FreePoolField((PVOID*)&ext->InterruptBuffer, POOL_TAG_DRIVER);
  FreePoolField((PVOID*)&ext->ReadBuffer, POOL_TAG_DRIVER);
  if (ext->RingBuffer != NULL) {
    RingBufferFree(ext->RingBuffer);
    ext->RingBuffer = NULL;
  }
}

// Makes the allocations of a new device record in order, each timer object
// initialised as soon as it exists; stops at the first that fails and
// returns FALSE, the ones made being left to FreeDeviceAllocations.
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN AllocateDeviceRecord(PDEVICE_EXTENSION ext) {
  ext->RingBuffer = RingBufferAllocate();
  if (ext->RingBuffer == NULL) {
    return FALSE;
  }
  ext->ReadBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, READ_BUFFER_SIZE, POOL_TAG_DRIVER);
  if (ext->ReadBuffer == NULL) {
    return FALSE;
  }
  ext->InterruptBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, INTERRUPT_BUFFER_SIZE, POOL_TAG_DRIVER);
  if (ext->InterruptBuffer == NULL) {
    return FALSE;
  }
  ext->ReadTimer = (PKTIMER)ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), POOL_TAG_DRIVER);
  if (ext->ReadTimer == NULL) {
    return FALSE;
  }
  KeInitializeTimer(ext->ReadTimer);
  ext->ReadTimerDpc = (PKDPC)ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), POOL_TAG_DRIVER);
  if (ext->ReadTimerDpc == NULL) {
    return FALSE;
  }
  KeInitializeDpc(ext->ReadTimerDpc, ReadTimeoutDpc, ext);
  return TRUE;
}

/*
 * AddDevice: creates the numbered serial-port device object for one modem,
 * sets up its extension (ring, transfer buffers, read timer and DPC, events,
 * locks, line defaults) and attaches it above the bus driver's device.  The
 * device is not configured here; Plug and Play start does that.
 * PASSIVE_LEVEL; called by the Plug and Play manager.
 */
_Use_decl_annotations_
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  // Numbers are never given back, not even by a failed AddDevice.
  ULONG instance = (ULONG)InterlockedIncrement(&DeviceInstanceCounter);

  WCHAR nameBuffer[DEVICE_NAME_CHARS];
  swprintf(nameBuffer, L"%s%4.4d", VRMDM_DEVICE_NAME_PREFIX, (int)instance);
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, nameBuffer);

  PDEVICE_OBJECT deviceObject = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), &deviceName,
                                   FILE_DEVICE_SERIAL_PORT, 0, FALSE, &deviceObject);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
  RtlZeroMemory(ext, sizeof(DEVICE_EXTENSION));
  ext->InstanceNumber = instance;

  if (!AllocateDeviceRecord(ext)) {
    DbgPrint("[AddDevice] out of memory for device %u\n", instance);
    status = STATUS_UNSUCCESSFUL;
    goto delete_device;
  }

  ext->UsingInterruptPipe = FALSE;
  ext->BaudRate = DEFAULT_BAUD_RATE;
  ext->StopBits = 0;
  ext->Parity = 0;
  ext->WordLength = DEFAULT_WORD_LENGTH;

  InterlockedExchange(&ext->DeviceOpened, 0);
  ext->OpenCount = 0;
  ext->FunctionalDeviceObject = deviceObject;
  ext->ModemStatus = 0;
  ext->ModemControl = 0;
  ext->NotifyIrp = NULL;
  ext->RecoverPort = RecoverPortPower;
  // Ready before any open: removal ends what they hold, open or not.
  RequestListInit(&ext->ReadQueue);
  RequestListInit(&ext->WriteQueue);

  KeInitializeEvent(&ext->evKill_pPollingFunction, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evKill_pWaitMaskFunction, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evKill_pInterruptPollingFunction, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evKill_pReadFunction, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evKill_pWriteFunction, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evControlDone, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evBulkInDone, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evInterruptDone, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evTimersIdle, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evWriteQueued, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evReadDataReady, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evRingRoom, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evModemChanged, NotificationEvent, FALSE);
  KeInitializeEvent(&ext->evOwedPowerDone, NotificationEvent, TRUE);
  KeInitializeMutex(&ext->ControlMutex, 1);
  KeInitializeSpinLock(&ext->SpinLock);
  IoInitializeRemoveLockEx(&ext->RemoveLock, REMOVE_LOCK_TAG, 0, 0, sizeof(IO_REMOVE_LOCK));

  ext->PhysicalDeviceObject = PhysicalDeviceObject;
  ext->TopOfStackDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
  if (ext->TopOfStackDeviceObject == NULL) {
    // Without a device below, every request the driver sends would go
    // nowhere: refuse the device rather than run half attached.
    DbgPrint("[AddDevice] cannot attach device %u\n", instance);
    status = STATUS_NO_SUCH_DEVICE;
    goto delete_device;
  }

  ext->DevicePowerState = PowerDeviceD3;
  POWER_STATE powerState;
  powerState.DeviceState = PowerDeviceD3;
  PoSetPowerState(deviceObject, DevicePowerState, powerState);

  deviceObject->Flags |= ext->TopOfStackDeviceObject->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH);
  deviceObject->Flags |= DO_BUFFERED_IO;
  // Last: the named device may be opened as soon as it is no longer
  // initialising, so everything above must be in place first.
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;

delete_device:
  FreeDeviceAllocations(ext, DEVICE_ALLOCATIONS_ALL);
  IoDeleteDevice(deviceObject);
  return status;
}

/*
 * DriverUnload: frees the registry path copy.  Every device has been removed
 * and deleted by Plug and Play before the system unloads the driver.
 * PASSIVE_LEVEL; called by the system.
 */
_Use_decl_annotations_
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  if (DriverRegistryPath.Buffer != NULL) {
    ExFreePoolWithTag(DriverRegistryPath.Buffer, POOL_TAG_REGISTRY_PATH);
    DriverRegistryPath.Buffer = NULL;
  }
  DriverRegistryPath.Length = 0;
  DriverRegistryPath.MaximumLength = 0;
}
