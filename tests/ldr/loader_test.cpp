// The kernel-image loader on the probe image (tests/ldr/image/probe.c):
// mapping, relocation and binding; bad images made by mutating the good one;
// the emulated cr8 and %gs accesses on every kind of thread that runs driver
// code, checked against what the same calls draw from a linked driver.

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/loader.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>
#include <nt/ntddk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes probe_bytes() {
  std::ifstream in(VRMDM_PROBE_IMAGE, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Field access on a PE32+ file in memory, for mutations.
struct Pe {
  Bytes& b;
  template <class T>
  T get(std::size_t at) const {
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
  }
  template <class T>
  void put(std::size_t at, T v) {
    std::memcpy(b.data() + at, &v, sizeof v);
  }
  std::size_t pe() const { return get<uint32_t>(0x3C); }
  std::size_t file_header() const { return pe() + 4; }
  std::size_t opt() const { return pe() + 24; }
  std::size_t dir(int i) const { return opt() + 112 + 8 * i; }
  std::size_t sections() const { return opt() + get<uint16_t>(file_header() + 16); }
  std::size_t section(int i) const { return sections() + 40 * i; }
  int section_count() const { return get<uint16_t>(file_header() + 2); }
  std::size_t offset_of_rva(uint32_t rva) const {
    for (int i = 0; i < section_count(); ++i) {
      uint32_t va = get<uint32_t>(section(i) + 12), raw = get<uint32_t>(section(i) + 16);
      if (rva >= va && rva < va + raw) return get<uint32_t>(section(i) + 20) + (rva - va);
    }
    ADD_FAILURE() << "rva " << rva << " has no file data";
    return 0;
  }
  int section_named(const char* name) const {
    for (int i = 0; i < section_count(); ++i)
      if (std::strncmp(reinterpret_cast<const char*>(b.data() + section(i)), name, 8) == 0) return i;
    ADD_FAILURE() << "no section " << name;
    return 0;
  }
  std::size_t find(const char* text) const {
    auto it = std::search(b.begin(), b.end(), text, text + std::strlen(text) + 1);
    EXPECT_NE(it, b.end()) << text;
    return static_cast<std::size_t>(it - b.begin());
  }
};

std::shared_ptr<emu::ldr::Image> load(const Bytes& bytes, std::string* error) {
  return emu::ldr::load_image(bytes, "probe.sys", error);
}

template <class F>
F routine(const emu::ldr::Image& image, const char* name) {
  void* p = image.symbol(name);
  EXPECT_NE(p, nullptr) << name;
  return reinterpret_cast<F>(p);
}

#define MS_ABI __attribute__((ms_abi))
using IrqlFn = KIRQL(MS_ABI*)();

VOID NTAPI run_function_dpc(PKDPC, PVOID context, PVOID, PVOID) {
  (*static_cast<std::function<void()>*>(context))();
}

class Loader : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = load(probe_bytes(), &error_);
    ASSERT_TRUE(image_) << error_;
  }
  std::string error_;
  std::shared_ptr<emu::ldr::Image> image_;
};

std::string maps_permissions(const void* address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  auto a = reinterpret_cast<uintptr_t>(address);
  while (std::getline(maps, line)) {
    uintptr_t lo = 0, hi = 0;
    char perms[8] = {};
    if (std::sscanf(line.c_str(), "%lx-%lx %7s", &lo, &hi, perms) == 3 && a >= lo && a < hi) return perms;
  }
  return "";
}

