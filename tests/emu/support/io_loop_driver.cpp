// The loopback test driver.  Written as a WDM driver is: plain records,
// NTSTATUS results, a spin lock around the queues released around every
// completion, cancel routines cleared before each completion, the remove lock
// held by every request the driver keeps.
#include "io_loop_driver.h"

namespace loopdrv {

namespace {

constexpr ULONG kTag = 0x706f6f4c;  // "Loop"
constexpr ULONG kDataSize = 256;

struct LOOP_EXTENSION {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;
  PDEVICE_OBJECT Pdo;
  IO_REMOVE_LOCK RemoveLock;
  KSPIN_LOCK Lock;
  LIST_ENTRY ReadQueue;    // waiting reads
  LIST_ENTRY HeldQueue;    // IOCTL_LOOP_HOLD, cancelable
  LIST_ENTRY StickyQueue;  // IOCTL_LOOP_HOLD_STICKY
  UCHAR Data[kDataSize];
  ULONG DataLength;
  WCHAR LinkBuffer[40];
  UNICODE_STRING LinkName;
  BOOLEAN LinkCreated;
  ULONG Number;
  LONG OpenCount;
  WMILIB_CONTEXT WmiLib;
  DEVICE_POWER_STATE DevicePower;
  DEVICE_CAPABILITIES Caps;
};

struct POWER_CONTEXT {
  PDEVICE_OBJECT DeviceObject;
  PIRP SystemIrp;
};

LONG g_instances = 0;
UNICODE_STRING g_registry_path;
WCHAR g_registry_buffer[260];

WMIGUIDREGINFO g_wmi_guids[] = {{&LOOP_WMI_GUID, 1, 0}};

std::mutex g_events_mutex;
std::vector<std::string> g_events;
std::atomic<long> g_cancels{0};
std::atomic<long> g_released{0};

void note(const std::string& what) {
  std::lock_guard<std::mutex> lock(g_events_mutex);
  g_events.push_back(what);
}

LOOP_EXTENSION* ext(PDEVICE_OBJECT dev) { return static_cast<LOOP_EXTENSION*>(dev->DeviceExtension); }

// Writes "<prefix><n>" into buffer as a counted string.
void make_name(UNICODE_STRING* out, WCHAR* buffer, const char16_t* prefix, ULONG n) {
  ULONG i = 0;
  for (; prefix[i] != 0; ++i) buffer[i] = prefix[i];
  char16_t digits[12];
  int d = 0;
  do {
    digits[d++] = static_cast<char16_t>(u'0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (d > 0) buffer[i++] = digits[--d];
  buffer[i] = 0;
  RtlInitUnicodeString(out, buffer);
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Cancel routine of reads and held requests: entered holding the cancel spin
// lock, which it drops first.
VOID NTAPI LoopCancel(PDEVICE_OBJECT dev, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  LOOP_EXTENSION* e = ext(dev);
  KIRQL irql;
  KeAcquireSpinLock(&e->Lock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&e->Lock, irql);
  ++g_cancels;
  complete(irp, STATUS_CANCELLED, 0);
  IoReleaseRemoveLock(&e->RemoveLock, irp);
}

// Queues a request with the cancel routine; returns FALSE when it was
// cancelled already (the caller completes it).  Lock held.
BOOLEAN queue_cancelable(PLIST_ENTRY queue, PIRP irp) {
  IoSetCancelRoutine(irp, LoopCancel);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) return FALSE;
  IoMarkIrpPending(irp);
  InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
  return TRUE;
}

// Takes the first request of `queue` whose cancel routine it can still clear
// (the others are being cancelled and leave by themselves).  Lock held.
PIRP take_first(PLIST_ENTRY queue) {
  for (PLIST_ENTRY entry = queue->Flink; entry != queue; entry = entry->Flink) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) != NULL) {
      RemoveEntryList(entry);
      return irp;
    }
  }
  return NULL;
}

// Serves waiting reads from the loop buffer; the completions happen after
// the lock is dropped.
void serve_reads(LOOP_EXTENSION* e) {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&e->Lock, &irql);
    PIRP irp = e->DataLength != 0 ? take_first(&e->ReadQueue) : NULL;
    ULONG n = 0;
    if (irp != NULL) {
      ULONG want = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
      n = want < e->DataLength ? want : e->DataLength;
      RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, e->Data, n);
      RtlMoveMemory(e->Data, e->Data + n, e->DataLength - n);
      e->DataLength -= n;
    }
    KeReleaseSpinLock(&e->Lock, irql);
    if (irp == NULL) return;
    complete(irp, STATUS_SUCCESS, n);
    IoReleaseRemoveLock(&e->RemoveLock, irp);
  }
}

