// Pipe lookup by type and direction over the table that configuration fills.

#include "usb/pipes.h"

/*
 * ZLKUSB_FindPipe: the first enabled entry, interface by interface and pipe
 * by pipe, of the given type (bulk or interrupt) and, for bulk, direction
 * (1 = IN, 0 = OUT).  Returns NULL when nothing matches; callers must then
 * send nothing.  Reads the table without a lock: it is written only while
 * the device starts, before any transfer.  Any IRQL <= DISPATCH_LEVEL.
 * Called by every transfer and pipe reset.
 */
_Use_decl_annotations_
PPIPE_ENTRY ZLKUSB_FindPipe(PDEVICE_EXTENSION DeviceExtension, USBD_PIPE_TYPE PipeType, UCHAR Direction) {
  if (PipeType != UsbdPipeTypeBulk && PipeType != UsbdPipeTypeInterrupt) {
    return NULL;
  }
  if (PipeType == UsbdPipeTypeBulk && Direction != PIPE_DIRECTION_IN && Direction != PIPE_DIRECTION_OUT) {
    return NULL;
  }
  for (ULONG row = 0; row < PIPE_TABLE_INTERFACES; row++) {
    for (ULONG column = 0; column < PIPE_TABLE_PIPES; column++) {
      PPIPE_ENTRY entry = &DeviceExtension->PipeTable[row][column];
      if (entry->Disabled == 1 || entry->PipeInfo.PipeType != PipeType) {
        continue;
      }
      if (PipeType == UsbdPipeTypeInterrupt) {
        return entry;
      }
      BOOLEAN isIn = (entry->PipeInfo.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
      if (isIn == (Direction == PIPE_DIRECTION_IN)) {
        return entry;
      }
    }
  }
  return NULL;
}
