// A small WDM function driver for the I/O manager's tests: a loopback port.
// Bytes written are kept (up to 256) and handed to reads; a read with no data
// waits, cancelable, until a write brings some.  It names its devices
// "\Device\EmuLoop<n>" and links "\DosDevices\EMULOOP<n>" at start, registers
// one WMI data block, and turns system power requests into device power
// requests as a power policy owner does.
#pragma once

#include <nt/ntddk.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace loopdrv {

NTSTATUS NTAPI LoopDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Output = input (Information = min(in, out)).
constexpr ULONG IOCTL_LOOP_ECHO = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Deliberately wrong: fills the output and reports 4 bytes more than it has.
constexpr ULONG IOCTL_LOOP_OVERREPORT =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Waits (cancelable) until IOCTL_LOOP_RELEASE; cleanup cancels it.
constexpr ULONG IOCTL_LOOP_HOLD = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Completes every held request with STATUS_SUCCESS; output ULONG: how many.
constexpr ULONG IOCTL_LOOP_RELEASE = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Like HOLD but not cancelable and left alone by cleanup (a request that
// outlives its handle).
constexpr ULONG IOCTL_LOOP_HOLD_STICKY =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Output ULONG: bytes waiting in the loop buffer.
constexpr ULONG IOCTL_LOOP_AVAILABLE = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Function 0x806 in any transfer method: fills the whole output with
// (input[i % in] + i) found where that method puts it (system buffer, MDL,
// user pointer).  STATUS_INVALID_PARAMETER when the packet is not built as
// Windows builds it for the method.
constexpr ULONG LOOP_FILL_FUNCTION = 0x806;

// {5D8B3C1E-2F41-4C0A-9B6E-7A1D2C3B4E5F}
DEFINE_GUID(LOOP_WMI_GUID, 0x5d8b3c1e, 0x2f41, 0x4c0a, 0x9b, 0x6e, 0x7a, 0x1d, 0x2c, 0x3b, 0x4e, 0x5f);

// What the driver saw, in order ("create", "read", "write", "cancel",
// "cleanup", "close", "pnp:<minor>", "power:<minor>"...).
std::vector<std::string> events();
void clear_events();
std::atomic<long>& cancels_run();        // cancel routine invocations
std::atomic<long>& released_by_ioctl();  // held requests completed by IOCTL_LOOP_RELEASE

}  // namespace loopdrv
