// USB configuration.
//
// Descriptors come from the device and are not trusted: a set is cut back to
// its longest well-formed prefix, bounded by the bytes actually received,
// before the USBD library or the driver walks it, so no walker can read past
// the buffer or loop on a zero-length descriptor.

#include "usb/config.h"

#include "usb/pipes.h"
#include "usb/usb_io.h"

// Minimum lengths the walkers rely on.
constexpr ULONG CONFIG_DESCRIPTOR_SIZE = sizeof(USB_CONFIGURATION_DESCRIPTOR);
constexpr ULONG INTERFACE_DESCRIPTOR_SIZE = sizeof(USB_INTERFACE_DESCRIPTOR);
constexpr ULONG ENDPOINT_DESCRIPTOR_SIZE = sizeof(USB_ENDPOINT_DESCRIPTOR);

// Endpoint bmAttributes, compared whole.
constexpr UCHAR ENDPOINT_ATTRIBUTES_BULK = 2;
constexpr UCHAR ENDPOINT_ATTRIBUTES_INTERRUPT = 3;

// A descriptor request succeeded only if both the packet and the URB say so.
_IRQL_requires_max_(HIGH_LEVEL)
static NTSTATUS DescriptorRequestStatus(NTSTATUS Status, PURB Urb) {
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  return USBD_SUCCESS(Urb->UrbHeader.Status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static PURB AllocateDescriptorUrb(void) {
  PURB urb = (PURB)ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                         POOL_TAG_DRIVER);
  if (urb != NULL) {
    RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  }
  return urb;
}

// Reads descriptor Type, index 0, into Buffer; *Received gets the byte count
// the bus reported, never more than Length.
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS ReadDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR Type, PVOID Buffer, ULONG Length,
                               PULONG Received) {
  RtlZeroMemory(Urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
  RtlZeroMemory(Buffer, Length);
  UsbBuildGetDescriptorRequest(Urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), Type, 0, 0,
                               Buffer, NULL, Length, NULL);
  NTSTATUS status = DescriptorRequestStatus(ZLKUSB_SubmitUrbSync(DeviceObject, Urb), Urb);
  ULONG received = Urb->UrbControlDescriptorRequest.TransferBufferLength;
  *Received = received < Length ? received : Length;
  return status;
}

