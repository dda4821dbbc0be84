// Plug and Play: start, capabilities, surprise removal and removal of the
// modem's serial-port device object.
#pragma once

#include "platform/platform.h"

// Longest port name whose DOS name ("\DosDevices\" + name + NUL) fits the
// device record's DosDeviceName.
constexpr ULONG PORT_NAME_MAX_CHARS = 100 - 12 - 1;

_IRQL_requires_max_(PASSIVE_LEVEL)
DRIVER_DISPATCH DispatchPnp;

_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE ZLKUSB_DeferIrpCompletion;
_IRQL_requires_max_(DISPATCH_LEVEL)
IO_COMPLETION_ROUTINE IrpCapablitiesCompletionRoutine;

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID WriteSerialCommValue(PCWSTR ValueName, PCUNICODE_STRING KeyPath, PCWSTR Data, ULONG DataLength);

// Takes the port name out of a KEY_VALUE_FULL_INFORMATION result of
// InfoLength valid bytes.  The name ends at its first NUL or at the end of
// the data, whichever comes first; it is copied with a terminator into
// PortName (PortNameChars characters).  Fails for a value that is not a
// string, is empty, lies outside the result, or is longer than
// PORT_NAME_MAX_CHARS.  *NameChars receives the length without terminator.
EXTERN_C _IRQL_requires_max_(HIGH_LEVEL)
NTSTATUS PortNameFromValue(const KEY_VALUE_FULL_INFORMATION* Info, ULONG InfoLength, PWCHAR PortName,
                           ULONG PortNameChars, PULONG NameChars);
