// The real backend: the driver loaded into the emulator, the simulated modem
// on the emulated USB bus.
#pragma once

#include <memory>

#include "port_backend.h"

namespace vrmdm {

struct EmuBackendOptions {
  bool trace = false;  // echo DbgPrint lines to stderr
};

std::unique_ptr<PortBackend> make_emu_backend(const EmuBackendOptions& options);

}  // namespace vrmdm
