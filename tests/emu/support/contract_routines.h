// Routines annotated with each checked contract, compiled as driver code is
// (with the contract instrumentation), for the contract checks' test.
#pragma once

#include <nt/ntddk.h>

namespace contracts {

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID AtPassive(VOID);
_IRQL_requires_max_(APC_LEVEL)
VOID UpToApc(VOID);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID UpToDispatch(VOID);
_IRQL_requires_(DISPATCH_LEVEL)
_IRQL_requires_same_
KDEFERRED_ROUTINE AtDispatchDpc;
_IRQL_requires_min_(APC_LEVEL)
VOID FromApc(VOID);
_Requires_lock_held_(_Global_cancel_spin_lock_)
VOID NeedsCancelLock(VOID);
_Requires_lock_not_held_(_Global_cancel_spin_lock_)
VOID NeedsCancelLockFree(VOID);
_Requires_lock_held_(*Lock)
VOID NeedsLock(PKSPIN_LOCK Lock);
_Requires_lock_not_held_(*Lock)
VOID NeedsLockFree(PKSPIN_LOCK Lock);
_Requires_no_locks_held_
VOID NeedsNoLocks(VOID);

}  // namespace contracts