TEST_F(Loader, MapsRelocatesProtectsNamesAndLoadsTheImageAsADriverAndNamesAStrippedOneByOffset) {
  const auto base = reinterpret_cast<uintptr_t>(image_->base());
  EXPECT_NE(base, 0x140000000u) << "the probe should have moved, exercising its relocations";
  // The relocated pointer leads to the image's own string.
  const char* text = routine<const char*(MS_ABI*)()>(*image_, "ProbeText")();
  EXPECT_TRUE(image_->contains(text));
  EXPECT_STREQ(text, "probe");

  Bytes bytes = probe_bytes();
  Pe pe{bytes};
  auto at = [&](const char* section) {
    return static_cast<const uint8_t*>(image_->base()) +
           pe.get<uint32_t>(pe.section(pe.section_named(section)) + 12);
  };
  EXPECT_EQ(maps_permissions(image_->base()).substr(0, 3), "r--");
  EXPECT_EQ(maps_permissions(at(".text")).substr(0, 3), "r-x");
  EXPECT_EQ(maps_permissions(at(".rdata")).substr(0, 3), "r--");
  EXPECT_EQ(maps_permissions(at(".data")).substr(0, 3), "rw-");

  // Findings name the image's routines by its symbols.
  auto raise = reinterpret_cast<const uint8_t*>(image_->symbol("ProbeRaise"));
  EXPECT_EQ(image_->describe(raise), "ProbeRaise");
  EXPECT_EQ(emu::ldr::describe_address(raise + 3).value_or(""), "ProbeRaise+0x3");
  EXPECT_EQ(image_->entry_point(), image_->symbol("DriverEntry"));

  // Loaded as a driver, it goes with the driver.
  const std::size_t mapped = emu::ldr::mapped_images();
  emu::Driver driver = emu::load_driver(std::move(image_), u"\\REGISTRY\\MACHINE\\SYSTEM\\Probe");
  ASSERT_TRUE(driver.loaded());
  EXPECT_EQ(driver.entry_status(), STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(driver.object()->DriverStart), base);
  EXPECT_EQ(emu::ldr::mapped_images(), mapped);
  driver.unload();
  EXPECT_EQ(emu::ldr::mapped_images(), mapped - 1);

  // Without symbols an image is named by offset.
  pe.put<uint32_t>(pe.file_header() + 8, 0);  // no COFF symbol table
  pe.put<uint64_t>(pe.dir(0), 0);             // no exports
  std::string error;
  auto image = load(bytes, &error);
  ASSERT_TRUE(image) << error;
  const auto* entry = static_cast<const uint8_t*>(image->entry_point());
  char expected[64];
  std::snprintf(expected, sizeof expected, "probe.sys+0x%zx",
                static_cast<std::size_t>(entry + 1 - static_cast<const uint8_t*>(image->base())));
  EXPECT_EQ(image->describe(entry + 1), expected);

  // A linker map beside a stripped image names its routines (ld's layout:
  // 16 spaces, the address, spaces, the name with its parameters).
  const uint64_t entry_va = 0x140000000u + uint64_t(entry - static_cast<const uint8_t*>(image->base()));
  char map[160];
  std::snprintf(
      map, sizeof map,
      " .text 0x%016llx 0x40 probe.o\n                0x%016llx                DriverEntry(void*, void*)\n",
      static_cast<unsigned long long>(entry_va), static_cast<unsigned long long>(entry_va));
  image = emu::ldr::load_image(bytes, "probe.sys", &error, map);
  ASSERT_TRUE(image) << error;
  entry = static_cast<const uint8_t*>(image->entry_point());
  EXPECT_EQ(image->describe(entry + 1), "DriverEntry+0x1");
}

