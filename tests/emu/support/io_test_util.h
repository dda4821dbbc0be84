// Helpers shared by the emulator's tests: waits, due times and system
// threads; finding checks, and a driver whose dispatch routine runs a
// per-device function, for building stacks of test devices.
#pragma once

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/verifier.h>
#include <nt/ntddk.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace iotest {

// A wait on `object` with a zero time-out: it never blocks.
NTSTATUS wait_now(PVOID object);
// A due time `d` from now, as the waits and KeSetTimer take it.
LARGE_INTEGER relative(std::chrono::nanoseconds d);
// A system thread running `routine`, its object referenced (the handle
// kept open, a leak, when asked); join() waits for it and drops the reference.
PVOID start_thread(PKSTART_ROUTINE routine, PVOID context, bool keep_handle = false);
void join(PVOID thread);

using Fn = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// A driver whose every major function calls the Fn stored in the device's
// extension (see make_device).
emu::Driver load_fn_driver(std::u16string_view name = u"\\Driver\\FnTest");

// A device of `driver` running `fn` (which must outlive it), attached on top
// of `below` when given.
PDEVICE_OBJECT make_device(PDRIVER_OBJECT driver, Fn* fn, PDEVICE_OBJECT below = nullptr,
                           const char16_t* name = nullptr);
// Detaches (when attached) and deletes a device made by make_device.
void drop_device(PDEVICE_OBJECT device, PDEVICE_OBJECT below = nullptr);

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

// A symbolic link from `link` to `target` (full names), and its removal.
NTSTATUS link(const char16_t* link, const char16_t* target);
NTSTATUS unlink(const char16_t* link);

}  // namespace iotest
