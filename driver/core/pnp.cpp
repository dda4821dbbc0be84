// Plug and Play requests of the serial-port device object.
#include "core/pnp.h"

#include "core/device_extension.h"
#include "core/driver_entry.h"
#include "core/open_close.h"
#include "core/request.h"
#include "power/restart.h"
#include "serial/notify.h"
#include "serial/request_list.h"
#include "serial/waitmask.h"
#include "usb/pipes.h"
#include "usb/usb_io.h"
#include "wmi/wmi.h"
#include "usb/config.h"

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: the COM-port device interface class.
static const GUID kComPortInterfaceClass = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

static const ULONG kDosPrefixChars = 12;       // "\DosDevices\"
static const ULONG kNameBufferChars = 255;     // DOS-name and device-name buffers
static const ULONG kPortNameQueryBytes = 256;  // KEY_VALUE_FULL_INFORMATION of "PortName"
static const ULONG kSerialCommPathBytes = 255;

/*
 * ZLKUSB_DeferIrpCompletion: stops completion of a request we sent down and
 * wait for, and wakes the waiter; the request stays ours.
 * IRQL: <= DISPATCH_LEVEL.  Caller: the I/O manager, on completion of the
 * start request passed down by DispatchPnp.
 */
_Use_decl_annotations_
NTSTATUS NTAPI ZLKUSB_DeferIrpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, 1, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * IrpCapablitiesCompletionRoutine: on the way up, marks the device safe for
 * surprise removal and keeps a copy of the capabilities for power handling,
 * whatever status the bus driver gave.
 * IRQL: <= DISPATCH_LEVEL.  Caller: the I/O manager, on completion of
 * IRP_MN_QUERY_CAPABILITIES.
 */
_Use_decl_annotations_
NTSTATUS NTAPI IrpCapablitiesCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  if (caps != NULL) {
    caps->SurpriseRemovalOK = TRUE;
    RtlCopyMemory(&ext->DeviceCapabilities, caps, sizeof(DEVICE_CAPABILITIES));
  }
  return Irp->IoStatus.Status;
}

/*
 * WriteSerialCommValue: writes one REG_SZ value under an absolute key path.
 * Best effort: a port without its SERIALCOMM entry still works, so failures
 * are not reported.
 * IRQL: PASSIVE_LEVEL.  Caller: the start path.
 */
_Use_decl_annotations_
VOID WriteSerialCommValue(PCWSTR ValueName, PCUNICODE_STRING KeyPath, PCWSTR Data, ULONG DataLength) {
  // The registry routine wants a terminated path; the counted string need
  // not have one, so work on a zeroed copy.
  if ((ULONG)KeyPath->Length + sizeof(WCHAR) > kSerialCommPathBytes) {
    return;
  }
  PWCHAR path = (PWCHAR)ExAllocatePoolWithTag(PagedPool, kSerialCommPathBytes, POOL_TAG_DRIVER);
  if (path == NULL) {
    return;
  }
  RtlZeroMemory(path, kSerialCommPathBytes);
  RtlCopyMemory(path, KeyPath->Buffer, KeyPath->Length);
  (void)RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, ValueName, REG_SZ,
                              (PVOID)Data, DataLength);
  ExFreePoolWithTag(path, POOL_TAG_DRIVER);
}

/*
 * PortNameFromValue: see pnp.h.  The installer writes PortName as a
 * terminated REG_SZ, but a hand-edited value may lack the terminator or be
 * absurdly long; neither may produce an unterminated or truncated name.
 * IRQL: any.  Caller: the start path.
 */
