// Everything a kernel-mode driver sees of the emulated system, under the
// names of the DDK headers it stands in for (ntddk.h, wdm.h, usb*.h,
// usbdlib.h, ntddser.h, wmilib.h, wmistr.h).
#pragma once

#include <nt/ntdef.h>
#include <nt/ke.h>
#include <nt/io.h>
#include <nt/usb.h>
#include <nt/ntddser.h>
