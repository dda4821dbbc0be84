#include "io_test_util.h"

#include <gtest/gtest.h>

namespace iotest {

NTSTATUS wait_now(PVOID object) {
  LARGE_INTEGER zero{};
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

LARGE_INTEGER relative(std::chrono::nanoseconds d) {
  LARGE_INTEGER t;
  t.QuadPart = -(d.count() / 100);
  return t;
}

PVOID start_thread(PKSTART_ROUTINE routine, PVOID context, bool keep_handle) {
  HANDLE handle = nullptr;
  PVOID object = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
            STATUS_SUCCESS);
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  if (!keep_handle) ZwClose(handle);
  return object;
}

void join(PVOID thread) {
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(thread);
}

namespace {

NTSTATUS NTAPI FnDispatch(PDEVICE_OBJECT dev, PIRP irp) {
  Fn* fn = *static_cast<Fn**>(dev->DeviceExtension);
  return (*fn)(dev, irp);
}

NTSTATUS NTAPI FnDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& slot : driver->MajorFunction) slot = FnDispatch;
  return STATUS_SUCCESS;
}

}  // namespace

emu::Driver load_fn_driver(std::u16string_view name) {
  return emu::load_driver(FnDriverEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\FnTest",
                          name);
}

PDEVICE_OBJECT make_device(PDRIVER_OBJECT driver, Fn* fn, PDEVICE_OBJECT below, const char16_t* name) {
  UNICODE_STRING uname;
  if (name != nullptr) RtlInitUnicodeString(&uname, name);
  PDEVICE_OBJECT dev = nullptr;
  if (!NT_SUCCESS(
          IoCreateDevice(driver, sizeof(Fn*), name ? &uname : nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev)))
    return nullptr;
  *static_cast<Fn**>(dev->DeviceExtension) = fn;
  if (below != nullptr) IoAttachDeviceToDeviceStack(dev, below);
  dev->Flags |= DO_BUFFERED_IO;
  dev->Flags &= ~DO_DEVICE_INITIALIZING;
  return dev;
}

void drop_device(PDEVICE_OBJECT device, PDEVICE_OBJECT below) {
  if (below != nullptr) IoDetachDevice(below);
  IoDeleteDevice(device);
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS link(const char16_t* link, const char16_t* target) {
  UNICODE_STRING l, t;
  RtlInitUnicodeString(&l, link);
  RtlInitUnicodeString(&t, target);
  return IoCreateSymbolicLink(&l, &t);
}

NTSTATUS unlink(const char16_t* link) {
  UNICODE_STRING l;
  RtlInitUnicodeString(&l, link);
  return IoDeleteSymbolicLink(&l);
}

}  // namespace iotest