// The C runtime ntoskrnl.exe exports is bound to routines that take the
// Windows convention (the host's own take System V, and the host's swprintf
// is another function altogether); memcpy and memset the driver's image
// calls throughout its scenarios.
TEST(LoaderExports, CRuntimeExportsTakeTheWindowsConvention) {
  auto ex = [](const char* name) {
    const void* p = emu::ldr::kernel_export("ntoskrnl.exe", name);
    EXPECT_NE(p, nullptr) << name;
    return p;
  };
  char16_t wide[32] = {};
  auto swprintf_ms = reinterpret_cast<int(MS_ABI*)(char16_t*, const char16_t*, ...)>(ex("swprintf"));
  EXPECT_EQ(swprintf_ms(wide, u"%s%4.4d", u"\\Device\\X", 12), 13);
  EXPECT_EQ(std::u16string(wide), u"\\Device\\X0012");
  char a[8] = "abcdefg";
  reinterpret_cast<void*(MS_ABI*)(void*, const void*, size_t)>(ex("memmove"))(a + 1, a, 3);
  EXPECT_STREQ(a, "aabcefg");
  EXPECT_EQ(
      reinterpret_cast<int(MS_ABI*)(const char*, const char*, size_t)>(ex("strncmp"))("ATS7=1", "ATS7=", 5),
      0);
  EXPECT_STREQ(
      reinterpret_cast<const char*(MS_ABI*)(const char*, const char*)>(ex("strstr"))("xxATS7=", "ATS7"),
      "ATS7=");
  EXPECT_EQ(reinterpret_cast<size_t(MS_ABI*)(const char*)>(ex("strlen"))("four"), 4u);
  EXPECT_EQ(emu::ldr::kernel_export("ntoskrnl.exe", "KfAcquireSpinLock"), nullptr) << "x86 only";
  EXPECT_EQ(emu::ldr::kernel_export("HAL.dll", "KeStallExecutionProcessor"),
            reinterpret_cast<const void*>(&KeStallExecutionProcessor));
}

// ---- Bad images ----------------------------------------------------------------

// A mutation of the good image, and the reason expected in the error.
struct BadImage {
  std::function<void(Pe&)> mutate;
  const char* reason;
};

std::vector<BadImage> bad_images() {
  return {
      {[](Pe& p) { p.b[0] = 'X'; }, "no MZ header"},
      {[](Pe& p) { p.put<uint32_t>(0x3C, uint32_t(p.b.size())); }, "no PE signature"},
      {[](Pe& p) { p.put<uint16_t>(p.file_header(), 0x14C); }, "machine 0x14c is not AMD64"},
      {[](Pe& p) { p.put<uint16_t>(p.opt(), 0x10B); }, "is not PE32+"},
      {[](Pe& p) { p.b.resize(p.opt() + 64); }, "truncated optional header"},
      {[](Pe& p) { p.put<uint32_t>(p.opt() + 60, uint32_t(p.b.size() + 1)); }, "truncated headers"},
      {[](Pe& p) { p.b.resize(p.get<uint32_t>(p.section(p.section_named(".text")) + 20) + 16); },
       "is truncated"},
      {[](Pe& p) { p.put<uint32_t>(p.opt() + 56, p.get<uint32_t>(p.section(p.section_count() - 1) + 12)); },
       "lies outside the image"},
      {[](Pe& p) { p.put<uint32_t>(p.section(0) + 12, 0); }, "lies outside the image"},  // in the headers
      {[](Pe& p) { p.put<uint32_t>(p.section(1) + 12, p.get<uint32_t>(p.section(0) + 12)); },
       "sections overlap"},
      {[](Pe& p) { p.put<uint32_t>(p.opt() + 32, 0x200); }, "section alignment"},
      {[](Pe& p) { p.put<uint16_t>(p.file_header() + 2, 0); }, "bad section count"},
      {[](Pe& p) {
         p.put<uint16_t>(p.file_header() + 2,
                         uint16_t((p.get<uint32_t>(p.opt() + 60) - p.sections()) / 40 + 1));
       },
       "section table runs past the headers"},
      {[](Pe& p) { p.put<uint32_t>(p.offset_of_rva(p.get<uint32_t>(p.dir(5))), 0x7FFFF000); },
       "outside the image"},
      {[](Pe& p) { p.put<uint32_t>(p.dir(5), 0x7FFFFF00); }, "base relocation directory"},
      {[](Pe& p) {
         std::size_t entry = p.offset_of_rva(p.get<uint32_t>(p.dir(5))) + 8;
         p.put<uint16_t>(entry, uint16_t((p.get<uint16_t>(entry) & 0xFFF) | 0x3000));
       },
       "unsupported relocation type 3"},
      {[](Pe& p) { p.put<uint64_t>(p.dir(5), 0); }, "cannot move"},
      {[](Pe& p) { p.put<uint32_t>(p.dir(1), 0x7FFFFF00); }, "import directory"},
      {[](Pe& p) {
         uint32_t lookup = p.get<uint32_t>(p.offset_of_rva(p.get<uint32_t>(p.dir(1))));
         p.put<uint64_t>(p.offset_of_rva(lookup), 0x7FFFFF00);
       },
       "import name of ntoskrnl.exe"},
      {[](Pe& p) { p.put<uint32_t>(p.offset_of_rva(p.get<uint32_t>(p.dir(1))) + 16, 0x7FFFFF00); },
       "runs outside the image"},
      {[](Pe& p) { std::memcpy(p.b.data() + p.find("KeWaitForSingleObject"), "KeBugCheckEx", 13); },
       "ntoskrnl.exe!KeBugCheckEx"},
      {[](Pe& p) { std::memcpy(p.b.data() + p.find("ntoskrnl.exe"), "ntoskrnq.exe", 12); },
       "ntoskrnq.exe!KeWaitForSingleObject"},
      {[](Pe& p) {
         uint32_t lookup = p.get<uint32_t>(p.offset_of_rva(p.get<uint32_t>(p.dir(1))));
         p.put<uint64_t>(p.offset_of_rva(lookup), (uint64_t(1) << 63) | 7);
       },
       "ntoskrnl.exe!#7 (by ordinal)"},
      {[](Pe& p) { p.put<uint32_t>(p.opt() + 16, 0); }, "no entry point"},  // nor one in the data, below
      {[](Pe& p) {
         p.put<uint32_t>(p.opt() + 16, p.get<uint32_t>(p.section(p.section_named(".data")) + 12));
       },
       "no entry point"},
  };
}

