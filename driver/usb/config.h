// Configuration of the modem at start: descriptors, configuration
// selection, maximum transfer sizes, the pipe table; and the pipe resets.
#pragma once

#include "core/device_extension.h"

// Reads the device descriptor and the configuration, selects it and fills
// the pipe table.  PASSIVE_LEVEL; called by Plug and Play start, which fails
// the start on a failure status.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_ConfigureDevice(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject);

// ConfigurationDescriptor must have wTotalLength readable bytes.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                                    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ZLKUSB_SetMaximumTransferSizes(PDEVICE_OBJECT DeviceObject,
                                    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// Reset the bulk IN or the interrupt pipe; fail without sending anything
// when the table has no such pipe.  PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_ResetBulkInPipe(PDEVICE_OBJECT DeviceObject);
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ZLKUSB_ResetInterruptPipe(PDEVICE_OBJECT DeviceObject);
