// VRMDM_WINESHIM.SYS: the kernel routines vr_mdm.sys imports that Wine
// 8.0's ntoskrnl.exe exports only as stubs (calling one aborts the whole
// winedevice.exe), and the timer routines around KeReadStateTimer, written
// for Wine's model of the kernel.  Only the lab's build of the driver
// (vr_mdm_winelab) binds these imports here; everything else it imports is
// Wine's own.
#include <ntddk.h>

// A monotonic clock in 100 ns units.  (On x64 the DDK reads the interrupt
// time from the kernel's shared page; the performance counter is a routine.)
static ULONGLONG Now() {
  LARGE_INTEGER frequency;
  const ULONGLONG counter = (ULONGLONG)KeQueryPerformanceCounter(&frequency).QuadPart;
  const ULONGLONG f = (ULONGLONG)frequency.QuadPart;
  return counter / f * 10000000ull + counter % f * 10000000ull / f;
}

// Wine runs a timer's DPC straight from its thread-pool callback and never
// queues one (the driver queues none itself): nothing is ever in a queue.
extern "C" BOOLEAN NTAPI ShimRemoveQueueDpc(PRKDPC) { return FALSE; }

// Windows signals an expired timer and then queues its DPC, so a DPC that
// reads its timer finds it signaled; Wine calls the DPC first and signals
// afterwards.  The shim keeps each timer's due time (on Now's clock) beside
// it, since Wine keeps its own in the timer's DueTime, and reads the state
// from it.
#define SHIM_TIMERS 64
static struct {
  PKTIMER Timer;
  ULONGLONG Due;  // 0: not armed, or cancelled before it expired
} Timers[SHIM_TIMERS];
static KSPIN_LOCK TimersLock;  // zero: an initialised spin lock

// The timer's slot (a new one when `add`), or NULL.  TimersLock held.
static ULONGLONG* DueOf(PKTIMER Timer, BOOLEAN add) {
  for (int i = 0; i < SHIM_TIMERS; ++i) {
    if (Timers[i].Timer == Timer) return &Timers[i].Due;
  }
  if (!add) return NULL;
  for (int i = 0; i < SHIM_TIMERS; ++i) {
    if (Timers[i].Timer == NULL) {
      Timers[i].Timer = Timer;
      return &Timers[i].Due;
    }
  }
  return NULL;  // full: the timer falls back to Wine's own signal state
}

static KIRQL LockTimers() {
  KIRQL irql;
  KeAcquireSpinLock(&TimersLock, &irql);
  return irql;
}

extern "C" BOOLEAN NTAPI ShimSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  KIRQL irql = LockTimers();
  ULONGLONG* due = DueOf(Timer, TRUE);
  // Relative due times only (the driver sets no absolute one); an absolute
  // one falls back to Wine's own signal state.
  if (due != NULL) *due = DueTime.QuadPart < 0 ? Now() + (ULONGLONG)(-DueTime.QuadPart) : 0;
  KeReleaseSpinLock(&TimersLock, irql);
  return KeSetTimer(Timer, DueTime, Dpc);
}

extern "C" BOOLEAN NTAPI ShimCancelTimer(PKTIMER Timer) {
  KIRQL irql = LockTimers();
  ULONGLONG* due = DueOf(Timer, FALSE);
  // Cancelled before it expired, a timer stays unsignaled.
  if (due != NULL && *due != 0 && Now() < *due) *due = 0;
  KeReleaseSpinLock(&TimersLock, irql);
  return KeCancelTimer(Timer);
}

extern "C" BOOLEAN NTAPI ShimReadStateTimer(PKTIMER Timer) {
  if (Timer->Header.SignalState != 0) return TRUE;
  KIRQL irql = LockTimers();
  ULONGLONG* due = DueOf(Timer, FALSE);
  const BOOLEAN expired = due != NULL && *due != 0 && Now() >= *due;
  KeReleaseSpinLock(&TimersLock, irql);
  return expired;
}

// Wine's PnP manager has no device-state query to follow this with.
extern "C" VOID NTAPI ShimInvalidateDeviceState(PDEVICE_OBJECT) {}

typedef struct _SHIM_POWER_REQUEST {
  UCHAR MinorFunction;
  POWER_STATE State;
  PREQUEST_POWER_COMPLETE Complete;
  PVOID Context;
  PDEVICE_OBJECT Target;  // referenced until the IRP completes
} SHIM_POWER_REQUEST, *PSHIM_POWER_REQUEST;

static NTSTATUS NTAPI PowerIrpDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  PSHIM_POWER_REQUEST request = (PSHIM_POWER_REQUEST)Context;
  if (request->Complete != NULL) {
    request->Complete(request->Target, request->MinorFunction, request->State, request->Context,
                      &Irp->IoStatus);
  }
  ObDereferenceObject(request->Target);
  ExFreePool(request);
  IoFreeIrp(Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A device power IRP sent to the top of the PDO's stack, as the power
// manager would; CompletionFunction runs when it completes.
extern "C" NTSTATUS NTAPI ShimRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                              POWER_STATE PowerState,
                                              PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context,
                                              PIRP* Irp) {
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER)
    return STATUS_INVALID_PARAMETER_2;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PSHIM_POWER_REQUEST request =
      (PSHIM_POWER_REQUEST)ExAllocatePoolWithTag(NonPagedPool, sizeof(SHIM_POWER_REQUEST), 0x6d696853);
  PIRP irp = request != NULL ? IoAllocateIrp(top->StackSize, FALSE) : NULL;
  if (irp == NULL) {
    if (request != NULL) ExFreePool(request);
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  request->MinorFunction = MinorFunction;
  request->State = PowerState;
  request->Complete = CompletionFunction;
  request->Context = Context;
  request->Target = top;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = MinorFunction;
  stack->Parameters.Power.Type = DevicePowerState;
  stack->Parameters.Power.State = PowerState;
  IoSetCompletionRoutine(irp, PowerIrpDone, request, TRUE, TRUE, TRUE);
  if (Irp != NULL) *Irp = irp;
  PoCallDriver(top, irp);
  return STATUS_PENDING;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }
