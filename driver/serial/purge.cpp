// Purge: aborts the client's pending reads and writes and discards received
// data, in that fixed order, so that nothing received before the purge can
// complete a read issued after it.
#include "serial/control.h"

#include "serial/request_list.h"
#include "serial/ringbuf.h"
#include "serial/write.h"

/*
 * PurgePort: SERIAL_PURGE_RXABORT ends the current read and every queued
 * read; SERIAL_PURGE_TXABORT cancels the write on the bus and ends every
 * queued write; SERIAL_PURGE_RXCLEAR empties the receive ring.
 * SERIAL_PURGE_TXCLEAR has nothing to act on: writes are never buffered in
 * the driver.
 * PASSIVE_LEVEL, no lock held.  Caller: DispatchDeviceControl
 * (IOCTL_SERIAL_PURGE).
 */
_Use_decl_annotations_
VOID PurgePort(PDEVICE_EXTENSION Extension, ULONG Mask) {
  if (Mask & SERIAL_PURGE_RXABORT) {
    RequestListFlush(Extension, &Extension->ReadQueue, TRUE);
  }
  if (Mask & SERIAL_PURGE_TXABORT) {
    AbortCurrentWrite(Extension);
    RequestListFlush(Extension, &Extension->WriteQueue, FALSE);
  }
  if (Mask & SERIAL_PURGE_RXCLEAR) {
    RingBufferReset(Extension->RingBuffer);
    KeSetEvent(&Extension->evRingRoom, IO_NO_INCREMENT, FALSE);  // a polling thread backing off reads on
  }
}
