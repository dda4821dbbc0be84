// The few native calls the lab's client makes beside Win32: requests that
// report their NTSTATUS and IO_STATUS_BLOCK unmapped, as the emulator's
// runner reports them, so the two kernels' answers compare field by field.
#pragma once

#include <windows.h>
#include <winternl.h>

extern "C" {
NTSTATUS NTAPI NtReadFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                          PLARGE_INTEGER, PULONG);
NTSTATUS NTAPI NtWriteFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                           PLARGE_INTEGER, PULONG);
NTSTATUS NTAPI NtCancelIoFileEx(HANDLE, PIO_STATUS_BLOCK, PIO_STATUS_BLOCK);
}

// The lab's test bus (windows/winelab/testbus): its control device and requests.
#define LAB_TESTBUS_PATH "\\\\.\\VrMdmTestBus"
#define LAB_IOCTL_UNPLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define LAB_IOCTL_PLUG CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define LAB_IOCTL_SEND CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define LAB_IOCTL_LINES CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
// LAB_IOCTL_LINES input: the SERIAL_STATE bits given (DCD 1, DSR 2) and their values.
struct LabLines {
  USHORT mask;
  USHORT state;
};

// Sends one request to the test bus; false (with the reason on stderr) when
// the bus is not there.
bool lab_testbus_request(DWORD code, const void* input = nullptr, DWORD input_length = 0);
// Waits (30 s at most) until the port's DOS name exists, or with `gone` until
// it no longer does: the port comes and goes with Wine's PnP manager, a
// moment after the bus reports the change.
bool lab_wait_port(const char* port, bool gone);
