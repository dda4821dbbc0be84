// Trap and emulate: the privileged instructions a kernel image executes
// inline.  In user mode `mov %cr8` raises #GP and a %gs-relative read (gs base
// 0) faults on page zero; both arrive as a synchronous SIGSEGV on the thread
// that executed them, at a known instruction of driver code.  The handler
// decodes that instruction, does what the processor would have done to the
// emulated state and steps past it.  The handler runs on the faulting thread
// in the middle of driver code, not inside the emulator, so it may take the
// emulator's locks (a verifier report) like any routine the driver calls.
//
// A cr8 write is KfRaiseIrql's when the same thread read cr8 just before it
// (the DDK's inline raise reads the old level, then writes the new one; the
// compiler keeps the two a few bytes apart), else KeLowerIrql's.  The two are
// checked differently: a raise to a lower level, or a lower to a higher one,
// is each a finding.
//
// %gs: the first access of a thread points its gs base (arch_prctl) at a
// processor block of its own, so later accesses run natively; the block's
// CurrentThread is the thread's KTHREAD, which never changes for the life of
// the OS thread.

#include <asm/prctl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ke/ke_internal.h"
#include "ldr_internal.h"

namespace emu::ldr {
namespace {

struct CodeRange {
  std::atomic<bool> taken{false};
  std::atomic<uintptr_t> lo{0};  // 0 while the slot is free or being filled
  std::atomic<uintptr_t> hi{0};
};
constexpr std::size_t kSlots = 64;
CodeRange g_code[kSlots];

std::atomic<uint64_t> g_cr8_reads{0}, g_cr8_writes{0}, g_gs_reads{0};

struct sigaction g_previous;  // the handler before ours, for faults not ours

// The x64 KPCR as far as drivers read it inline: Self at 0x18, CurrentPrcb
// at 0x20, the KPRCB at 0x180 with CurrentThread at 0x188.
constexpr std::size_t kBlockSize = 0x1000;
constexpr std::size_t kSelf = 0x18, kCurrentPrcb = 0x20, kPrcb = 0x180, kCurrentThread = 0x188;
struct alignas(64) ProcessorBlock {
  uint8_t bytes[kBlockSize];
  bool ready;
};
thread_local ProcessorBlock t_block;
thread_local uintptr_t t_last_cr8_read = 0;  // pc of the thread's latest cr8 read
constexpr uintptr_t kRaiseSpan = 24;         // read-to-write distance of an inline raise

void put64(uint8_t* at, uint64_t v) { std::memcpy(at, &v, 8); }

ProcessorBlock& processor_block() {
  ProcessorBlock& b = t_block;
  if (!b.ready) {
    std::memset(b.bytes, 0, sizeof b.bytes);
    put64(b.bytes + kSelf, reinterpret_cast<uint64_t>(b.bytes));
    put64(b.bytes + kCurrentPrcb, reinterpret_cast<uint64_t>(b.bytes + kPrcb));
    put64(b.bytes + kCurrentThread, reinterpret_cast<uint64_t>(emu::ke::current_thread()));
    b.ready = true;
  }
  return b;
}

// Instruction-encoding register numbers to ucontext slots.
constexpr int kGreg[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                           REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

// The end of the registered code range holding `pc`, or 0.
uintptr_t code_end(uintptr_t pc) {
  for (CodeRange& r : g_code) {
    const uintptr_t lo = r.lo.load(std::memory_order_acquire);
    if (lo != 0 && pc >= lo) {
      const uintptr_t hi = r.hi.load(std::memory_order_acquire);
      if (pc < hi) return hi;
    }
  }
  return 0;
}

// Emulates the instruction at the faulting pc; false when it is not one of ours.
bool emulate(greg_t* g) {
  const auto pc = static_cast<uintptr_t>(g[REG_RIP]);
  const uintptr_t end = code_end(pc);
  if (end == 0) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(pc);
  const auto* const stop = reinterpret_cast<const uint8_t*>(end);
  const bool gs = p < stop && *p == 0x65;
  if (gs) ++p;
  uint8_t rex = 0;
  if (p < stop && (*p & 0xF0) == 0x40) rex = *p++;
  const int rex_r = (rex & 4) ? 8 : 0, rex_b = (rex & 1) ? 8 : 0;

  // mov %cr8, r64 (0F 20 /r) and mov r64, %cr8 (0F 22 /r), register form.
  if (!gs && stop - p >= 3 && p[0] == 0x0F && (p[1] == 0x20 || p[1] == 0x22) && (p[2] >> 6) == 3) {
    const int cr = ((p[2] >> 3) & 7) | rex_r;
    const int reg = (p[2] & 7) | rex_b;
    if (cr != 8) return false;
    if (p[1] == 0x20) {
      g[kGreg[reg]] = static_cast<greg_t>(emu::ke::current_irql());
      t_last_cr8_read = pc;
      g_cr8_reads.fetch_add(1, std::memory_order_relaxed);
    } else {
      const bool raise = t_last_cr8_read != 0 && pc > t_last_cr8_read && pc - t_last_cr8_read <= kRaiseSpan;
      t_last_cr8_read = 0;
      emu::ke::write_irql(static_cast<KIRQL>(g[kGreg[reg]] & 0xF), raise);
      g_cr8_writes.fetch_add(1, std::memory_order_relaxed);
    }
    g[REG_RIP] = static_cast<greg_t>(reinterpret_cast<uintptr_t>(p + 3));
    return true;
  }

  // mov %gs:disp32, r32/r64 (65 [REX] 8B /r, ModRM mod 00 rm 100, SIB 25).
  if (gs && stop - p >= 7 && p[0] == 0x8B && (p[1] & 0xC7) == 0x04 && p[2] == 0x25) {
    int32_t disp;
    std::memcpy(&disp, p + 3, 4);
    const std::size_t width = (rex & 8) ? 8 : 4;
    if (disp < 0 || static_cast<std::size_t>(disp) + width > kBlockSize) return false;
    ProcessorBlock& b = processor_block();
    uint64_t base = 0;
    syscall(SYS_arch_prctl, ARCH_GET_GS, &base);
    // With the base already ours, the fault was not the base's: not ours to hide.
    if (base == reinterpret_cast<uint64_t>(b.bytes)) return false;
    uint64_t value = 0;
    std::memcpy(&value, b.bytes + disp, width);
    g[kGreg[((p[1] >> 3) & 7) | rex_r]] = static_cast<greg_t>(value);
    syscall(SYS_arch_prctl, ARCH_SET_GS, reinterpret_cast<uint64_t>(b.bytes));
    g_gs_reads.fetch_add(1, std::memory_order_relaxed);
    g[REG_RIP] = static_cast<greg_t>(reinterpret_cast<uintptr_t>(p + 7));
    return true;
  }
  return false;
}

void on_segv(int sig, siginfo_t* info, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  if (emulate(uc->uc_mcontext.gregs)) return;
  // A real fault in an image's code: name the routine before the crash does
  // (the host's tools know nothing of the image).
  const auto* pc = reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RIP]);
  if (is_image_code(pc)) {
    char line[256];
    const int n = std::snprintf(line, sizeof line, "emu: access violation at %s (address %p)\n",
                                describe_address(pc).value_or("?").c_str(), info->si_addr);
    if (n > 0) (void)!write(STDERR_FILENO, line, std::min<std::size_t>(std::size_t(n), sizeof line - 1));
  }
  if ((g_previous.sa_flags & SA_SIGINFO) && g_previous.sa_sigaction != nullptr) {
    g_previous.sa_sigaction(sig, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
  } else {
    // Default action: restore it; the instruction faults again and ends the process.
    signal(sig, SIG_DFL);
  }
}

void install_handler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction sa {};
    sa.sa_sigaction = on_segv;
    sigemptyset(&sa.sa_mask);
    // SA_NODEFER: a real crash inside the handler still reaches the previous one.
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigaction(SIGSEGV, &sa, &g_previous);
  });
}

}  // namespace

bool register_code(uintptr_t lo, uintptr_t hi) {
  install_handler();
  for (CodeRange& r : g_code) {
    bool expected = false;
    // lo is published last: the handler never sees a half-filled range.
    if (r.taken.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
      r.hi.store(hi, std::memory_order_release);
      r.lo.store(lo, std::memory_order_release);
      return true;
    }
  }
  return false;
}

void unregister_code(uintptr_t lo, uintptr_t hi) {
  for (CodeRange& r : g_code) {
    if (r.lo.load(std::memory_order_acquire) == lo && r.hi.load(std::memory_order_acquire) == hi) {
      r.lo.store(0, std::memory_order_release);
      r.hi.store(0, std::memory_order_release);
      r.taken.store(false, std::memory_order_release);
      return;
    }
  }
}

bool is_image_code(const void* address) { return code_end(reinterpret_cast<uintptr_t>(address)) != 0; }

TrapCounts trap_counts() {
  return {g_cr8_reads.load(std::memory_order_relaxed), g_cr8_writes.load(std::memory_order_relaxed),
          g_gs_reads.load(std::memory_order_relaxed)};
}

}  // namespace emu::ldr
