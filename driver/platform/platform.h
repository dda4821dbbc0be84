// The driver's one door to the kernel and the USB bus.  Every driver file
// includes this header and nothing else from outside the driver: on Windows
// it maps to the DDK, on the host to the emulator that mirrors it.
#pragma once

#if defined(_WIN32)
#include <ntddk.h>
#include <ntddser.h>
#include <usb.h>
// The DDK's usbdlib.h declares the USBD_ routines without C linkage.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>
#include <wmilib.h>
#include <wmistr.h>
// ntoskrnl exports the classic (count-less) swprintf; the DDK headers leave
// it undeclared.
extern "C" int __cdecl swprintf(wchar_t* buffer, const wchar_t* format, ...);
#else
#include <nt/ntddk.h>
#endif
