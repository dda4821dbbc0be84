// The driver's lifetime routines: load, one device per modem, unload.
#pragma once

#include "core/device_extension.h"

EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
