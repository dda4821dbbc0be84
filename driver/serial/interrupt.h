// The interrupt polling thread: serial-state notifications of the modem's
// interrupt IN pipe become the DSR and DCD bits of the modem status.
#pragma once

#include "platform/platform.h"

// Line bits given to UpdateModemStatus for bits 1..0 of notification byte 8.
ULONG InterruptStateToModemLines(UCHAR SerialState);

VOID NTAPI pInterruptPollingFunction(PVOID Context);
