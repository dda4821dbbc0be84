// The DDK's IRQL and lock annotations (driverspecs.h, concurrencysal.h,
// sal.h), as checks the emulator runs.
//
// On Windows these are notes for static analysis.  Here each annotation that
// states a condition on entry places the function in a section named after
// that condition ("contract_irql_max_2"...).  Driver code is compiled with
// -finstrument-functions, so every function entry calls the emulator's hook,
// which finds the section the entered function lies in and checks its
// condition on the calling thread: a broken contract is a verifier finding.
//
// A function lies in one section, so a declaration carries one checked
// condition; GCC refuses two different ones ("section conflicts").  A lock
// annotation states the IRQL its spin lock implies (held: DISPATCH_LEVEL or
// above; not held: DISPATCH_LEVEL or below), so it stands alone, without an
// IRQL annotation beside it.  Annotations of one condition combine:
// _Requires_lock_held_(L) with _Releases_lock_(L), _Requires_lock_not_held_(L)
// with _Acquires_lock_(L).
//
// The cancel spin lock (_Global_cancel_spin_lock_) is checked exactly.  Any
// other lock expression stands for "a spin lock other than the cancel spin
// lock": held means the thread holds at least one, not held means it holds
// none (a routine that takes a lock is not entered holding a later one of
// the lock order either).
//
// Conditions on exit (_IRQL_requires_same_, _IRQL_raises_, _IRQL_saves_,
// _IRQL_restores_) are notes here: the kernel checks the IRQL a driver
// routine returns at wherever it calls one.
#pragma once

#define EMU_CONTRACT_STR_(x) #x
#define EMU_CONTRACT_STR(x) EMU_CONTRACT_STR_(x)
#define EMU_CONTRACT_SECTION_(condition) [[gnu::section("contract_" EMU_CONTRACT_STR(condition))]]

// IRQL levels the checks know; another level is a compile error (an unknown
// EMU_CONTRACT_irql_... name) rather than a condition nobody checks.
#define EMU_CONTRACT_irql_max_0 EMU_CONTRACT_SECTION_(irql_max_0)
#define EMU_CONTRACT_irql_max_1 EMU_CONTRACT_SECTION_(irql_max_1)
#define EMU_CONTRACT_irql_max_2 EMU_CONTRACT_SECTION_(irql_max_2)
#define EMU_CONTRACT_irql_max_15  // HIGH_LEVEL: any IRQL, nothing to check
#define EMU_CONTRACT_irql_eq_0 EMU_CONTRACT_SECTION_(irql_eq_0)
#define EMU_CONTRACT_irql_eq_1 EMU_CONTRACT_SECTION_(irql_eq_1)
#define EMU_CONTRACT_irql_eq_2 EMU_CONTRACT_SECTION_(irql_eq_2)
#define EMU_CONTRACT_irql_min_0
#define EMU_CONTRACT_irql_min_1 EMU_CONTRACT_SECTION_(irql_min_1)
#define EMU_CONTRACT_irql_min_2 EMU_CONTRACT_SECTION_(irql_min_2)
#define EMU_CONTRACT_IRQL_(kind, irql) EMU_CONTRACT_##kind##irql
#define EMU_CONTRACT_IRQL(kind, irql) EMU_CONTRACT_IRQL_(kind, irql)

// The cancel spin lock expands to a parenthesised marker; the probe below
// tells it from any other lock expression.
#define _Global_cancel_spin_lock_ (emu_cancel_spin_lock)
#define EMU_CONTRACT_CANCEL_PROBE(...) ~, cancel_lock
#define EMU_CONTRACT_SECOND_(a, b, ...) b
#define EMU_CONTRACT_SECOND(...) EMU_CONTRACT_SECOND_(__VA_ARGS__)
#define EMU_CONTRACT_LOCK_KIND(lock) EMU_CONTRACT_SECOND(EMU_CONTRACT_CANCEL_PROBE lock, spin_lock, ~)
#define EMU_CONTRACT_LOCK_(kind, state) EMU_CONTRACT_SECTION_(kind##_##state)
#define EMU_CONTRACT_LOCK__(kind, state) EMU_CONTRACT_LOCK_(kind, state)
#define EMU_CONTRACT_LOCK(lock, state) EMU_CONTRACT_LOCK__(EMU_CONTRACT_LOCK_KIND(lock), state)

// ---- IRQL (driverspecs.h) ---------------------------------------------------
#define _IRQL_requires_max_(irql) EMU_CONTRACT_IRQL(irql_max_, irql)
#define _IRQL_requires_(irql) EMU_CONTRACT_IRQL(irql_eq_, irql)
#define _IRQL_requires_min_(irql) EMU_CONTRACT_IRQL(irql_min_, irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define _IRQL_saves_global_(kind, param)
#define _IRQL_restores_global_(kind, param)
#define _IRQL_always_function_max_(irql)
#define _IRQL_always_function_min_(irql)

// ---- Locks (concurrencysal.h) -----------------------------------------------
#define _Requires_lock_held_(lock) EMU_CONTRACT_LOCK(lock, held)
#define _Requires_exclusive_lock_held_(lock) EMU_CONTRACT_LOCK(lock, held)
#define _Releases_lock_(lock) EMU_CONTRACT_LOCK(lock, held)
#define _Releases_exclusive_lock_(lock) EMU_CONTRACT_LOCK(lock, held)
#define _Requires_lock_not_held_(lock) EMU_CONTRACT_LOCK(lock, free)
#define _Acquires_lock_(lock) EMU_CONTRACT_LOCK(lock, free)
#define _Acquires_exclusive_lock_(lock) EMU_CONTRACT_LOCK(lock, free)
#define _Requires_no_locks_held_ EMU_CONTRACT_SECTION_(no_spin_lock)
#define _Guarded_by_(lock)
#define _Interlocked_

// ---- Function roles and definitions (sal.h) ---------------------------------
#define _Function_class_(name)
#define _Use_decl_annotations_