_IRQL_requires_max_(HIGH_LEVEL)
NTSTATUS PortNameFromValue(const KEY_VALUE_FULL_INFORMATION* Info, ULONG InfoLength, PWCHAR PortName,
                           ULONG PortNameChars, PULONG NameChars) {
  *NameChars = 0;
  if (InfoLength < FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) || Info->Type != REG_SZ) {
    return STATUS_UNSUCCESSFUL;
  }
  ULONG offset = Info->DataOffset;
  ULONG length = Info->DataLength;
  if (offset < (ULONG)FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) || offset > InfoLength ||
      length > InfoLength - offset || (offset & 1) != 0) {
    return STATUS_UNSUCCESSFUL;
  }
  const WCHAR* data = (const WCHAR*)((const UCHAR*)Info + offset);
  ULONG chars = length / sizeof(WCHAR);
  ULONG n = 0;
  while (n < chars && data[n] != 0) {
    n++;
  }
  if (n == 0 || n > PORT_NAME_MAX_CHARS || n + 1 > PortNameChars) {
    return STATUS_UNSUCCESSFUL;
  }
  RtlCopyMemory(PortName, data, n * sizeof(WCHAR));
  PortName[n] = 0;
  *NameChars = n;
  return STATUS_SUCCESS;
}

/*
 * BuildDeviceName: the numbered device name that AddDevice gave the device.
 * IRQL: PASSIVE_LEVEL.  Caller: start and removal.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID BuildDeviceName(PDEVICE_EXTENSION ext, PWCHAR Buffer) {
  RtlZeroMemory(Buffer, kNameBufferChars * sizeof(WCHAR));
  swprintf(Buffer, L"%s%4.4d", VRMDM_DEVICE_NAME_PREFIX, (int)ext->InstanceNumber);
}

/*
 * DeleteSerialCommValue: removes the SERIALCOMM value of this device.
 * IRQL: PASSIVE_LEVEL.  Caller: removal and a failed start.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID DeleteSerialCommValue(PDEVICE_EXTENSION ext) {
  WCHAR deviceName[kNameBufferChars];
  BuildDeviceName(ext, deviceName);
  (void)RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"\\SerialComm", deviceName);
}

/*
 * DeleteDosLink: deletes the DOS link this device made, if it exists.
 * IRQL: PASSIVE_LEVEL.  Caller: surprise removal, removal, failed start.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID DeleteDosLink(PDEVICE_EXTENSION ext) {
  if (ext->DosDeviceName[0] != 0) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ext->DosDeviceName);
    (void)IoDeleteSymbolicLink(&link);
    ext->DosDeviceName[0] = 0;
  }
}

/*
 * ReleaseInterface: disables the COM-port interface and frees its name.
 * IRQL: PASSIVE_LEVEL.  Caller: removal and a failed start.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID ReleaseInterface(PDEVICE_EXTENSION ext) {
  if (ext->InterfaceName.Buffer != NULL) {
    (void)IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
    RtlFreeUnicodeString(&ext->InterfaceName);
    ext->InterfaceName.Buffer = NULL;
    ext->InterfaceName.Length = 0;
    ext->InterfaceName.MaximumLength = 0;
  }
}

/*
 * SetDevicePowerState: records and reports the device power state.
 * IRQL: PASSIVE_LEVEL.  Caller: start, removal, failed start.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID SetDevicePowerState(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE State) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  POWER_STATE powerState;
  InterlockedExchange((LONG volatile*)&ext->DevicePowerState, (LONG)State);
  powerState.DeviceState = State;
  PoSetPowerState(DeviceObject, DevicePowerState, powerState);
}

/*
 * DeregisterWmi: withdraws the WMI registration if this device made one.
 * IRQL: PASSIVE_LEVEL.  Caller: removal and a failed start.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID DeregisterWmi(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  if (ext->WmiLibInfo.GuidCount != 0) {
    (void)IoWMIRegistrationControl(DeviceObject, WMIREG_ACTION_DEREGISTER);
    ext->WmiLibInfo.GuidCount = 0;
  }
}

/*
 * FailStart: fails a start that could not publish the port.  What this or
 * an earlier start published is withdrawn, so no name leads to a device that
 * is not started; everything else stays for the removal that the Plug and
 * Play manager sends after a failed start, which waits out the remove lock
 * before it frees the record's buffers and deletes the device object.
 * IRQL: PASSIVE_LEVEL.  Caller: HandleStartDevice.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS FailStart(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  SetDevicePowerState(DeviceObject, PowerDeviceD3);
  DeregisterWmi(DeviceObject);
  ReleaseInterface(ext);
  DeleteDosLink(ext);
  DeleteSerialCommValue(ext);

  CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  return STATUS_UNSUCCESSFUL;
}

/*
 * ReadPortName: the PortName value of the device's hardware key, terminated.
 * IRQL: PASSIVE_LEVEL.  Caller: HandleStartDevice.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ReadPortName(PDEVICE_EXTENSION ext, PWCHAR PortName, ULONG PortNameChars, PULONG NameChars) {
  HANDLE key = NULL;
  // KEY_READ, not just STANDARD_RIGHTS_READ: the value query needs
  // KEY_QUERY_VALUE on a kernel that checks a kernel caller's handle access.
  NTSTATUS status =
      IoOpenDeviceRegistryKey(ext->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
  if (!NT_SUCCESS(status)) {
    return STATUS_UNSUCCESSFUL;
  }

  ULONG buffer[kPortNameQueryBytes / sizeof(ULONG)];  // ULONG-aligned for the record
  UNICODE_STRING valueName;
  ULONG resultLength = 0;
  RtlInitUnicodeString(&valueName, L"PortName");
  RtlZeroMemory(buffer, sizeof(buffer));
  status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, buffer, sizeof(buffer), &resultLength);
  if (NT_SUCCESS(status)) {
    ULONG valid = resultLength < sizeof(buffer) ? resultLength : (ULONG)sizeof(buffer);
    status = PortNameFromValue((const KEY_VALUE_FULL_INFORMATION*)buffer, valid, PortName, PortNameChars,
                               NameChars);
  }
  ZwClose(key);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

/*
 * HandleStartDevice: lets the bus start the device, configures it, and
 * publishes the port: DOS link, SERIALCOMM value, WMI, COM-port interface.
 * IRQL: PASSIVE_LEVEL.  Caller: DispatchPnp, holding the remove lock.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS HandleStartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDEVICE_OBJECT lower) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  KEVENT started;
  NTSTATUS status;

  KeInitializeEvent(&started, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ZLKUSB_DeferIrpCompletion, &started, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&started, Executive, KernelMode, FALSE, NULL);
  }

  status = ZLKUSB_ConfigureDevice(DeviceObject);
  if (!NT_SUCCESS(status)) {
    CompleteRequest(Irp, status, 0);
    IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
    return status;
  }

  SetDevicePowerState(DeviceObject, PowerDeviceD0);

  WCHAR portName[PORT_NAME_MAX_CHARS + 1];
  ULONG portChars = 0;
  if (!NT_SUCCESS(ReadPortName(ext, portName, PORT_NAME_MAX_CHARS + 1, &portChars))) {
    return FailStart(DeviceObject, Irp);
  }

  WCHAR dosName[kNameBufferChars];
  RtlZeroMemory(dosName, sizeof(dosName));
  RtlCopyMemory(dosName, VRMDM_DOS_DEVICES_PREFIX, kDosPrefixChars * sizeof(WCHAR));
  RtlCopyMemory(dosName + kDosPrefixChars, portName, (portChars + 1) * sizeof(WCHAR));

  WCHAR deviceName[kNameBufferChars];
  BuildDeviceName(ext, deviceName);

  UNICODE_STRING serialComm;
  RtlInitUnicodeString(&serialComm, L"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
  WriteSerialCommValue(deviceName, &serialComm, portName, portChars * sizeof(WCHAR) + sizeof(WCHAR));

  // A start after a stop finds what the first start published still in
  // place and keeps it; only a port name changed in between gets a new link.
  const SIZE_T dosBytes = (kDosPrefixChars + portChars + 1) * sizeof(WCHAR);
  if (!RtlEqualMemory(ext->DosDeviceName, dosName, dosBytes)) {
    DeleteDosLink(ext);
    UNICODE_STRING dosUs, deviceUs;
    RtlInitUnicodeString(&dosUs, dosName);
    RtlInitUnicodeString(&deviceUs, deviceName);
    if (IoCreateUnprotectedSymbolicLink(&dosUs, &deviceUs) != STATUS_SUCCESS) {
      return FailStart(DeviceObject, Irp);
    }
    // Recorded only once the link exists, so that a non-empty DosDeviceName
    // always names a link of ours.
    RtlCopyMemory(ext->DosDeviceName, dosName, dosBytes);
  }

  if (ext->WmiLibInfo.GuidCount == 0) {
    RegisterWmi(DeviceObject);
  }

  if (ext->InterfaceName.Buffer == NULL &&
      NT_SUCCESS(IoRegisterDeviceInterface(ext->PhysicalDeviceObject, &kComPortInterfaceClass, NULL,
                                           &ext->InterfaceName))) {
    (void)IoSetDeviceInterfaceState(&ext->InterfaceName, TRUE);
  }

  if (ext->UsingInterruptPipe) {
    PPIPE_ENTRY pipe = ZLKUSB_FindPipe(ext, UsbdPipeTypeInterrupt, PIPE_DIRECTION_IN);
    if (pipe != NULL) {
      (void)ZLKUSB_ResetPipe(DeviceObject, &pipe->PipeInfo);
    }
  }

  // Started: the port may be opened again.
  InterlockedExchange(&ext->StopOrRemovePending, 0);

  CompleteRequest(Irp, STATUS_SUCCESS, Irp->IoStatus.Information);
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  return STATUS_SUCCESS;
}

/*
 * HandleQueryStopOrRemove: a stop or a removal would take the device from
 * under the open port's threads and requests (a removal whose wait could
 * then never end), so either is refused while a handle is open (or being
 * opened); otherwise opens are refused until it is cancelled or the device
 * is started again, and the query goes down.
 * IRQL: PASSIVE_LEVEL.  Caller: DispatchPnp, holding the remove lock.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS HandleQueryStopOrRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDEVICE_OBJECT lower) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  KIRQL irql;

  // OpenCount and StopOrRemovePending are tested together by the open path too.
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  BOOLEAN open = InterlockedCompareExchange(&ext->OpenCount, 0, 0) != 0;
  if (!open) {
    InterlockedExchange(&ext->StopOrRemovePending, 1);
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);

  NTSTATUS status;
  if (open) {
    status = STATUS_DEVICE_BUSY;
    CompleteRequest(Irp, status, 0);
  } else {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(lower, Irp);
  }
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  return status;
}

/*
 * EndPortForRemoval: the device is going: refuses every new request, ends
 * everything the port holds for its client (the parked notification, the
 * wait-on-mask requests, the current and every queued read, whatever way
 * the read thread ends), drops the modem lines and tells every worker
 * thread to stop.  The port stays open until its client cleans up.
 * IRQL: PASSIVE_LEVEL.  Callers: surprise removal, and removal (for a port
 * that no surprise removal or cleanup came before).
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID EndPortForRemoval(PDEVICE_EXTENSION ext) {
  // Set under SpinLock: a request that would queue tests it in the hold that
  // queues it, so every one admitted before is queued by now and ended below.
  KIRQL irql;
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  InterlockedExchange((LONG volatile*)&ext->DeviceRemoved, 1);
  KeReleaseSpinLock(&ext->SpinLock, irql);
  EndParkedNotifyIrp(ext, STATUS_SUCCESS);
  // No line event can come any more; the stopping threads would end only
  // the head request each.
  WaitQueueEndAll(ext, STATUS_CANCELLED);
  // The read thread may see the removal before its stop event and leave
  // the reads to time-outs of up to days.
  RequestListFlush(ext, &ext->ReadQueue, TRUE);

  InterlockedAnd((LONG volatile*)&ext->ModemControl, ~(LONG)MODEM_CONTROL_DTR);
  UpdateModemStatus(ext, 0);

  if (ext->UsingInterruptPipe) {
    KeSetEvent(&ext->evKill_pInterruptPollingFunction, 0, FALSE);
  }
  KeSetEvent(&ext->evKill_pPollingFunction, 0, FALSE);
  KeSetEvent(&ext->evKill_pReadFunction, 0, FALSE);
  KeSetEvent(&ext->evKill_pWaitMaskFunction, 0, FALSE);
  KeSetEvent(&ext->evKill_pWriteFunction, 0, FALSE);
}

/*
 * HandleSurpriseRemoval: the modem is gone.  Tells a waiting client, ends
 * the port's waiting requests, drops the modem lines, tells every worker
 * thread to stop and withdraws the DOS name; the port stays open until its
 * client cleans up and closes.
 * IRQL: PASSIVE_LEVEL.  Caller: DispatchPnp, holding the remove lock.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS HandleSurpriseRemoval(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDEVICE_OBJECT lower) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  if (ext->InterfaceName.Buffer != NULL) {
    (void)IoSetDeviceInterfaceState(&ext->InterfaceName, FALSE);
  }
  EndPortForRemoval(ext);
  DeleteDosLink(ext);

  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(lower, Irp);
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  return status;
}

/*
 * HandleRemoveDevice: stops whatever still serves an open port, waits until
 * nobody holds the device, withdraws every name and registration, frees
 * everything and deletes the device object.
 * IRQL: PASSIVE_LEVEL.  Caller: DispatchPnp, holding the remove lock.
 */
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS HandleRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDEVICE_OBJECT lower) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  KIRQL irql;

  // The worker threads hold the remove lock until they end, and a port
  // whose handle did not clean up (no surprise removal came first) still
  // runs them: stop them before the wait, or it never ends.  A polling
  // thread may wait in a pipe read the device never answers.  The
  // port-thread lock keeps the packets from a cleanup that frees them.
  EndPortForRemoval(ext);
  AcquirePortThreadLock(ext);
  KeAcquireSpinLock(&ext->SpinLock, &irql);
  if (ext->BulkInIrp != NULL) {
    IoCancelIrp(ext->BulkInIrp);
  }
  if (ext->InterruptIrp != NULL) {
    IoCancelIrp(ext->InterruptIrp);
  }
  KeReleaseSpinLock(&ext->SpinLock, irql);
  ReleasePortThreadLock(ext);

  IoReleaseRemoveLockAndWait(&ext->RemoveLock, LOCK_TAG);
  // Ended by now; the references the open took go with the device.
  DropWorkerThreads(ext);

  ReleaseInterface(ext);
  DeleteDosLink(ext);
  DeleteSerialCommValue(ext);
  FreeDeviceAllocations(ext, DEVICE_ALLOCATIONS_ALL);
  SetDevicePowerState(DeviceObject, PowerDeviceD3);
  DeregisterWmi(DeviceObject);

  IoDetachDevice(lower);
  IoDeleteDevice(DeviceObject);

  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(lower, Irp);
}