// Length of the longest well-formed prefix of a descriptor set: a leading
// configuration descriptor, then descriptors that each fit, are at least 2
// bytes long, and (for interfaces and endpoints) hold every field.
_IRQL_requires_max_(HIGH_LEVEL)
static ULONG WellFormedLength(const UCHAR* Set, ULONG Length) {
  if (Length < CONFIG_DESCRIPTOR_SIZE || Set[0] < CONFIG_DESCRIPTOR_SIZE || Set[0] > Length ||
      Set[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
    return 0;
  }
  ULONG offset = 0;
  while (offset + 2 <= Length) {
    ULONG length = Set[offset];
    UCHAR type = Set[offset + 1];
    if (length < 2 || length > Length - offset) {
      break;
    }
    if ((type == USB_INTERFACE_DESCRIPTOR_TYPE && length < INTERFACE_DESCRIPTOR_SIZE) ||
        (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length < ENDPOINT_DESCRIPTOR_SIZE)) {
      break;
    }
    offset += length;
  }
  return offset;
}

// Pipes of an interface information that really lie inside it.
_IRQL_requires_max_(HIGH_LEVEL)
static ULONG InterfacePipeCount(PUSBD_INTERFACE_INFORMATION Interface) {
  const ULONG header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
  ULONG room = Interface->Length > header ? (Interface->Length - header) / sizeof(USBD_PIPE_INFORMATION) : 0;
  return Interface->NumberOfPipes < room ? Interface->NumberOfPipes : room;
}

/*
 * ZLKUSB_ConfigureDevice: reads the 18-byte device descriptor (kept in
 * DeviceDescriptor), learns the bus driver's device handle from it, then
 * configures the device.  PASSIVE_LEVEL; called by Plug and Play start.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PURB urb = AllocateDescriptorUrb();
  PUSB_DEVICE_DESCRIPTOR descriptor = (PUSB_DEVICE_DESCRIPTOR)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR), POOL_TAG_DRIVER);
  if (urb == NULL || descriptor == NULL) {
    if (urb != NULL) {
      ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
    }
    if (descriptor != NULL) {
      ExFreePoolWithTag(descriptor, POOL_TAG_DRIVER);
    }
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  ULONG received = 0;
  NTSTATUS status = ReadDescriptor(DeviceObject, urb, USB_DEVICE_DESCRIPTOR_TYPE, descriptor,
                                   sizeof(USB_DEVICE_DESCRIPTOR), &received);
  if (NT_SUCCESS(status)) {
    // A start after a stop configures again: do not leak the earlier copy.
    if (ext->DeviceDescriptor != NULL) {
      ExFreePoolWithTag(ext->DeviceDescriptor, POOL_TAG_DRIVER);
    }
    ext->DeviceDescriptor = descriptor;
    ZLKUSB_LearnUrbDeviceHandle(ext, urb);
  } else {
    ExFreePoolWithTag(descriptor, POOL_TAG_DRIVER);
  }
  ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
  if (!NT_SUCCESS(status)) {
    DbgPrint("[ZLKUSB_ConfigureDevice] device descriptor failed %x\n", (ULONG)status);
    return status;
  }
  return ZLKUSB_GetConfigurationDescriptor(DeviceObject);
}

/*
 * ZLKUSB_GetConfigurationDescriptor: reads the configuration descriptor,
 * then the whole set of wTotalLength bytes; keeps a copy in
 * ConfigurationDescriptor and selects the configuration.  The set is bounded
 * by what the device really sent: a second read that is shorter or reports
 * another wTotalLength shrinks it, malformed trailing descriptors are cut
 * off.  PASSIVE_LEVEL; called by ZLKUSB_ConfigureDevice.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PURB urb = AllocateDescriptorUrb();
  PUCHAR set = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, CONFIG_DESCRIPTOR_SIZE, POOL_TAG_DRIVER);
  if (urb == NULL || set == NULL) {
    if (urb != NULL) {
      ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
    }
    if (set != NULL) {
      ExFreePoolWithTag(set, POOL_TAG_DRIVER);
    }
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  ULONG received = 0;
  NTSTATUS status = ReadDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, set,
                                   CONFIG_DESCRIPTOR_SIZE, &received);
  ULONG totalLength = ((PUSB_CONFIGURATION_DESCRIPTOR)set)->wTotalLength;
  ExFreePoolWithTag(set, POOL_TAG_DRIVER);
  if (NT_SUCCESS(status) && (received < CONFIG_DESCRIPTOR_SIZE || totalLength < CONFIG_DESCRIPTOR_SIZE)) {
    status = STATUS_DEVICE_DATA_ERROR;
  }
  if (!NT_SUCCESS(status)) {
    DbgPrint("[ZLKUSB_GetConfigurationDescriptor] configuration descriptor failed %x\n", (ULONG)status);
    ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
    return status;
  }

  set = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, totalLength, POOL_TAG_DRIVER);
  if (set == NULL) {
    ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  status = ReadDescriptor(DeviceObject, urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, set, totalLength, &received);
  ExFreePoolWithTag(urb, POOL_TAG_DRIVER);
  if (!NT_SUCCESS(status)) {
    DbgPrint("[ZLKUSB_GetConfigurationDescriptor] configuration set failed %x\n", (ULONG)status);
    ExFreePoolWithTag(set, POOL_TAG_DRIVER);
    return status;
  }

  ULONG usable = received;
  if (usable >= CONFIG_DESCRIPTOR_SIZE && ((PUSB_CONFIGURATION_DESCRIPTOR)set)->wTotalLength < usable) {
    usable = ((PUSB_CONFIGURATION_DESCRIPTOR)set)->wTotalLength;
  }
  usable = WellFormedLength(set, usable);
  if (usable < CONFIG_DESCRIPTOR_SIZE) {
    ExFreePoolWithTag(set, POOL_TAG_DRIVER);
    return STATUS_DEVICE_DATA_ERROR;
  }
  // From here on every walker (ours and the library's) stops at wTotalLength.
  ((PUSB_CONFIGURATION_DESCRIPTOR)set)->wTotalLength = (USHORT)usable;

  if (ext->ConfigurationDescriptor != NULL) {
    ExFreePoolWithTag(ext->ConfigurationDescriptor, POOL_TAG_DRIVER);
  }
  ext->ConfigurationDescriptor =
      (PUSB_CONFIGURATION_DESCRIPTOR)ExAllocatePoolWithTag(NonPagedPool, usable, POOL_TAG_DRIVER);
  if (ext->ConfigurationDescriptor != NULL) {
    RtlCopyMemory(ext->ConfigurationDescriptor, set, usable);
  }

  status = ZLKUSB_SelectConfiguration(DeviceObject, (PUSB_CONFIGURATION_DESCRIPTOR)set);
  ExFreePoolWithTag(set, POOL_TAG_DRIVER);
  return status;
}

/*
 * ZLKUSB_SelectConfiguration: selects the configuration with every interface
 * it lists (alternate settings included, in descriptor order), giving bulk
 * and interrupt pipes their transfer sizes, and fills the pipe table from
 * what the bus driver returns: the first two pipes of the first three
 * interfaces.  A failed selection leaves the table empty and is reported.
 * PASSIVE_LEVEL; called by ZLKUSB_GetConfigurationDescriptor.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_SelectConfiguration(PDEVICE_OBJECT DeviceObject,
                                    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  ULONG numInterfaces = ConfigurationDescriptor->bNumInterfaces;
  ULONG listSize = (numInterfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
  PUSBD_INTERFACE_LIST_ENTRY list =
      (PUSBD_INTERFACE_LIST_ENTRY)ExAllocatePoolWithTag(NonPagedPool, listSize, POOL_TAG_DRIVER);
  if (list == NULL) {
    return STATUS_UNSUCCESSFUL;
  }
  RtlZeroMemory(list, listSize);  // also the terminating entry

  PUCHAR end = (PUCHAR)ConfigurationDescriptor + ConfigurationDescriptor->wTotalLength;
  PUCHAR position = (PUCHAR)ConfigurationDescriptor;
  ULONG count = 0;
  while (count < numInterfaces && position < end) {
    PUSB_INTERFACE_DESCRIPTOR found =
        USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, position, -1, -1, -1, -1, -1);
    if (found == NULL) {
      break;
    }
    list[count].InterfaceDescriptor = found;
    list[count].Interface = NULL;
    count++;
    // Step over the whole descriptor: a longer one must not be re-parsed
    // from its middle.
    ULONG length = found->bLength > INTERFACE_DESCRIPTOR_SIZE ? found->bLength : INTERFACE_DESCRIPTOR_SIZE;
    position = (PUCHAR)found + length;
  }
  if (count == 0) {
    ExFreePoolWithTag(list, POOL_TAG_DRIVER);
    return STATUS_DEVICE_DATA_ERROR;
  }

  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
  if (urb == NULL) {
    ExFreePoolWithTag(list, POOL_TAG_DRIVER);
    return STATUS_UNSUCCESSFUL;
  }

  ZLKUSB_SetMaximumTransferSizes(DeviceObject, ConfigurationDescriptor, list);

  NTSTATUS status = DescriptorRequestStatus(ZLKUSB_SubmitUrbSync(DeviceObject, urb), urb);

  RtlZeroMemory(ext->PipeTable, sizeof(ext->PipeTable));
  if (NT_SUCCESS(status)) {
    for (ULONG row = 0; row < count && row < PIPE_TABLE_INTERFACES; row++) {
      PUSBD_INTERFACE_INFORMATION info = list[row].Interface;
      if (info == NULL) {
        continue;
      }
      ULONG pipes = InterfacePipeCount(info);
      for (ULONG column = 0; column < pipes && column < PIPE_TABLE_PIPES; column++) {
        PPIPE_ENTRY entry = &ext->PipeTable[row][column];
        entry->PipeIndex = (UCHAR)column;
        entry->PipeInfo = info->Pipes[column];
        entry->Disabled = 0;
      }
    }
  } else {
    DbgPrint("[ZLKUSB_SelectConfiguration] selection failed %x\n", (ULONG)status);
  }
  // An interrupt endpoint the table does not hold cannot be read: no
  // interrupt thread for it.
  if (ext->UsingInterruptPipe && ZLKUSB_FindPipe(ext, UsbdPipeTypeInterrupt, 1) == NULL) {
    ext->UsingInterruptPipe = FALSE;
  }

  ExFreePoolWithTag(list, POOL_TAG_DRIVER);
  ExFreePool(urb);
  return status;
}

/*
 * ZLKUSB_SetMaximumTransferSizes: walks the descriptor set and, for each
 * endpoint of a listed interface, sets the transfer size of its pipe in the
 * select-configuration request: 64 for interrupt endpoints (and notes that
 * the device has an interrupt pipe), 64 KiB for bulk, the library's default
 * otherwise.  Writes only pipes the interface information holds.
 * PASSIVE_LEVEL; called by ZLKUSB_SelectConfiguration before the selection
 * is sent.
 */
_Use_decl_annotations_
VOID ZLKUSB_SetMaximumTransferSizes(PDEVICE_OBJECT DeviceObject,
                                    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  PDEVICE_EXTENSION ext = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  const UCHAR* base = (const UCHAR*)ConfigurationDescriptor;
  ULONG total = ConfigurationDescriptor->wTotalLength;

  ULONG entries = 0;
  while (InterfaceList[entries].InterfaceDescriptor != NULL) {
    entries++;
  }

  ULONG nextInterface = 0;
  PUSBD_INTERFACE_INFORMATION current = NULL;
  ULONG pipe = 0;
  ULONG offset = 0;
  while (offset + 2 <= total) {
    ULONG length = base[offset];
    UCHAR type = base[offset + 1];
    if (length == 0 || length > total - offset) {
      break;
    }
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
      current = nextInterface < entries ? InterfaceList[nextInterface].Interface : NULL;
      nextInterface++;
      pipe = 0;
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= ENDPOINT_DESCRIPTOR_SIZE &&
               current != NULL) {
      if (pipe < InterfacePipeCount(current)) {
        UCHAR attributes = ((const USB_ENDPOINT_DESCRIPTOR*)(base + offset))->bmAttributes;
        if (attributes == ENDPOINT_ATTRIBUTES_INTERRUPT) {
          current->Pipes[pipe].MaximumTransferSize = INTERRUPT_MAX_TRANSFER_SIZE;
          ext->UsingInterruptPipe = TRUE;
        } else if (attributes == ENDPOINT_ATTRIBUTES_BULK) {
          current->Pipes[pipe].MaximumTransferSize = BULK_MAX_TRANSFER_SIZE;
        }
      }
      pipe++;
    }
    offset += length;
  }
}

