// Run-time checks of the DDK's IRQL and lock annotations (nt/driverspecs.h).
//
// An annotated driver routine lies in the section of its condition; driver
// code is compiled with -finstrument-functions, so each function entry calls
// __cyg_profile_func_enter, which looks the entered function up among the
// contract sections and checks the condition on the calling thread.  The
// look-up is a few comparisons: the hook runs on every driver call.
#include "io/io_internal.h"
#include "ke/ke_internal.h"

namespace {

using emu::verifier::Rule;

enum class Condition : unsigned char {
  IrqlMax,
  IrqlEq,
  IrqlMin,
  CancelHeld,
  CancelFree,
  SpinHeld,
  SpinFree,
  NoSpin
};

struct Contract {
  const char* begin;
  const char* end;
  Condition condition;
  KIRQL irql;
  const char* annotation;  // as the driver wrote it, for findings
};

}  // namespace

// The linker provides __start_/__stop_ for every section whose name is an
// identifier; a section no driver routine uses stays null (weak).
#define EMU_CONTRACT_BOUNDS(name)                                                              \
  extern "C" const char __start_contract_##name[] __attribute__((weak, visibility("hidden"))); \
  extern "C" const char __stop_contract_##name[] __attribute__((weak, visibility("hidden")));
#define EMU_CONTRACT(name, condition, irql, annotation) \
  {__start_contract_##name, __stop_contract_##name, Condition::condition, irql, annotation},

#define EMU_CONTRACT_LIST(X)                                                                             \
  X(irql_max_0, IrqlMax, PASSIVE_LEVEL, "_IRQL_requires_max_(PASSIVE_LEVEL)")                            \
  X(irql_max_1, IrqlMax, APC_LEVEL, "_IRQL_requires_max_(APC_LEVEL)")                                    \
  X(irql_max_2, IrqlMax, DISPATCH_LEVEL, "_IRQL_requires_max_(DISPATCH_LEVEL)")                          \
  X(irql_eq_0, IrqlEq, PASSIVE_LEVEL, "_IRQL_requires_(PASSIVE_LEVEL)")                                  \
  X(irql_eq_1, IrqlEq, APC_LEVEL, "_IRQL_requires_(APC_LEVEL)")                                          \
  X(irql_eq_2, IrqlEq, DISPATCH_LEVEL, "_IRQL_requires_(DISPATCH_LEVEL)")                                \
  X(irql_min_1, IrqlMin, APC_LEVEL, "_IRQL_requires_min_(APC_LEVEL)")                                    \
  X(irql_min_2, IrqlMin, DISPATCH_LEVEL, "_IRQL_requires_min_(DISPATCH_LEVEL)")                          \
  X(cancel_lock_held, CancelHeld, DISPATCH_LEVEL, "_Requires_lock_held_(_Global_cancel_spin_lock_)")     \
  X(cancel_lock_free, CancelFree, DISPATCH_LEVEL, "_Requires_lock_not_held_(_Global_cancel_spin_lock_)") \
  X(spin_lock_held, SpinHeld, DISPATCH_LEVEL, "_Requires_lock_held_(a spin lock)")                       \
  X(spin_lock_free, SpinFree, DISPATCH_LEVEL, "_Requires_lock_not_held_(a spin lock)")                   \
  X(no_spin_lock, NoSpin, DISPATCH_LEVEL, "_Requires_no_locks_held_")

#define EMU_CONTRACT_BOUNDS_OF(name, condition, irql, annotation) EMU_CONTRACT_BOUNDS(name)
EMU_CONTRACT_LIST(EMU_CONTRACT_BOUNDS_OF)

namespace emu::verifier {
namespace {

const Contract kContracts[] = {EMU_CONTRACT_LIST(EMU_CONTRACT)};

std::string irql_text(KIRQL irql) {
  static const char* const names[] = {"PASSIVE_LEVEL", "APC_LEVEL", "DISPATCH_LEVEL"};
  return std::to_string(irql) + (irql <= DISPATCH_LEVEL ? std::string(" (") + names[irql] + ")" : "");
}

void report_broken(Rule rule, const Contract& c, const void* fn, const void* site, const std::string& what) {
  report(rule, io::symbol_name(fn), nullptr,
         std::string(c.annotation) + ": " + what + " (called from " + io::symbol_name(site) + ")");
}

void check(const Contract& c, const void* fn, const void* site) {
  const KIRQL irql = ke::current_irql();
  switch (c.condition) {
    case Condition::IrqlMax:
    case Condition::IrqlEq:
    case Condition::IrqlMin: {
      const bool ok = c.condition == Condition::IrqlMax  ? irql <= c.irql
                      : c.condition == Condition::IrqlEq ? irql == c.irql
                                                         : irql >= c.irql;
      if (!ok) report_broken(Rule::contract_irql, c, fn, site, "entered at IRQL " + irql_text(irql));
      return;
    }
    default:
      break;
  }
  const bool cancel_held = ke::thread_holds_spin_lock(io::cancel_spin_lock());
  const std::size_t other_locks = ke::spin_locks_held() - (cancel_held ? 1 : 0);
  switch (c.condition) {
    case Condition::CancelHeld:
      if (!cancel_held)
        report_broken(Rule::contract_lock_not_held, c, fn, site, "entered without the cancel spin lock");
      return;
    case Condition::SpinHeld:
      if (other_locks == 0)
        report_broken(Rule::contract_lock_not_held, c, fn, site, "entered holding no spin lock");
      return;
    case Condition::CancelFree:
    case Condition::SpinFree:
    case Condition::NoSpin: {
      const bool held = c.condition == Condition::CancelFree ? cancel_held
                        : c.condition == Condition::SpinFree ? other_locks != 0
                                                             : cancel_held || other_locks != 0;
      if (held) {
        report_broken(Rule::contract_lock_held, c, fn, site,
                      cancel_held && c.condition != Condition::SpinFree
                          ? "entered holding the cancel spin lock"
                          : "entered holding a spin lock");
      } else if (irql > DISPATCH_LEVEL) {
        // Taking a spin lock needs DISPATCH_LEVEL or below.
        report_broken(Rule::contract_irql, c, fn, site, "entered at IRQL " + irql_text(irql));
      }
      return;
    }
    default:
      return;
  }
}

}  // namespace
}  // namespace emu::verifier

extern "C" void __cyg_profile_func_enter(void* fn, void* site) {
  emu::ke::check_owed_wait("a driver routine");
  const char* address = static_cast<const char*>(fn);
  for (const Contract& c : emu::verifier::kContracts) {
    if (address >= c.begin && address < c.end) {
      emu::verifier::check(c, fn, site);
      return;
    }
  }
}

extern "C" void __cyg_profile_func_exit(void*, void*) {}
