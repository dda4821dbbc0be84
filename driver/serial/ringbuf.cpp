// The receive ring buffer.
//
// The ring has RING_BUFFER_POSITIONS positions and keeps one free, so equal
// indices always mean empty.  Each operation holds the ring's private lock
// for its whole work; the lock raises to DISPATCH_LEVEL, so a thread holding
// it is never preempted on its processor, and it excludes the other
// processors.  Nothing else is taken inside it, so callers may hold the
// device SpinLock around any operation.

#include "serial/ringbuf.h"

// Unread bytes for the given indices.
_IRQL_requires_max_(HIGH_LEVEL)
static ULONG RingUsed(ULONG ReadIndex, ULONG WriteIndex) {
  if (WriteIndex >= ReadIndex) {
    return WriteIndex - ReadIndex;
  }
  return RING_BUFFER_POSITIONS - ReadIndex + WriteIndex;
}

/*
 * RingBufferAllocate: takes one ring from non-paged pool with both indices at
 * 0; the data area is left as the pool gives it.  Returns NULL when the pool
 * is exhausted.  IRQL <= DISPATCH_LEVEL (raises to DISPATCH_LEVEL itself).
 * Called by AddDevice.
 */
_Use_decl_annotations_
PRING_BUFFER RingBufferAllocate(void) {
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  PRING_BUFFER ring = (PRING_BUFFER)ExAllocatePoolWithTag(NonPagedPool, sizeof(RING_BUFFER), POOL_TAG_DRIVER);
  if (ring != NULL) {
    ring->ReadIndex = 0;
    ring->WriteIndex = 0;
    KeInitializeSpinLock(&ring->Lock);
  }
  KeLowerIrql(oldIrql);
  return ring;
}

/*
 * RingBufferFree: returns the ring to the pool; NULL is ignored.  The caller
 * guarantees nobody else uses the ring any more.  IRQL <= DISPATCH_LEVEL.
 * Called at device removal and by a failed AddDevice.
 */
_Use_decl_annotations_
VOID RingBufferFree(PRING_BUFFER Ring) {
  if (Ring == NULL) {
    return;
  }
  KIRQL oldIrql;
  KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
  ExFreePoolWithTag(Ring, POOL_TAG_DRIVER);
  KeLowerIrql(oldIrql);
}

/*
 * RingBufferCount: number of unread bytes, 0..RING_BUFFER_CAPACITY.
 * IRQL <= DISPATCH_LEVEL.  Called by the polling thread, the read path, the
 * wait-mask evaluation and the status requests.
 */
_Use_decl_annotations_
ULONG RingBufferCount(PRING_BUFFER Ring) {
  if (Ring == NULL) {
    return 0;
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&Ring->Lock, &oldIrql);
  ULONG used = RingUsed(Ring->ReadIndex, Ring->WriteIndex);
  KeReleaseSpinLock(&Ring->Lock, oldIrql);
  return used;
}

/*
 * RingBufferPut: appends as many of Length bytes as fit, in order, and
 * returns how many it took.  Unread bytes are never overwritten.
 * IRQL <= DISPATCH_LEVEL.  Called by the bulk-IN polling thread.
 */
_Use_decl_annotations_
ULONG RingBufferPut(PRING_BUFFER Ring, const UCHAR* Source, ULONG Length) {
  if (Ring == NULL || Length == 0) {
    return 0;
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&Ring->Lock, &oldIrql);
  ULONG writeIndex = Ring->WriteIndex;
  ULONG space = RING_BUFFER_CAPACITY - RingUsed(Ring->ReadIndex, writeIndex);
  ULONG taken = Length < space ? Length : space;
  if (taken == 0) {
    KeReleaseSpinLock(&Ring->Lock, oldIrql);
    return 0;
  }
  // At most two moves: up to the last position, then from position 0.
  ULONG first = RING_BUFFER_POSITIONS - writeIndex;
  if (first > taken) {
    first = taken;
  }
  RtlCopyMemory(&Ring->Data[writeIndex], Source, first);
  if (taken > first) {
    RtlCopyMemory(&Ring->Data[0], Source + first, taken - first);
  }
  writeIndex += taken;
  if (writeIndex >= RING_BUFFER_POSITIONS) {
    writeIndex -= RING_BUFFER_POSITIONS;
  }
  Ring->WriteIndex = writeIndex;
  KeReleaseSpinLock(&Ring->Lock, oldIrql);
  return taken;
}

/*
 * RingBufferGet: moves up to Length unread bytes, oldest first, into
 * Destination and returns how many.  On an empty ring it clears the indices
 * and the whole data area (stale received bytes do not linger in pool) and
 * returns 0.  IRQL <= DISPATCH_LEVEL.  Called by the read path, usually
 * holding the device SpinLock.
 */
_Use_decl_annotations_
ULONG RingBufferGet(PRING_BUFFER Ring, PUCHAR Destination, ULONG Length) {
  if (Ring == NULL) {
    return 0;
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&Ring->Lock, &oldIrql);
  ULONG readIndex = Ring->ReadIndex;
  ULONG used = RingUsed(readIndex, Ring->WriteIndex);
  if (used == 0) {
    Ring->ReadIndex = 0;
    Ring->WriteIndex = 0;
    RtlZeroMemory(Ring->Data, sizeof(Ring->Data));
    KeReleaseSpinLock(&Ring->Lock, oldIrql);
    return 0;
  }
  ULONG copied = Length < used ? Length : used;
  if (copied == 0) {
    KeReleaseSpinLock(&Ring->Lock, oldIrql);
    return 0;
  }
  ULONG first = RING_BUFFER_POSITIONS - readIndex;
  if (first > copied) {
    first = copied;
  }
  RtlCopyMemory(Destination, &Ring->Data[readIndex], first);
  if (copied > first) {
    RtlCopyMemory(Destination + first, &Ring->Data[0], copied - first);
  }
  readIndex += copied;
  if (readIndex >= RING_BUFFER_POSITIONS) {
    readIndex -= RING_BUFFER_POSITIONS;
  }
  Ring->ReadIndex = readIndex;
  KeReleaseSpinLock(&Ring->Lock, oldIrql);
  return copied;
}

/*
 * RingBufferReset: discards every unread byte (both indices to 0); the data
 * area is not touched.  IRQL <= DISPATCH_LEVEL.  Called by the receive purge.
 */
_Use_decl_annotations_
VOID RingBufferReset(PRING_BUFFER Ring) {
  if (Ring == NULL) {
    return;
  }
  KIRQL oldIrql;
  KeAcquireSpinLock(&Ring->Lock, &oldIrql);
  Ring->ReadIndex = 0;
  Ring->WriteIndex = 0;
  KeReleaseSpinLock(&Ring->Lock, oldIrql);
}