/*
 * ZLKUSB_ResetBulkInPipe: resets the bulk IN pipe.  PASSIVE_LEVEL; called by
 * the bulk-IN polling thread when it starts.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_ResetBulkInPipe(PDEVICE_OBJECT DeviceObject) {
  PPIPE_ENTRY pipe = ZLKUSB_FindPipe((PDEVICE_EXTENSION)DeviceObject->DeviceExtension, UsbdPipeTypeBulk, 1);
  if (pipe == NULL) {
    return ZLKUSB_STATUS_NO_PIPE;
  }
  return ZLKUSB_ResetPipe(DeviceObject, &pipe->PipeInfo);
}

/*
 * ZLKUSB_ResetInterruptPipe: resets the interrupt pipe.  PASSIVE_LEVEL;
 * called by the interrupt polling thread when it starts.
 */
_Use_decl_annotations_
NTSTATUS ZLKUSB_ResetInterruptPipe(PDEVICE_OBJECT DeviceObject) {
  PPIPE_ENTRY pipe =
      ZLKUSB_FindPipe((PDEVICE_EXTENSION)DeviceObject->DeviceExtension, UsbdPipeTypeInterrupt, 1);
  if (pipe == NULL) {
    return ZLKUSB_STATUS_NO_PIPE;
  }
  return ZLKUSB_ResetPipe(DeviceObject, &pipe->PipeInfo);
}
