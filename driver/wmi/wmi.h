// WMI provider registration and the IRP_MJ_SYSTEM_CONTROL routine.
#pragma once

#include "platform/platform.h"

// The one data block the driver registers, GUID {BBA21300-6DD3-11D2-B844-00C04FAD5172}.
extern const GUID VrMdmWmiDataBlockGuid;
extern WMIGUIDREGINFO WmiGuidList[1];

VOID RegisterWmi(PDEVICE_OBJECT DeviceObject);

NTSTATUS NTAPI WmiQueryRegInfo(PDEVICE_OBJECT DeviceObject, PULONG RegFlags, PUNICODE_STRING InstanceName,
                               PUNICODE_STRING* RegistryPath, PUNICODE_STRING MofResourceName,
                               PDEVICE_OBJECT* Pdo);

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
