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

// Where the CONNECT filter stands between two transfers: outside a result
// line, inside one, or just after its CR (an LF may follow).
typedef enum _CONNECT_LINE { ConnectLineNone, ConnectLineText, ConnectLineCr } CONNECT_LINE;
ULONG DropConnectLines(PUCHAR Bytes, ULONG Length, CONNECT_LINE* Line);

VOID NTAPI pPollingFunction(PVOID Context);
