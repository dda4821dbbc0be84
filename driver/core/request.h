// What every request path of the driver shares: the one way to finish a
// request, the tag of the driver's own remove-lock acquisitions, and the
// atomic read of a value other threads change with interlocked operations.
#pragma once

#include "core/device_extension.h"

// The tag of every remove-lock acquisition not tagged with the request it
// is made for (worker threads, deferred work, the open and close paths).
#define LOCK_TAG ((PVOID)(ULONG_PTR)REMOVE_LOCK_TAG)

/*
 * ReadShared: reads a LONG (or a ULONG flag word) that other threads change
 * with interlocked operations, as one atomic access with a full barrier.
 * IRQL: any.
 */
_IRQL_requires_max_(HIGH_LEVEL)
static inline LONG ReadShared(volatile void* Value) { return InterlockedOr((LONG volatile*)Value, 0); }

/*
 * CompleteRequest: finishes a request this side owns with Status and
 * Information, without a priority boost, and returns Status so that a
 * dispatch routine can return it.
 * IRQL <= DISPATCH_LEVEL.  Called by every path that ends a request other
 * than with a wait-on-mask event word.
 */
_IRQL_requires_max_(DISPATCH_LEVEL)
static inline NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