NTSTATUS NTAPI LoopCreate(PDEVICE_OBJECT dev, PIRP irp) {
  LOOP_EXTENSION* e = ext(dev);
  NTSTATUS status = IoAcquireRemoveLock(&e->RemoveLock, irp);
  if (!NT_SUCCESS(status)) return complete(irp, status, 0);
  note("create");
  InterlockedIncrement(&e->OpenCount);
  complete(irp, STATUS_SUCCESS, 0);
  IoReleaseRemoveLock(&e->RemoveLock, irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI LoopClose(PDEVICE_OBJECT dev, PIRP irp) {
  note("close");
  InterlockedDecrement(&ext(dev)->OpenCount);
  return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI LoopCleanup(PDEVICE_OBJECT dev, PIRP irp) {
  LOOP_EXTENSION* e = ext(dev);
  note("cleanup");
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&e->Lock, &irql);
    PIRP victim = take_first(&e->ReadQueue);
    if (victim == NULL) victim = take_first(&e->HeldQueue);
    KeReleaseSpinLock(&e->Lock, irql);
    if (victim == NULL) break;
    complete(victim, STATUS_CANCELLED, 0);
    IoReleaseRemoveLock(&e->RemoveLock, victim);
  }
  return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI LoopRead(PDEVICE_OBJECT dev, PIRP irp) {
  LOOP_EXTENSION* e = ext(dev);
  NTSTATUS status = IoAcquireRemoveLock(&e->RemoveLock, irp);
  if (!NT_SUCCESS(status)) return complete(irp, status, 0);
  note("read");
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) {
    complete(irp, STATUS_SUCCESS, 0);
    IoReleaseRemoveLock(&e->RemoveLock, irp);
    return STATUS_SUCCESS;
  }
  KIRQL irql;
  KeAcquireSpinLock(&e->Lock, &irql);
  BOOLEAN queued = queue_cancelable(&e->ReadQueue, irp);
  KeReleaseSpinLock(&e->Lock, irql);
  if (!queued) {
    complete(irp, STATUS_CANCELLED, 0);
    IoReleaseRemoveLock(&e->RemoveLock, irp);
    return STATUS_CANCELLED;
  }
  serve_reads(e);
  return STATUS_PENDING;
}

NTSTATUS NTAPI LoopWrite(PDEVICE_OBJECT dev, PIRP irp) {
  LOOP_EXTENSION* e = ext(dev);
  NTSTATUS status = IoAcquireRemoveLock(&e->RemoveLock, irp);
  if (!NT_SUCCESS(status)) return complete(irp, status, 0);
  note("write");
  ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
  KIRQL irql;
  KeAcquireSpinLock(&e->Lock, &irql);
  ULONG room = kDataSize - e->DataLength;
  ULONG n = length < room ? length : room;
  RtlCopyMemory(e->Data + e->DataLength, irp->AssociatedIrp.SystemBuffer, n);
  e->DataLength += n;
  KeReleaseSpinLock(&e->Lock, irql);
  complete(irp, STATUS_SUCCESS, n);
  IoReleaseRemoveLock(&e->RemoveLock, irp);
  serve_reads(e);
  return STATUS_SUCCESS;
}

// IOCTL function LOOP_FILL_FUNCTION, whatever its method.
NTSTATUS fill_any(PIRP irp, PIO_STACK_LOCATION sp, ULONG_PTR* information) {
  const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
  const ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
  const UCHAR* input = nullptr;
  PUCHAR output = nullptr;
  switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
      if (irp->MdlAddress != nullptr) return STATUS_INVALID_PARAMETER;
      input = output = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
      break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
      input = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
      PMDL mdl = irp->MdlAddress;
      if ((mdl != nullptr) != (out != 0)) return STATUS_INVALID_PARAMETER;
      if (mdl == nullptr) break;
      const bool writable = (mdl->MdlFlags & MDL_WRITE_OPERATION) != 0;
      if (MmGetMdlByteCount(mdl) != out || !(mdl->MdlFlags & MDL_PAGES_LOCKED) || mdl->Next != nullptr ||
          writable != (METHOD_FROM_CTL_CODE(code) == METHOD_OUT_DIRECT) ||
          MmGetMdlVirtualAddress(mdl) != irp->UserBuffer)
        return STATUS_INVALID_PARAMETER;
      output =
          static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute));
      if (output == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    default:  // METHOD_NEITHER: the requester's own pointers
      if (irp->MdlAddress != nullptr || irp->AssociatedIrp.SystemBuffer != nullptr)
        return STATUS_INVALID_PARAMETER;
      input = static_cast<const UCHAR*>(sp->Parameters.DeviceIoControl.Type3InputBuffer);
      output = static_cast<PUCHAR>(irp->UserBuffer);
      break;
  }
  if ((in != 0 && input == nullptr) || (out != 0 && output == nullptr)) return STATUS_INVALID_PARAMETER;
  UCHAR copy[64] = {};  // buffered input and output share one buffer
  const ULONG kept = in < sizeof copy ? in : sizeof copy;
  if (kept != 0) RtlCopyMemory(copy, input, kept);
  for (ULONG i = 0; i < out; ++i) output[i] = static_cast<UCHAR>((kept ? copy[i % kept] : 0) + i);
  *information = out;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI LoopControl(PDEVICE_OBJECT dev, PIRP irp) {
  LOOP_EXTENSION* e = ext(dev);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buffer = irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status = IoAcquireRemoveLock(&e->RemoveLock, irp);
  if (!NT_SUCCESS(status)) return complete(irp, status, 0);
  ULONG_PTR information = 0;
  if (IoGetFunctionCodeFromCtlCode(sp->Parameters.DeviceIoControl.IoControlCode) == LOOP_FILL_FUNCTION) {
    status = fill_any(irp, sp, &information);
    complete(irp, status, NT_SUCCESS(status) ? information : 0);
    IoReleaseRemoveLock(&e->RemoveLock, irp);
    return status;
  }
  switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_LOOP_ECHO:
      information = in < out ? in : out;
      status = STATUS_SUCCESS;
      break;
    case IOCTL_LOOP_OVERREPORT:
      if (out != 0) RtlFillMemory(buffer, out, 0xAB);
      information = out + 4;
      status = STATUS_SUCCESS;
      break;
    case IOCTL_LOOP_HOLD:
    case IOCTL_LOOP_HOLD_STICKY: {
      KIRQL irql;
      KeAcquireSpinLock(&e->Lock, &irql);
      BOOLEAN queued;
      if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_LOOP_HOLD) {
        queued = queue_cancelable(&e->HeldQueue, irp);
      } else {
        IoMarkIrpPending(irp);
        InsertTailList(&e->StickyQueue, &irp->Tail.Overlay.ListEntry);
        queued = TRUE;
      }
      KeReleaseSpinLock(&e->Lock, irql);
      if (queued) return STATUS_PENDING;
      status = STATUS_CANCELLED;
      break;
    }
    case IOCTL_LOOP_RELEASE: {
      ULONG count = 0;
      for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&e->Lock, &irql);
        PIRP held = take_first(&e->HeldQueue);
        if (held == NULL && !IsListEmpty(&e->StickyQueue)) {
          held = CONTAINING_RECORD(RemoveHeadList(&e->StickyQueue), IRP, Tail.Overlay.ListEntry);
        }
        KeReleaseSpinLock(&e->Lock, irql);
        if (held == NULL) break;
        ++count;
        ++g_released;
        complete(held, STATUS_SUCCESS, 0);
        IoReleaseRemoveLock(&e->RemoveLock, held);
      }
      if (out >= sizeof(ULONG)) {
        *static_cast<PULONG>(buffer) = count;
        information = sizeof(ULONG);
      }
      status = STATUS_SUCCESS;
      break;
    }
    case IOCTL_LOOP_AVAILABLE:
      if (out < sizeof(ULONG)) {
        status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      {
        KIRQL irql;
        KeAcquireSpinLock(&e->Lock, &irql);
        *static_cast<PULONG>(buffer) = e->DataLength;
        KeReleaseSpinLock(&e->Lock, irql);
      }
      information = sizeof(ULONG);
      status = STATUS_SUCCESS;
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  complete(irp, status, information);
  IoReleaseRemoveLock(&e->RemoveLock, irp);
  return status;
}

