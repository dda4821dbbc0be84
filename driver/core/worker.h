// The skeleton every worker thread of an open port runs: raised priority, a
// RemoveLock acquisition for the thread's whole life (taken for it by its
// starter, before the thread exists), a timed wait on its stop event (and on
// its wake event, if it has one) before each step, and the way out.  Each
// worker supplies its step and, if it needs them, a beginning and what it
// does when stopped.
#pragma once

#include "core/device_extension.h"

// One running worker, as its routines see it.
typedef struct _WORKER {
  PDEVICE_EXTENSION Extension;
  // Milliseconds of the wait on the stop event before the next step (0: the
  // wait only looks).  Starts at the worker's own value; a step may change it.
  LONG WaitMs;
  // Set by a step that ends the thread: traced once the RemoveLock
  // acquisition is given back.  NULL: the thread ends silently.
  PCSTR ExitTrace;
  PVOID State;  // the worker's own, for its routines
} WORKER, *PWORKER;

typedef VOID WORKER_HOOK(PWORKER Worker);
typedef BOOLEAN WORKER_STEP(PWORKER Worker);  // FALSE: the thread ends

// What a worker does; one const record per worker.
typedef struct _WORKER_ROUTINES {
  LONG WaitMs;           // the first wait, in milliseconds
  WORKER_HOOK* Begin;    // NULL, or once, RemoveLock held, before the first wait
  WORKER_STEP* Step;     // after each wait that did not find the stop event
  WORKER_HOOK* Stopped;  // NULL, or when the stop event ended the loop, RemoveLock still held
} WORKER_ROUTINES;

// Runs a worker to its end, gives back the RemoveLock acquisition its
// starter took for it, and ends the calling system thread.  A set WakeEvent
// (NULL: none) ends the wait early; it is cleared before the step, so
// whatever sets it during the step brings another step at once.  The stop
// event wins over the wake event when both are set.
// IRQL: PASSIVE_LEVEL, in the worker's own system thread.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID RunWorkerThread(PDEVICE_EXTENSION Extension, PKEVENT StopEvent, PKEVENT WakeEvent,
                     const WORKER_ROUTINES* Routines, PVOID State);
