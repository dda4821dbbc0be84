// The receive ring: one per device, filled by the bulk-IN polling thread and
// drained by the read path.  Every operation is indivisible against every
// other on the same ring, on any processor, and may be called at or below
// DISPATCH_LEVEL, with or without the device SpinLock held.
#pragma once

#include "core/device_extension.h"

_IRQL_requires_max_(DISPATCH_LEVEL)
PRING_BUFFER RingBufferAllocate(void);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RingBufferFree(PRING_BUFFER Ring);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG RingBufferCount(PRING_BUFFER Ring);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG RingBufferPut(PRING_BUFFER Ring, const UCHAR* Source, ULONG Length);
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG RingBufferGet(PRING_BUFFER Ring, PUCHAR Destination, ULONG Length);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RingBufferReset(PRING_BUFFER Ring);
