// The test bus's AT modem: see modem.h.
#include "modem.h"

static VOID EmitByte(PACM_MODEM Modem, UCHAR Byte) {
  if (Modem->OutCount == ACM_MODEM_QUEUE) return;  // host not reading: drop, as a modem would
  Modem->Out[(Modem->OutHead + Modem->OutCount) % ACM_MODEM_QUEUE] = Byte;
  Modem->OutCount++;
}

static VOID Emit(PACM_MODEM Modem, const CHAR* Text) {
  for (; *Text != 0; ++Text) EmitByte(Modem, (UCHAR)*Text);
}

static VOID Result(PACM_MODEM Modem, const CHAR* Text) {
  Emit(Modem, "\r\n");
  Emit(Modem, Text);
  Emit(Modem, "\r\n");
}

static CHAR Upper(CHAR c) { return (c >= 'a' && c <= 'z') ? (CHAR)(c - 'a' + 'A') : c; }

VOID AcmModemInit(PACM_MODEM Modem) {
  RtlZeroMemory(Modem, sizeof(*Modem));
  Modem->Echo = TRUE;
}

// One command line, "AT" already checked.  Commands are a letter and an
// optional number; D takes the rest of the line.
static VOID Execute(PACM_MODEM Modem, const CHAR* Rest, ULONG Length) {
  ULONG i = 0;
  while (i < Length) {
    const CHAR command = Upper(Rest[i++]);
    if (command == ' ') continue;
    if (command == 'D') {
      Modem->Online = TRUE;
      Result(Modem, "CONNECT 7200000");
      return;
    }
    ULONG n = 0;
    while (i < Length && Rest[i] >= '0' && Rest[i] <= '9') n = n * 10 + (ULONG)(Rest[i++] - '0');
    if (command == 'E') {
      Modem->Echo = n != 0;
    } else if (command == 'Z') {
      Modem->Echo = TRUE;
    } else if (command == '&' || command == '+') {
      i = Length;  // an extended command: the rest of the line
    }
  }
  Result(Modem, "OK");
}

VOID AcmModemHostBytes(PACM_MODEM Modem, const UCHAR* Bytes, ULONG Length) {
  for (ULONG k = 0; k < Length; ++k) {
    const UCHAR b = Bytes[k];
    if (Modem->Online) {
      EmitByte(Modem, b);  // data mode: loop back
      continue;
    }
    if (Modem->Echo) EmitByte(Modem, b);
    if (b == '\r') {
      const CHAR* line = Modem->Line;
      ULONG length = Modem->LineLength;
      Modem->LineLength = 0;
      while (length > 0 && *line == ' ') {
        ++line;
        --length;
      }
      if (length >= 2 && Upper(line[0]) == 'A' && Upper(line[1]) == 'T') Execute(Modem, line + 2, length - 2);
      continue;
    }
    if (b == 8 && Modem->LineLength > 0) {
      Modem->LineLength--;
      continue;
    }
    if (b < 0x20 || b == 0x7F) continue;
    if (Modem->LineLength < ACM_MODEM_LINE) Modem->Line[Modem->LineLength++] = (CHAR)b;
  }
}

VOID AcmModemSetLines(PACM_MODEM Modem, BOOLEAN Dtr, BOOLEAN Rts) {
  const BOOLEAN dropped = Modem->Dtr && !Dtr;
  Modem->Dtr = Dtr;
  Modem->Rts = Rts;
  if (dropped && Modem->Online) {
    Modem->Online = FALSE;
    Result(Modem, "NO CARRIER");
  }
}

ULONG AcmModemRead(PACM_MODEM Modem, PUCHAR Buffer, ULONG Length) {
  ULONG n = 0;
  while (n < Length && Modem->OutCount > 0) {
    Buffer[n++] = Modem->Out[Modem->OutHead];
    Modem->OutHead = (Modem->OutHead + 1) % ACM_MODEM_QUEUE;
    Modem->OutCount--;
  }
  return n;
}

USHORT AcmModemState(const ACM_MODEM* Modem) {
  return (USHORT)((Modem->Online ? ACM_STATE_DCD : 0) | (Modem->Dtr ? ACM_STATE_DSR : 0));
}
