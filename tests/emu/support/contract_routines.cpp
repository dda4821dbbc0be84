// Compiled with the contract instrumentation (see CMakeLists.txt): the checks
// run on entry, so the bodies only have to exist.
#include "contract_routines.h"

namespace contracts {

_Use_decl_annotations_
VOID AtPassive(VOID) {}
_Use_decl_annotations_
VOID UpToApc(VOID) {}
_Use_decl_annotations_
VOID UpToDispatch(VOID) {}
_Use_decl_annotations_
VOID AtDispatchDpc(PKDPC, PVOID, PVOID, PVOID) {}
_Use_decl_annotations_
VOID FromApc(VOID) {}
_Use_decl_annotations_
VOID NeedsCancelLock(VOID) {}
_Use_decl_annotations_
VOID NeedsCancelLockFree(VOID) {}
_Use_decl_annotations_
VOID NeedsLock(PKSPIN_LOCK) {}
_Use_decl_annotations_
VOID NeedsLockFree(PKSPIN_LOCK) {}
_Use_decl_annotations_
VOID NeedsNoLocks(VOID) {}

}  // namespace contracts
