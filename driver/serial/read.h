// Read requests: the current read under its total time-out and the reads
// queued behind it.
#pragma once

#include "core/device_extension.h"

_IRQL_requires_max_(APC_LEVEL)
DRIVER_DISPATCH DispatchRead;
_IRQL_requires_max_(PASSIVE_LEVEL)
KSTART_ROUTINE pReadFunction;
_IRQL_requires_(DISPATCH_LEVEL)
KDEFERRED_ROUTINE ReadTimeoutDpc;
_Requires_lock_held_(_Global_cancel_spin_lock_)
_Releases_lock_(_Global_cancel_spin_lock_)
DRIVER_CANCEL ReadCancelRoutine;
