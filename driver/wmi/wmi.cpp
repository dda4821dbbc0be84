// WMI: the device is a provider of one data block whose instance is named
// after the physical device object.  The driver supplies only the
// registration information; the WMI library answers everything else.
#include "wmi/wmi.h"

#include "core/device_extension.h"
#include "core/request.h"

const GUID VrMdmWmiDataBlockGuid = {
    0xBBA21300, 0x6DD3, 0x11D2, {0xB8, 0x44, 0x00, 0xC0, 0x4F, 0xAD, 0x51, 0x72}};

WMIGUIDREGINFO WmiGuidList[1] = {{&VrMdmWmiDataBlockGuid, 1, 0}};

// These routines are pageable in spirit: they may touch paged data (the
// registry path copy), so being entered above APC_LEVEL is a caller bug.
// The check stays in free builds too, and execution goes on after it.
#define WMI_PAGED_CODE()                                             \
  do {                                                               \
    KIRQL irql_ = KeGetCurrentIrql();                                \
    if (irql_ > APC_LEVEL) {                                         \
      DbgPrint("EX: Pageable code called at IRQL %d\n", (int)irql_); \
      RtlAssert((PVOID) "FALSE", (PVOID) "wmi", __LINE__, NULL);     \
    }                                                                \
  } while (0)

/*
 * RegisterWmi: fills the device's WMI library context and registers the
 * device object as a WMI provider.  A failed registration is not fatal to
 * the port, so its result is dropped.
 * IRQL: PASSIVE_LEVEL.  Caller: the Plug and Play start path.
 */
_Use_decl_annotations_
VOID RegisterWmi(PDEVICE_OBJECT DeviceObject) {
  WMI_PAGED_CODE();
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  ext->WmiLibInfo.GuidCount = sizeof(WmiGuidList) / sizeof(WmiGuidList[0]);
  ext->WmiLibInfo.GuidList = WmiGuidList;
  ext->WmiLibInfo.QueryWmiRegInfo = WmiQueryRegInfo;
  ext->WmiLibInfo.QueryWmiDataBlock = NULL;
  ext->WmiLibInfo.SetWmiDataBlock = NULL;
  ext->WmiLibInfo.SetWmiDataItem = NULL;
  ext->WmiLibInfo.ExecuteWmiMethod = NULL;
  ext->WmiLibInfo.WmiFunctionControl = NULL;

  (void)IoWMIRegistrationControl(DeviceObject, WMIREG_ACTION_REGISTER);
}

/*
 * WmiQueryRegInfo: registration information for the WMI library.  The
 * instance name comes from the PDO and there is no MOF resource, so
 * InstanceName and MofResourceName are left as given.
 * IRQL: PASSIVE_LEVEL.  Caller: WmiSystemControl (IRP_MN_REGINFO).
 */
_Use_decl_annotations_
NTSTATUS NTAPI WmiQueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                               PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                               PDEVICE_OBJECT* Pdo) {
  WMI_PAGED_CODE();
  UNREFERENCED_PARAMETER(InstanceName);
  UNREFERENCED_PARAMETER(MofResourceName);
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  *RegFlags = WMIREG_FLAG_INSTANCE_PDO;
  *RegistryPath = &DriverRegistryPath;
  *Pdo = ext->PhysicalDeviceObject;
  return STATUS_SUCCESS;
}

/*
 * DispatchSystemControl: routes IRP_MJ_SYSTEM_CONTROL through the WMI
 * library; whatever is not ours goes to the device below untouched.
 * The remove lock is held while the request is in our hands so that removal
 * cannot detach and delete the device under it.
 * IRQL: PASSIVE_LEVEL.  Caller: the I/O manager.
 */
_Use_decl_annotations_
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  WMI_PAGED_CODE();
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;

  NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, LOCK_TAG);
  if (!NT_SUCCESS(status)) {
    return CompleteRequest(Irp, status, 0);
  }

  SYSCTL_IRP_DISPOSITION disposition = IrpNotWmi;
  status = WmiSystemControl(&ext->WmiLibInfo, DeviceObject, Irp, &disposition);
  switch (disposition) {
    case IrpProcessed:
      break;  // the library completed it
    case IrpNotCompleted:
      CompleteRequest(Irp, status, Irp->IoStatus.Information);
      break;
    case IrpNotWmi:
    case IrpForward:
    default:
      IoSkipCurrentIrpStackLocation(Irp);
      status = IoCallDriver(ext->TopOfStackDeviceObject, Irp);
      break;
  }
  IoReleaseRemoveLock(&ext->RemoveLock, LOCK_TAG);
  return status;
}