TEST(LoaderBadImages, EachIsRefusedWithItsReasonAndLeavesNothing) {
  const std::size_t mapped = emu::ldr::mapped_images();
  const std::vector<BadImage> rows = bad_images();
  for (const BadImage& bad : rows) {
    SCOPED_TRACE(testing::Message() << "row " << &bad - rows.data() << ": " << bad.reason);
    Bytes bytes = probe_bytes();
    Pe pe{bytes};
    bad.mutate(pe);
    std::string error;
    auto image = load(bytes, &error);
    EXPECT_FALSE(image);
    EXPECT_NE(error.find(bad.reason), std::string::npos) << "error: " << error;
    EXPECT_EQ(error.rfind("probe.sys: ", 0), 0u) << error;
    EXPECT_EQ(emu::ldr::mapped_images(), mapped);
  }
  EXPECT_EQ(emu::verifier::count(), 0u);
}

// Random damage to the headers, the relocations and the imports: every
// mutant is refused or maps; none crashes or stays mapped.
TEST(LoaderBadImages, RandomMutantsNeverCrashOrLeak) {
  const char* env = std::getenv("VRMDM_LOADER_SEED");
  const unsigned seed = env ? static_cast<unsigned>(std::strtoul(env, nullptr, 0)) : 20261207u;
  std::mt19937 rng(seed);
  const Bytes good = probe_bytes();
  Pe gp{const_cast<Bytes&>(good)};
  std::vector<std::pair<std::size_t, std::size_t>> areas = {
      {0, gp.get<uint32_t>(gp.opt() + 60)},
      {gp.offset_of_rva(gp.get<uint32_t>(gp.dir(5))), gp.get<uint32_t>(gp.dir(5) + 4)},
      {gp.offset_of_rva(gp.get<uint32_t>(gp.dir(1))), 0x100},
  };
  const std::size_t mapped = emu::ldr::mapped_images();
  std::size_t loaded = 0, refused = 0;
  std::set<std::string> reasons;
  constexpr int kMutants = 3000;
  for (int i = 0; i < kMutants; ++i) {
    Bytes bytes = good;
    const int flips = 1 + int(rng() % 4);
    for (int f = 0; f < flips; ++f) {
      auto [lo, len] = areas[rng() % areas.size()];
      bytes[std::min(lo + rng() % len, bytes.size() - 1)] ^= uint8_t(1u << (rng() % 8));
    }
    if (rng() % 16 == 0) bytes.resize(rng() % bytes.size());
    std::string error;
    auto image = load(bytes, &error);
    if (image) {
      ++loaded;
    } else {
      ++refused;
      reasons.insert(error.substr(0, error.find_first_of("0123456789", 11)));
      ASSERT_FALSE(error.empty()) << "seed " << seed << " mutant " << i;
    }
    image.reset();
    ASSERT_EQ(emu::ldr::mapped_images(), mapped) << "seed " << seed << " mutant " << i;
  }
  std::printf("loader mutants: %d (seed %u): %zu mapped, %zu refused for %zu kinds of reason\n", kMutants,
              seed, loaded, refused, reasons.size());
  EXPECT_GT(refused, 0u);
  EXPECT_GT(reasons.size(), 8u);
}

