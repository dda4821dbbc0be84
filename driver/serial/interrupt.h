// The interrupt polling thread: serial-state notifications of the modem's
// interrupt IN pipe become the DSR and DCD bits of the modem status.
#pragma once

#include "platform/platform.h"

VOID NTAPI pInterruptPollingFunction(PVOID Context);
