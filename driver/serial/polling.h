// The bulk-IN polling thread: carries received data from the modem into the
// receive ring.
#pragma once

#include "core/device_extension.h"

// The CONNECT filter's text: upper case, no terminator.
#define CONNECT_FILTER_TEXT "CONNECT"
constexpr ULONG CONNECT_FILTER_LENGTH = 7;

// Bytes asked for by every bulk-IN read.
constexpr ULONG POLLING_TRANSFER_SIZE = 4096;

VOID SleepMilliseconds(LONG Milliseconds);
BOOLEAN ScanSpecialChars(PDEVICE_EXTENSION Extension, const UCHAR* Bytes, ULONG Length);
VOID NTAPI pPollingFunction(PVOID Context);
