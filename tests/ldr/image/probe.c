/* A small kernel image for the loader's tests, built with the mingw-w64 DDK
 * headers like vr_mdm.sys: its IRQL routines are the DDK's inline ones
 * (mov %cr8) and KeGetCurrentThread reads %gs:0x188.  The tests call the
 * exported routines directly, with the Windows calling convention. */
#include <ntddk.h>

/* A pointer the base relocations must fix up, and data the tests read. */
static const char probe_text[] = "probe";
const char* volatile ProbeTextPointer = probe_text;

__declspec(dllexport) KIRQL ProbeRaise(KIRQL level) {
  KIRQL old;
  KeRaiseIrql(level, &old);
  return old;
}

__declspec(dllexport) void ProbeLower(KIRQL level) { KeLowerIrql(level); }

__declspec(dllexport) KIRQL ProbeCurrentIrql(void) { return KeGetCurrentIrql(); }

__declspec(dllexport) PKTHREAD ProbeCurrentThread(void) { return KeGetCurrentThread(); }

/* Raised from where it was entered, then lowered below that level. */
__declspec(dllexport) void ProbeLowerBelowEntry(void) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeLowerIrql(PASSIVE_LEVEL);
}

/* A wait at DISPATCH_LEVEL: forbidden whatever the object. */
__declspec(dllexport) NTSTATUS ProbeWaitAtDispatch(PKEVENT event) {
  KIRQL old;
  LARGE_INTEGER timeout;
  NTSTATUS status;
  timeout.QuadPart = -10000;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  status = KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout);
  KeLowerIrql(old);
  return status;
}

__declspec(dllexport) const char* ProbeText(void) { return ProbeTextPointer; }

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  UNREFERENCED_PARAMETER(driver);
  UNREFERENCED_PARAMETER(path);
  return STATUS_SUCCESS;
}

/* A system thread of the image that ends itself. */
static VOID ProbeThread(PVOID context) {
  *(volatile LONG*)context = 1;
  PsTerminateSystemThread(STATUS_SUCCESS);
}

__declspec(dllexport) NTSTATUS ProbeStartThread(LONG* flag, HANDLE* handle) {
  return PsCreateSystemThread(handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, ProbeThread, flag);
}

/* A system thread that outlives its image's last reference: it waits, then
 * runs the image's code (an inline IRQL read included) and ends. */
static VOID ProbeWaiter(PVOID event) {
  KIRQL old;
  KeWaitForSingleObject(event, Executive, KernelMode, FALSE, NULL);
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeLowerIrql(old);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

__declspec(dllexport) NTSTATUS ProbeStartWaiter(PKEVENT event, HANDLE* handle) {
  return PsCreateSystemThread(handle, THREAD_ALL_ACCESS, NULL, NULL, NULL, ProbeWaiter, event);
}