NTSTATUS NTAPI SignalAndStop(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes a request down and waits until the devices below completed it.
NTSTATUS forward_and_wait(LOOP_EXTENSION* e, PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, SignalAndStop, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(e->Lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS NTAPI CapabilitiesDone(PDEVICE_OBJECT dev, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  PDEVICE_CAPABILITIES caps = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
  if (NT_SUCCESS(irp->IoStatus.Status)) {
    caps->SurpriseRemovalOK = 1;
    ext(dev)->Caps = *caps;
  }
  return irp->IoStatus.Status;
}

NTSTATUS NTAPI LoopPnp(PDEVICE_OBJECT dev, PIRP irp) {
  LOOP_EXTENSION* e = ext(dev);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = IoAcquireRemoveLock(&e->RemoveLock, irp);
  if (!NT_SUCCESS(status)) return complete(irp, status, 0);
  note("pnp:" + std::to_string(sp->MinorFunction));
  PDEVICE_OBJECT lower = e->Lower;
  switch (sp->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      status = forward_and_wait(e, irp);
      if (NT_SUCCESS(status)) {
        UNICODE_STRING device_name;
        WCHAR device_buffer[40];
        make_name(&device_name, device_buffer, u"\\Device\\EmuLoop", e->Number);
        make_name(&e->LinkName, e->LinkBuffer, u"\\DosDevices\\EMULOOP", e->Number);
        status = IoCreateSymbolicLink(&e->LinkName, &device_name);
        e->LinkCreated = NT_SUCCESS(status);
        if (NT_SUCCESS(status)) IoWMIRegistrationControl(dev, WMIREG_ACTION_REGISTER);
        e->DevicePower = PowerDeviceD0;
        POWER_STATE state;
        state.DeviceState = PowerDeviceD0;
        PoSetPowerState(dev, DevicePowerState, state);
      }
      complete(irp, status, 0);
      IoReleaseRemoveLock(&e->RemoveLock, irp);
      return status;
    }
    case IRP_MN_QUERY_CAPABILITIES:
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, CapabilitiesDone, NULL, TRUE, TRUE, TRUE);
      status = IoCallDriver(lower, irp);
      IoReleaseRemoveLock(&e->RemoveLock, irp);
      return status;
    case IRP_MN_SURPRISE_REMOVAL:
      if (e->LinkCreated) {
        IoDeleteSymbolicLink(&e->LinkName);
        e->LinkCreated = FALSE;
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      IoReleaseRemoveLockAndWait(&e->RemoveLock, irp);
      if (e->LinkCreated) {
        IoDeleteSymbolicLink(&e->LinkName);
        e->LinkCreated = FALSE;
      }
      IoWMIRegistrationControl(dev, WMIREG_ACTION_DEREGISTER);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(lower, irp);
      IoDetachDevice(lower);
      IoDeleteDevice(dev);
      return status;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  status = IoCallDriver(lower, irp);
  IoReleaseRemoveLock(&e->RemoveLock, irp);
  return status;
}

// ---- Power: the device follows the system as its capabilities say ------------

VOID NTAPI DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
  auto* ctx = static_cast<POWER_CONTEXT*>(context);
  PIRP system_irp = ctx->SystemIrp;
  system_irp->IoStatus.Status = status->Status;
  PoStartNextPowerIrp(system_irp);
  IoCompleteRequest(system_irp, IO_NO_INCREMENT);
  ExFreePoolWithTag(ctx, kTag);
}

NTSTATUS NTAPI SystemPowerDone(PDEVICE_OBJECT dev, PIRP irp, PVOID) {
  LOOP_EXTENSION* e = ext(dev);
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  if (!NT_SUCCESS(irp->IoStatus.Status)) {
    PoStartNextPowerIrp(irp);
    return irp->IoStatus.Status;
  }
  SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
  auto* ctx = static_cast<POWER_CONTEXT*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_CONTEXT), kTag));
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (ctx != NULL) {
    ctx->DeviceObject = dev;
    ctx->SystemIrp = irp;
    POWER_STATE state;
    state.DeviceState = e->Caps.DeviceState[system];
    status = PoRequestPowerIrp(e->Pdo, IRP_MN_SET_POWER, state, DevicePowerDone, ctx, NULL);
    if (NT_SUCCESS(status)) return STATUS_MORE_PROCESSING_REQUIRED;
    ExFreePoolWithTag(ctx, kTag);
  }
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = status;
  return status;
}

NTSTATUS NTAPI DevicePowerIrpDone(PDEVICE_OBJECT dev, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  if (NT_SUCCESS(irp->IoStatus.Status)) {
    POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State;
    PoSetPowerState(dev, DevicePowerState, state);
    ext(dev)->DevicePower = state.DeviceState;
  }
  PoStartNextPowerIrp(irp);
  return irp->IoStatus.Status;
}

NTSTATUS NTAPI LoopPower(PDEVICE_OBJECT dev, PIRP irp) {
  LOOP_EXTENSION* e = ext(dev);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  note("power:" + std::to_string(sp->MinorFunction) + ":" + std::to_string(sp->Parameters.Power.Type) + ":" +
       std::to_string(sp->Parameters.Power.State.DeviceState));
  if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == SystemPowerState) {
    // Its completion routine keeps the request until the device request is
    // done: it is pending, whatever the devices below return.
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SystemPowerDone, NULL, TRUE, TRUE, TRUE);
    PoCallDriver(e->Lower, irp);
    return STATUS_PENDING;
  }
  if (sp->MinorFunction == IRP_MN_SET_POWER) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, DevicePowerIrpDone, NULL, TRUE, TRUE, TRUE);
    return PoCallDriver(e->Lower, irp);
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(e->Lower, irp);
}

