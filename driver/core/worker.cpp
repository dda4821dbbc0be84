// The worker-thread skeleton (see worker.h).
#include "core/worker.h"

#include "core/request.h"

// Waits WaitMs for the stop event, or for the wake event when there is one;
// TRUE when the stop event is set.  WaitAny reports the lowest signalled
// object, so the stop event goes first.
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN WaitForStop(PKEVENT StopEvent, PKEVENT WakeEvent, LONG WaitMs) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10000LL * WaitMs;
  if (WakeEvent == NULL) {
    return KeWaitForSingleObject(StopEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_WAIT_0;
  }
  PVOID objects[2] = {StopEvent, WakeEvent};
  return KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, NULL) ==
         STATUS_WAIT_0;
}

/*
 * RunWorkerThread: see worker.h.  The worker's Stopped routine runs only when
 * the stop event ended it (the port is closing: whatever the worker serves is
 * ended there); a worker that ends by itself leaves its requests to cleanup.
 * IRQL: PASSIVE_LEVEL.  Called by the start routine of every worker thread.
 */
_Use_decl_annotations_
VOID RunWorkerThread(PDEVICE_EXTENSION Extension, PKEVENT StopEvent, PKEVENT WakeEvent,
                     const WORKER_ROUTINES* Routines, PVOID State) {
  // The remove-lock hold this thread gives back at its end was taken for it
  // by its starter.
  KeSetPriorityThread(KeGetCurrentThread(), WORKER_THREAD_PRIORITY);
  WORKER worker;
  worker.Extension = Extension;
  worker.WaitMs = Routines->WaitMs;
  worker.ExitTrace = NULL;
  worker.State = State;
  if (Routines->Begin != NULL) {
    Routines->Begin(&worker);
  }
  BOOLEAN stopped;
  for (;;) {
    stopped = WaitForStop(StopEvent, WakeEvent, worker.WaitMs);
    if (stopped) {
      break;
    }
    if (WakeEvent != NULL) {
      KeClearEvent(WakeEvent);
    }
    if (!Routines->Step(&worker)) {
      break;
    }
  }
  if (stopped && Routines->Stopped != NULL) {
    Routines->Stopped(&worker);
  }
  IoReleaseRemoveLock(&Extension->RemoveLock, LOCK_TAG);
  if (worker.ExitTrace != NULL) {
    DbgPrint("%s", worker.ExitTrace);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}
