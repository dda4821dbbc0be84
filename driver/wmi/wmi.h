// WMI provider registration and the IRP_MJ_SYSTEM_CONTROL routine.
#pragma once

#include "platform/platform.h"

// The one data block the driver registers, GUID {BBA21300-6DD3-11D2-B844-00C04FAD5172}.
extern const GUID VrMdmWmiDataBlockGuid;
extern WMIGUIDREGINFO WmiGuidList[1];

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID RegisterWmi(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
WMI_QUERY_REGINFO_CALLBACK WmiQueryRegInfo;

_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchSystemControl;
