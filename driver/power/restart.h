// The restart of the open port after the modem returns to a higher power
// state: the line coding and DTR/RTS are sent again and the two polling
// threads, which end by themselves when the device powers down, are replaced.
#pragma once

#include "core/device_extension.h"

// One queued restart.  Non-paged, tag "Wdm "; allocated by
// QueuePowerUpRestart, freed with its work item by PowerThreadRoutine.
typedef struct _POWER_WORK_CONTEXT {
  PDEVICE_OBJECT DeviceObject;
  PIO_WORKITEM WorkItem;
} POWER_WORK_CONTEXT, *PPOWER_WORK_CONTEXT;

// Queues PowerThreadRoutine when the port is open and the device has moved
// from OldState to a state of more power (a numerically lower one).  The
// caller has already recorded NewState in DevicePowerState.  Never waits.
// When the work item cannot be had, marks the restart failed: requests that
// would wait are refused, and each refusal asks for it again.
// IRQL <= DISPATCH_LEVEL.  Caller: CompletionRoutineDevicePowerIrp.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS QueuePowerUpRestart(PDEVICE_OBJECT DeviceObject, DEVICE_POWER_STATE OldState,
                             DEVICE_POWER_STATE NewState);

// Queues the restart again after it failed (PowerRestartFailed), unless one
// is already queued.  IRQL <= DISPATCH_LEVEL.  Caller: the request paths,
// when they refuse a request for want of a restart.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS RetryPowerUpRestart(PDEVICE_OBJECT DeviceObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
IO_WORKITEM_ROUTINE PowerThreadRoutine;

// A restart that lacks a packet or a thread tries again this many times in
// all, this many milliseconds apart.
constexpr ULONG POWER_RESTART_ATTEMPTS = 5;
constexpr LONG POWER_RESTART_RETRY_MS = 20;

// The restart, the open and the cleanup of a port all start, stop and
// replace the same worker threads and their stop events; each holds this
// lock while it does, so they never interleave.  Recursive for the holder,
// so a holder may still send the line state (which takes the same mutex).
// PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID AcquirePortThreadLock(PDEVICE_EXTENSION Extension);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID ReleasePortThreadLock(PDEVICE_EXTENSION Extension);