// ---- Privileged instructions ----------------------------------------------------

// Every kind of thread that runs driver code sees its own KTHREAD at
// %gs:0x188 and its own IRQL in cr8; only its first %gs access traps.
TEST_F(Loader, EveryKindOfThreadSeesItsOwnThreadAndIrql) {
  auto thread_of = routine<PKTHREAD(MS_ABI*)()>(*image_, "ProbeCurrentThread");
  auto irql_of = routine<IrqlFn>(*image_, "ProbeCurrentIrql");
  int probes = 0;  // each place below probes once
  auto probe = [&](const char* where, KIRQL irql) {
    SCOPED_TRACE(where);  // a trace is the thread's own
    ++probes;
    const uint64_t gs = emu::ldr::trap_counts().gs_reads;
    PKTHREAD kernel = KeGetCurrentThread();
    EXPECT_NE(kernel, nullptr);
    EXPECT_EQ(thread_of(), kernel);
    EXPECT_EQ(thread_of(), kernel);
    EXPECT_EQ(emu::ldr::trap_counts().gs_reads - gs, 1u)
        << "the first access sets the thread's gs base; later ones run natively";
    EXPECT_EQ(KeGetCurrentIrql(), irql);
    EXPECT_EQ(irql_of(), irql);
  };
  std::thread([&] { probe("a foreign thread", PASSIVE_LEVEL); }).join();
  emu::run_on_system_thread(PASSIVE_LEVEL, [&] { probe("a system thread", PASSIVE_LEVEL); });
  emu::run_on_system_thread(APC_LEVEL, [&] { probe("a system thread at APC_LEVEL", APC_LEVEL); });
  std::promise<void> done;
  emu::ke::queue_work_item(
      [&] {
        probe("a work item", PASSIVE_LEVEL);
        done.set_value();
      },
      "probe");
  done.get_future().wait();
  KDPC dpc;
  std::function<void()> body = [&] { probe("the DPC thread", DISPATCH_LEVEL); };
  KeInitializeDpc(&dpc, run_function_dpc, &body);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  emu::ke::flush_dpcs();
  EXPECT_EQ(probes, 5);
  // The test thread too (its gs base may be set by an earlier test).
  EXPECT_EQ(thread_of(), KeGetCurrentThread());
}

