// Kernel-mode images: an x64 driver file (.sys, PE32+) mapped into the
// emulator, its imports bound to the emulator's own kernel routines, so that
// the binary built for Windows runs under the same checks as a linked driver.
//
//   std::string why;
//   auto image = emu::ldr::load_image_file("build/windows/vr_mdm.sys", &why);
//   if (!image) FAIL() << why;              // e.g. "imports ntoskrnl.exe!KeBugCheckEx, ..."
//   emu::Driver drv = emu::load_driver(image, u"\\REGISTRY\\...\\Services\\vr_mdm");
//
// The image's own `mov %cr8` and `%gs:` reads (the DDK's inline IRQL routines
// and KeGetCurrentThread) fault in user mode; a SIGSEGV handler installed with
// the first image emulates them on the faulting thread: cr8 is that thread's
// IRQL, written with KfRaiseIrql's / KfLowerIrql's checks, and %gs points at a
// per-thread processor block whose CurrentThread (0x188) is the thread's
// KTHREAD.  Faults anywhere else go to the handler that was there before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace emu::ldr {

// One mapped image.  Unmapped when the last reference goes (the I/O manager
// keeps one while the driver is loaded).  Thread-safe: immutable once loaded.
class Image {
 public:
  ~Image();
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;

  const std::string& name() const { return name_; }  // file name, e.g. "vr_mdm.sys"
  void* base() const { return base_; }
  std::size_t size() const { return size_; }
  bool contains(const void* address) const;
  void* entry_point() const;  // AddressOfEntryPoint (DriverEntry)
  // An exported or COFF-symbol routine of the image by name; null if absent.
  void* symbol(std::string_view name) const;
  // "DriverEntry+0x12" from the image's symbols, else "vr_mdm.sys+0x1494".
  std::string describe(const void* address) const;

  struct State;
  explicit Image(std::unique_ptr<State> state);

 private:
  std::unique_ptr<State> state_;
  std::string name_;
  void* base_ = nullptr;
  std::size_t size_ = 0;
};

// Validates and maps `file`: PE32+ for AMD64, headers and section table
// inside the file, sections inside the image and not overlapping, base
// relocations and imports inside the image, every import exported by the
// emulator (ntoskrnl.exe, HAL.dll, USBD.SYS, WMILIB.SYS), an entry point in
// an executable section.  Relocates to wherever the mapping lands and gives
// each section its protection.  On failure returns null with the reason in
// `error`, and nothing stays mapped.  `linker_map`: the text of a GNU ld map
// of the image, whose symbols name routines a stripped image cannot.
std::shared_ptr<Image> load_image(std::span<const uint8_t> file, std::string_view name, std::string* error,
                                  std::string_view linker_map = {});
// The same from a file; a "<name>.map" beside "<name>.sys" is read too.
std::shared_ptr<Image> load_image_file(const std::string& path, std::string* error);

// Image mappings alive right now (a refused load leaves this unchanged).
std::size_t mapped_images();

// Whether `address` lies in the code of a mapped image.  Lock-free.
bool is_image_code(const void* address);

// The name of `address` if it lies in a mapped image (for findings).
std::optional<std::string> describe_address(const void* address);

// The emulator's routine (or variable) that `module!name` binds to, or null.
// Module names compare case-insensitively, as the Windows loader's do.
const void* kernel_export(std::string_view module, std::string_view name);

// Privileged instructions emulated so far (all threads), for tests and
// measurements.
struct TrapCounts {
  uint64_t cr8_reads = 0;
  uint64_t cr8_writes = 0;
  uint64_t gs_reads = 0;  // first %gs access of a thread; later ones run natively
};
TrapCounts trap_counts();

}  // namespace emu::ldr
