// The interrupt polling thread: serial-state notifications of the modem's
// interrupt IN pipe become the DSR and DCD bits of the modem status.
#pragma once

#include "platform/platform.h"

_IRQL_requires_max_(PASSIVE_LEVEL)
KSTART_ROUTINE pInterruptPollingFunction;
