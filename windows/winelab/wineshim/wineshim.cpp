// VRMDM_WINESHIM.SYS: the four kernel routines vr_mdm.sys imports that
// Wine 8.0's ntoskrnl.exe exports only as stubs (calling one aborts the
// whole winedevice.exe), written for Wine's model of the kernel.  Only the
// lab's build of the driver (vr_mdm_winelab) binds these four imports here;
// everything else it imports is Wine's own.
#include <ntddk.h>

// Wine runs a timer's DPC straight from its thread-pool callback and never
// queues one (the driver queues none itself): nothing is ever in a queue.
extern "C" BOOLEAN NTAPI ShimRemoveQueueDpc(PRKDPC) { return FALSE; }

// The signal state Wine keeps in the timer's dispatcher header.
extern "C" BOOLEAN NTAPI ShimReadStateTimer(PKTIMER Timer) { return Timer->Header.SignalState != 0; }

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
