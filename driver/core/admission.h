// Admission of the client's requests: whether a request may still wait on
// the port or change its lines, and the status that refuses it otherwise.
// Flags only, so that the request paths, which test them in the hold that
// queues, and the paths that set them before they end what is queued
// (cleanup, removal, a failed restart) agree on one rule.
#pragma once

#include "core/device_extension.h"

// The status with which a request of the open handle is refused because
// the port is not (or no longer) open for it, or STATUS_SUCCESS:
// STATUS_NOT_SUPPORTED once the device is removed, STATUS_ACCESS_DENIED
// with no open, STATUS_CANCELLED from the start of the handle's cleanup.
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS OpenPortRefusal(PDEVICE_EXTENSION Extension);

// The status with which a request that would wait on the port (a read, a
// write, a wait-on-mask or a removal notification) is refused now, or
// STATUS_SUCCESS when it may wait: OpenPortRefusal's, then
// STATUS_DEVICE_NOT_READY while a failed power-up restart leaves nothing to
// serve it, and STATUS_DEVICE_POWERED_OFF while a power-up the system
// request could not ask for is owed (each such refusal asks for it again,
// through the record's RecoverPort).  Callers test it under the lock they
// queue under, so that removal and cleanup, which set their flags under
// that lock before they drain the queues, find every request admitted
// before them.
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS WaitingRequestRefusal(PDEVICE_EXTENSION Extension);

// A request that changes DTR or RTS (the line requests, the modem-control
// and handshake sets) runs between these two: BeginLineChange takes the
// line-state lock (ControlMutex) and returns STATUS_SUCCESS holding it, or
// OpenPortRefusal's status without it.  The change and its send are thus
// one step that either ends before the cleanup of the handle drops both
// lines (which sends under the same lock) or is refused after it, so a
// closed port never keeps a line a late request raised.
// PASSIVE_LEVEL.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS BeginLineChange(PDEVICE_EXTENSION Extension);
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID EndLineChange(PDEVICE_EXTENSION Extension);
