// WMILIB.SYS for the Wine lab only: Wine ships no WMI library, and
// vr_mdm.sys imports one routine of it.  Wine's kernel never sends
// IRP_MJ_SYSTEM_CONTROL, so the stand-in only has to load and to answer
// sanely if it ever is called: the request is not one it handles, and goes
// down the stack unchanged.  Never installed anywhere but the lab's prefix.
#include <ntddk.h>
#include <wmilib.h>

extern "C" __declspec(dllexport) NTSTATUS NTAPI
    WmiSystemControl(PWMILIB_CONTEXT, PDEVICE_OBJECT, PIRP Irp, PSYSCTL_IRP_DISPOSITION IrpDisposition) {
  *IrpDisposition = IrpForward;
  return Irp->IoStatus.Status;
}

// An export driver's entry: run only if the image is loaded as a driver.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }
