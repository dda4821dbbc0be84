// The real backend: the driver loaded into the emulator, the simulated modem
// on the emulated USB bus.
#pragma once

#include <memory>
#include <string>

#include "port_backend.h"

namespace vrmdm {

struct EmuBackendOptions {
  bool trace = false;        // echo DbgPrint lines to stderr
  std::string driver_image;  // a kernel image file to run instead of the linked driver
};

// Throws std::runtime_error naming the reason when the driver image cannot be loaded.
std::unique_ptr<PortBackend> make_emu_backend(const EmuBackendOptions& options);

}  // namespace vrmdm
