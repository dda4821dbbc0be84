// What the USB/IP tests share: a server on a free loopback port (and the
// port rig, for the driver on a device imported from it).
#pragma once

#include <gtest/gtest.h>

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/usb/bus.h>
#include <emu/usb/usbip.h>
#include <emu/verifier.h>
#include <nt/ntddser.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "port_rig.h"

namespace usbiptest {

namespace usbip = emu::usb::usbip;

// A server on 127.0.0.1 at a free port, serving `device` to every import.
// Its session log lines are kept.
struct Served {
  explicit Served(std::function<std::shared_ptr<emu::usb::DeviceModel>()> make,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    usbip::ServerOptions o;
    o.listen = {"127.0.0.1", 0};
    o.make_device = std::move(make);
    o.io_timeout = timeout;
    o.log = [this](const std::string& line) {
      std::lock_guard lock(m);
      log.push_back(line);
    };
    std::string error;
    server = usbip::serve(o, error);
    EXPECT_TRUE(server) << error;
  }
  ~Served() {
    if (server) server->stop();
  }
  std::string target() const { return "127.0.0.1:" + std::to_string(server->port()); }
  usbip::ImportOptions import_options() const {
    usbip::ImportOptions o;
    o.server = {"127.0.0.1", server->port()};
    return o;
  }
  std::string joined_log() {
    std::lock_guard lock(m);
    std::string all;
    for (const auto& l : log) all += l + "\n";
    return all;
  }

  std::unique_ptr<usbip::Server> server;
  std::mutex m;
  std::vector<std::string> log;
};

using vrmdm_test::PortRig;

}  // namespace usbiptest
