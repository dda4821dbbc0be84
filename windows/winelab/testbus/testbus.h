// A test USB bus for Wine: a root-enumerated bus driver whose one child is a
// CDC ACM modem (hardware ID USB\VID_1234&PID_5678, as vr_mdm.inf matches),
// answering IOCTL_INTERNAL_USB_SUBMIT_URB itself.  Wine's own USB bus sees
// only the host's real devices; this one lets vr_mdm.sys meet Wine's PnP and
// I/O managers without hardware.  Kernel-mode, no runtime: C-style C++.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include "modem.h"

// Device path of the control device the lab's tools open to unplug and
// replug the modem.
#define TESTBUS_CONTROL_NAME L"\\Device\\VrMdmTestBus"
#define TESTBUS_CONTROL_LINK L"\\DosDevices\\VrMdmTestBus"
#define IOCTL_TESTBUS_UNPLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TESTBUS_PLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef enum _TESTBUS_ROLE { TestBusRoleControl = 1, TestBusRoleFdo, TestBusRolePdo } TESTBUS_ROLE;

// Pipe handles handed out by SELECT_CONFIGURATION: the endpoint address
// stands in the handle's low byte, so a handle is checked by value.
#define TESTBUS_PIPE_TAG 0x7E570000u

typedef struct _TESTBUS_PDO {
  PDEVICE_OBJECT Self;
  KSPIN_LOCK Lock;  // everything below
  BOOLEAN Present;  // plugged: reported in bus relations
  BOOLEAN Started;
  BOOLEAN Configured;
  BOOLEAN Gone;             // surprise-removed or removed: transfers fail
  LIST_ENTRY PendingIn[2];  // [0] notification IN, [1] bulk IN: pended URB IRPs
  UCHAR LineCoding[7];
  ACM_MODEM Modem;
  USHORT NotifiedState;  // last SERIAL_STATE sent (or queued)
  BOOLEAN NotifyDue;
} TESTBUS_PDO, *PTESTBUS_PDO;

typedef struct _TESTBUS_EXTENSION {
  TESTBUS_ROLE Role;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower;  // FDO: the root PDO below
  PDEVICE_OBJECT Child;  // FDO: the modem's PDO, while it exists
  TESTBUS_PDO Pdo;       // PDO only
} TESTBUS_EXTENSION, *PTESTBUS_EXTENSION;

// The one bus (Wine enumerates one root device for the service).
extern PDEVICE_OBJECT TestBusFdo;

extern "C" DRIVER_INITIALIZE DriverEntry;

NTSTATUS TestBusPdoPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS TestBusPdoInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS TestBusCreatePdo(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* Pdo);
// Fails every pended transfer of the child: it is gone.
VOID TestBusFailPending(PTESTBUS_PDO Pdo, NTSTATUS Status);
