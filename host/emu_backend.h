// The real backend: the driver loaded into the emulator, the simulated modem
// on the emulated USB bus.
#pragma once

#include <memory>
#include <string>

#include <emu/usb/scenario_modem.h>

#include "port_backend.h"

namespace vrmdm {

struct EmuBackendOptions {
  bool trace = false;        // echo DbgPrint lines to stderr
  std::string driver_image;  // a kernel image file to run instead of the linked driver
  // The modem behind a USB/IP device, when this process serves it: the
  // scenario's `modem` commands go to it (tests).  Otherwise they do nothing
  // on a USB/IP device.
  std::shared_ptr<emu::usb::ScenarioModem> usbip_modem;
};

// The simulated modem a plug asks for (variant, speed, zero-length packets,
// data source); null for an unknown variant or speed.
std::shared_ptr<emu::usb::ScenarioModem> make_modem(const PlugOptions& options);

// Throws std::runtime_error naming the reason when the driver image cannot be loaded.
std::unique_ptr<PortBackend> make_emu_backend(const EmuBackendOptions& options);

}  // namespace vrmdm
