// The bulk-IN polling thread: carries received data from the modem into the
// receive ring.
#pragma once

#include "core/device_extension.h"

// The CONNECT filter's text: upper case, no terminator.
#define CONNECT_FILTER_TEXT "CONNECT"
constexpr ULONG CONNECT_FILTER_LENGTH = 7;

// Bytes asked for by every bulk-IN read.
constexpr ULONG POLLING_TRANSFER_SIZE = 4096;

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID SleepMilliseconds(LONG Milliseconds);

// What a polling thread does after a pipe read that brought no data: a row
// of its exit table.  A row applies when the device power state is in
// PowerStates, the read's status matches NtStatus and the USBD status,
// masked with UrbStatusBits, equals UrbStatus; the first row that applies
// decides.  The last row of a table applies to everything.
typedef enum _PIPE_READ_OUTCOME {
  PipeReadEnds,    // the thread ends; Trace (NULL: none) once the RemoveLock is given back
  PipeReadRetried  // Trace is a format, given the USBD status and the read's status
} PIPE_READ_OUTCOME;

typedef struct _PIPE_READ_RULE {
  ULONG PowerStates;    // POWER_STATE_BIT of each DEVICE_POWER_STATE the row applies in
  NTSTATUS NtStatus;    // or PIPE_READ_ANY_STATUS
  ULONG UrbStatusBits;  // the bits of the USBD status compared; 0: any
  ULONG UrbStatus;
  PIPE_READ_OUTCOME Outcome;
  PCSTR Trace;
} PIPE_READ_RULE;

// A state outside the bit range stands with the last bit, so that a
// "not D0" row covers it too.
#define POWER_STATE_BIT(State) (1u << ((ULONG)(State) < 31 ? (ULONG)(State) : 31u))
constexpr ULONG POWER_STATES_ANY = 0xFFFFFFFFu;
constexpr ULONG POWER_STATES_NOT_D0 = ~POWER_STATE_BIT(PowerDeviceD0);
// Not a status any read returns.
constexpr NTSTATUS PIPE_READ_ANY_STATUS = (NTSTATUS)0xFFFFFFFF;

// The row of Rules (Count rows) that applies to a read outcome.
_IRQL_requires_max_(HIGH_LEVEL)
const PIPE_READ_RULE* FindPipeReadRule(const PIPE_READ_RULE* Rules, ULONG Count,
                                       DEVICE_POWER_STATE PowerState, NTSTATUS NtStatus, ULONG UrbStatus);
_Requires_lock_not_held_(Extension->SpinLock)
BOOLEAN ScanSpecialChars(PDEVICE_EXTENSION Extension, const UCHAR* Bytes, ULONG Length);
_IRQL_requires_max_(PASSIVE_LEVEL)
KSTART_ROUTINE pPollingFunction;
