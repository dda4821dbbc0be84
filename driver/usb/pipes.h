// The pipe table lookup.
#pragma once

#include "core/device_extension.h"

// Direction argument of ZLKUSB_FindPipe (ignored for interrupt pipes).
constexpr UCHAR PIPE_DIRECTION_OUT = 0;
constexpr UCHAR PIPE_DIRECTION_IN = 1;

_IRQL_requires_max_(DISPATCH_LEVEL)
PPIPE_ENTRY ZLKUSB_FindPipe(PDEVICE_EXTENSION DeviceExtension, USBD_PIPE_TYPE PipeType, UCHAR Direction);