// cr8 is the thread's IRQL; the image's inline IRQL changes draw the
// findings the kernel's own KeRaiseIrql/KeLowerIrql draw for the same mistake
// in a linked driver (the verifier's rows make those mistakes through the
// kernel's routines).
TEST_F(Loader, Cr8IsTheThreadsIrqlAndItsMistakesDrawTheLinkedDriversFindings) {
  auto raise = routine<KIRQL(MS_ABI*)(KIRQL)>(*image_, "ProbeRaise");
  auto lower = routine<void(MS_ABI*)(KIRQL)>(*image_, "ProbeLower");
  auto current = routine<IrqlFn>(*image_, "ProbeCurrentIrql");
  auto lower_below_entry = routine<void(MS_ABI*)()>(*image_, "ProbeLowerBelowEntry");
  auto wait_at_dispatch = routine<NTSTATUS(MS_ABI*)(PKEVENT)>(*image_, "ProbeWaitAtDispatch");
  const auto before = emu::ldr::trap_counts();
  EXPECT_EQ(current(), PASSIVE_LEVEL);
  EXPECT_EQ(raise(DISPATCH_LEVEL), PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(current(), DISPATCH_LEVEL);
  // The image's raise and the kernel's lower meet, and the other way round.
  KeLowerIrql(APC_LEVEL);
  EXPECT_EQ(current(), APC_LEVEL);
  KIRQL was;
  KeRaiseIrql(DISPATCH_LEVEL, &was);
  lower(PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  const auto after = emu::ldr::trap_counts();
  EXPECT_EQ(after.cr8_reads - before.cr8_reads, 4u);
  EXPECT_EQ(after.cr8_writes - before.cr8_writes, 2u);
  static KSPIN_LOCK lock;
  static KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);
  const struct {
    const char* what;
    KIRQL at;
    std::function<void()> image;
    const char* finding;
  } mistakes[] = {
      {"lowered below where it was entered", APC_LEVEL, [&] { lower_below_entry(); },
       "irql-changed in run_at_irql"},
      {"raised to a lower level", DISPATCH_LEVEL, [&] { raise(PASSIVE_LEVEL), raise(DISPATCH_LEVEL); },
       "irql-not-raised in KfRaiseIrql"},
      {"lowered to a higher level", PASSIVE_LEVEL, [&] { lower(DISPATCH_LEVEL), lower(PASSIVE_LEVEL); },
       "irql-not-lowered in KfLowerIrql"},
      {"lowered holding a spin lock", PASSIVE_LEVEL,
       [&] {
         KIRQL old;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLock(&lock, &old);
         lower(PASSIVE_LEVEL);
         raise(DISPATCH_LEVEL);
         KeReleaseSpinLock(&lock, old);
       },
       "irql-lowered-holding-spinlock in KfLowerIrql"},
      {"waited at DISPATCH_LEVEL", PASSIVE_LEVEL, [&] { wait_at_dispatch(&event); },
       "wait-at-dispatch in KeWaitForSingleObject"},
  };
  for (const auto& m : mistakes) {
    SCOPED_TRACE(m.what);
    emu::run_at_irql(m.at, m.image);
    std::vector<std::string> found;
    for (const auto& f : emu::verifier::take_findings())
      found.push_back(std::string(emu::verifier::id(f.rule)) + " in " + f.routine);
    EXPECT_EQ(found, std::vector<std::string>{m.finding});
  }
}

// Threads of the image leave through PsTerminateSystemThread, whose frames
// the host's unwinder cannot walk: they must still end cleanly, one of them
// after the image's last reference went (it stays mapped and trapped).
TEST_F(Loader, ImageThreadsEndThemselvesAndOutliveTheImage) {
  static KEVENT go;
  KeInitializeEvent(&go, NotificationEvent, FALSE);
  volatile LONG flag = 0;
  HANDLE handles[2] = {};
  PVOID threads[2] = {};
  auto start = routine<NTSTATUS(MS_ABI*)(LONG*, HANDLE*)>(*image_, "ProbeStartThread");
  ASSERT_EQ(start(const_cast<LONG*>(&flag), &handles[0]), STATUS_SUCCESS);
  ASSERT_EQ(routine<NTSTATUS(MS_ABI*)(PKEVENT, HANDLE*)>(*image_, "ProbeStartWaiter")(&go, &handles[1]),
            STATUS_SUCCESS);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(ObReferenceObjectByHandle(handles[i], 0, *PsThreadType, KernelMode, &threads[i], nullptr),
              STATUS_SUCCESS);
    ZwClose(handles[i]);
  }
  EXPECT_EQ(KeWaitForSingleObject(threads[0], Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(flag, 1);
  ASSERT_TRUE(emu::ke::wait_for_waiters(&go, 1));
  const std::size_t mapped = emu::ldr::mapped_images();
  const auto writes = emu::ldr::trap_counts().cr8_writes;
  image_.reset();
  EXPECT_EQ(emu::ldr::mapped_images(), mapped);
  KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(threads[1], Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(emu::ldr::trap_counts().cr8_writes - writes, 2u);
  for (PVOID thread : threads) ObfDereferenceObject(thread);
}

}  // namespace
