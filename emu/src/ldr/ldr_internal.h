// Shared by the loader's sources: the registry of mapped images that the
// trap handler and the symbol lookup consult.
#pragma once

#include <emu/loader.h>

#include <cstdint>

namespace emu::ldr {

// Makes [lo, hi) known as image code to the trap handler (installed on first
// use).  Lock-free for the handler's side; false when every slot is taken.
bool register_code(uintptr_t lo, uintptr_t hi);
void unregister_code(uintptr_t lo, uintptr_t hi);

// The mapped images, for describe_address() and mapped_images().
void enlist(const Image* image);
void delist(const Image* image);

}  // namespace emu::ldr