/*
 * DispatchPnp: the IRP_MJ_PNP routine.  Handles start, the stop and
 * removal queries and their cancels, removal, surprise removal and the
 * capabilities query; passes everything else (the stop itself included)
 * down as is.
 * IRQL: PASSIVE_LEVEL.  Caller: the Plug and Play manager.
 */
_Use_decl_annotations_
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, LOCK_TAG);
  if (!NT_SUCCESS(status)) {
    CompleteRequest(Irp, status, 0);
    return status;
  }

  // Removal deletes the device object; the device below is needed after.
  PDEVICE_OBJECT lower = ext->TopOfStackDeviceObject;

  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return HandleStartDevice(DeviceObject, Irp, lower);
    case IRP_MN_REMOVE_DEVICE:
      return HandleRemoveDevice(DeviceObject, Irp, lower);
    case IRP_MN_SURPRISE_REMOVAL:
      return HandleSurpriseRemoval(DeviceObject, Irp, lower);
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
      return HandleQueryStopOrRemove(DeviceObject, Irp, lower);
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      // The stop or removal is off: the port may be opened again.
      InterlockedExchange(&ext->StopOrRemovePending, 0);
      IoSkipCurrentIrpStackLocation(Irp);
      status = IoCallDriver(lower, Irp);
      IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
      return status;
    case IRP_MN_QUERY_CAPABILITIES:
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, IrpCapablitiesCompletionRoutine, NULL, TRUE, TRUE, TRUE);
      status = IoCallDriver(lower, Irp);
      IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
      return status;
    default:
      IoSkipCurrentIrpStackLocation(Irp);
      status = IoCallDriver(lower, Irp);
      IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
      return status;
  }
}