// ---- WMI ----------------------------------------------------------------------

NTSTATUS NTAPI LoopQueryRegInfo(PDEVICE_OBJECT dev, PULONG flags, PUNICODE_STRING, PUNICODE_STRING* path,
                                PUNICODE_STRING, PDEVICE_OBJECT* pdo) {
  *flags = WMIREG_FLAG_INSTANCE_PDO;
  *path = &g_registry_path;
  *pdo = ext(dev)->Pdo;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI LoopQueryDataBlock(PDEVICE_OBJECT dev, PIRP irp, ULONG, ULONG, ULONG count, PULONG lengths,
                                  ULONG avail, PUCHAR buffer) {
  if (count != 1 || avail < sizeof(ULONG))
    return WmiCompleteRequest(dev, irp, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG), IO_NO_INCREMENT);
  ULONG value = static_cast<ULONG>(ext(dev)->OpenCount) + 0x1000;
  RtlCopyMemory(buffer, &value, sizeof value);
  lengths[0] = sizeof value;
  return WmiCompleteRequest(dev, irp, STATUS_SUCCESS, sizeof value, IO_NO_INCREMENT);
}

NTSTATUS NTAPI LoopSystemControl(PDEVICE_OBJECT dev, PIRP irp) {
  LOOP_EXTENSION* e = ext(dev);
  SYSCTL_IRP_DISPOSITION disposition;
  NTSTATUS status = WmiSystemControl(&e->WmiLib, dev, irp, &disposition);
  switch (disposition) {
    case IrpProcessed:
      return status;
    case IrpNotCompleted:
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    default:
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(e->Lower, irp);
  }
}

NTSTATUS NTAPI LoopAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  ULONG number = static_cast<ULONG>(InterlockedIncrement(&g_instances));
  UNICODE_STRING name;
  WCHAR buffer[40];
  make_name(&name, buffer, u"\\Device\\EmuLoop", number);
  PDEVICE_OBJECT dev;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(LOOP_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
  if (!NT_SUCCESS(status)) return status;
  LOOP_EXTENSION* e = ext(dev);
  e->Self = dev;
  e->Pdo = pdo;
  e->Number = number;
  KeInitializeSpinLock(&e->Lock);
  InitializeListHead(&e->ReadQueue);
  InitializeListHead(&e->HeldQueue);
  InitializeListHead(&e->StickyQueue);
  IoInitializeRemoveLock(&e->RemoveLock, kTag, 0, 0);
  e->WmiLib.GuidCount = 1;
  e->WmiLib.GuidList = g_wmi_guids;
  e->WmiLib.QueryWmiRegInfo = LoopQueryRegInfo;
  e->WmiLib.QueryWmiDataBlock = LoopQueryDataBlock;
  e->DevicePower = PowerDeviceD3;
  e->Lower = IoAttachDeviceToDeviceStack(dev, pdo);
  if (e->Lower == NULL) {
    IoDeleteDevice(dev);
    return STATUS_NO_SUCH_DEVICE;
  }
  dev->Flags |= DO_BUFFERED_IO | (e->Lower->Flags & DO_POWER_PAGABLE);
  dev->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI LoopUnload(PDRIVER_OBJECT) { note("unload"); }

}  // namespace

NTSTATUS NTAPI LoopDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  g_instances = 0;
  g_registry_path.Buffer = g_registry_buffer;
  g_registry_path.MaximumLength = sizeof g_registry_buffer;
  g_registry_path.Length = 0;
  RtlCopyUnicodeString(&g_registry_path, RegistryPath);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = LoopCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = LoopClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = LoopCleanup;
  DriverObject->MajorFunction[IRP_MJ_READ] = LoopRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = LoopWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = LoopControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = LoopPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = LoopPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = LoopSystemControl;
  DriverObject->DriverExtension->AddDevice = LoopAddDevice;
  DriverObject->DriverUnload = LoopUnload;
  return STATUS_SUCCESS;
}

std::vector<std::string> events() {
  std::lock_guard<std::mutex> lock(g_events_mutex);
  return g_events;
}

void clear_events() {
  std::lock_guard<std::mutex> lock(g_events_mutex);
  g_events.clear();
  g_cancels = 0;
  g_released = 0;
}

std::atomic<long>& cancels_run() { return g_cancels; }
std::atomic<long>& released_by_ioctl() { return g_released; }

}  // namespace loopdrv
