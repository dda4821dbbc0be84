// The emulated kernel's services for its other subsystems (I/O manager, USB
// bus, loader): IRQL checks on the routines they enter, object tracking, the
// between-tests reset hooks.  Not for drivers or tests; what tests use is in
// <emu/kernel.h>.
#pragma once

#include <emu/kernel.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace emu {

// Subsystems with state of their own (I/O manager, USB bus) register a hook
// that kernel_reset() runs first, in registration order.
void add_reset_hook(std::function<void()> hook);

}  // namespace emu

namespace emu::ke {

KIRQL current_irql();
// Sets the calling thread's IRQL with no check (for a subsystem that enters a
// driver routine at a given level, e.g. a completion routine at DISPATCH).
void set_irql(KIRQL irql);

// Records the IRQL a driver routine was entered at; check() reports an
// "irql-changed" finding naming the routine if it returned at another one.
class IrqlCheck {
 public:
  IrqlCheck(std::string_view routine, const void* object);
  ~IrqlCheck();
  bool check();  // reports at most once; also called by the destructor
  KIRQL at_entry() const { return at_entry_; }
  IrqlCheck(const IrqlCheck&) = delete;
  IrqlCheck& operator=(const IrqlCheck&) = delete;

 private:
  std::string routine_;
  const void* object_;
  KIRQL at_entry_;
  bool checked_ = false;
};
inline KIRQL irql_at_entry() { return current_irql(); }
void check_irql_unchanged(KIRQL at_entry, std::string_view routine, const void* object);

// Spin locks the calling thread holds (for "returned holding a spin lock").
std::size_t spin_locks_held();

}  // namespace emu::ke

// ---- Objects and handles, for subsystems that hand out kernel objects ----------------
namespace emu::ob {

// Makes `object` known to ObfReferenceObject/ObfDereferenceObject with one
// reference; `on_last` runs (outside any lock) when the count drops to 0.
void track(const void* object, std::string_view type_name, std::function<void()> on_last = {});
void untrack(const void* object);  // forget it, whatever its count
bool tracked(const void* object);
long reference_count(const void* object);  // -1 when unknown

}  // namespace emu::ob
