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
// The scenario doors, as the emulator's scenario modem has them: bytes the
// host reads before anything of the modem's (input: the bytes), and a
// SERIAL_STATE notification with chosen line bits (input: TESTBUS_LINES).
#define IOCTL_TESTBUS_SEND CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TESTBUS_LINES CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
typedef struct _TESTBUS_LINES {
  USHORT Mask;   // the SERIAL_STATE bits given (DCD 1, DSR 2)
  USHORT State;  // their values; the others stay as last notified by this door
} TESTBUS_LINES;

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
  USHORT NotifiedState;  // last SERIAL_STATE of the modem's sent (or queued)
  BOOLEAN NotifyDue;
  UCHAR Injected[ACM_MODEM_QUEUE];  // the send door's bytes, read first
  ULONG InjectedCount;
  USHORT DoorState;  // last SERIAL_STATE of the lines door
  BOOLEAN DoorStateSet;
  BOOLEAN DoorNotifyDue;
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
// The doors: see IOCTL_TESTBUS_SEND and IOCTL_TESTBUS_LINES.
NTSTATUS TestBusSend(PTESTBUS_PDO Pdo, const UCHAR* Bytes, ULONG Length);
VOID TestBusLines(PTESTBUS_PDO Pdo, const TESTBUS_LINES* Lines);
