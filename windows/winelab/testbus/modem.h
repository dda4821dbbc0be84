// A small AT modem behind the test bus: echo, verbose results framed
// CR LF text CR LF, ATD answers CONNECT and raises DCD, data mode loops the
// host's bytes back until DTR drops (NO CARRIER); DSR follows DTR.
// Only the commands the lab's client sends are known; others answer OK.
// The caller serialises access (the child's spin lock).
#pragma once

#if defined(_WIN32)
#include <ntddk.h>
#else
// tests/usb/testbus_modem_test.cpp holds it to the emulator's modem.
#include <nt/ntddk.h>
#endif

#define ACM_MODEM_QUEUE 4096  // bytes waiting for bulk IN
#define ACM_MODEM_LINE 64

typedef struct _ACM_MODEM {
  UCHAR Out[ACM_MODEM_QUEUE];  // to the host, a ring
  ULONG OutHead;
  ULONG OutCount;
  CHAR Line[ACM_MODEM_LINE];
  ULONG LineLength;
  BOOLEAN Echo;
  BOOLEAN Online;  // data mode
  BOOLEAN Dtr;
  BOOLEAN Rts;
} ACM_MODEM, *PACM_MODEM;

// SERIAL_STATE bits the modem shows.
#define ACM_STATE_DCD 0x0001
#define ACM_STATE_DSR 0x0002

VOID AcmModemInit(PACM_MODEM Modem);
VOID AcmModemHostBytes(PACM_MODEM Modem, const UCHAR* Bytes, ULONG Length);
VOID AcmModemSetLines(PACM_MODEM Modem, BOOLEAN Dtr, BOOLEAN Rts);
ULONG AcmModemRead(PACM_MODEM Modem, PUCHAR Buffer, ULONG Length);
USHORT AcmModemState(const ACM_MODEM* Modem);
