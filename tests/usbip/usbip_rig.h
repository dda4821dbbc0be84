// What the USB/IP tests share: a server on a free loopback port, and the
// driver on a device imported from it, with its port open.
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

#include "core/driver_entry.h"

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

// The driver loaded, `model` plugged and started as COM5, the port open.
class PortRig {
 public:
  explicit PortRig(std::shared_ptr<emu::usb::DeviceModel> model) {
    driver_ =
        emu::load_driver(&DriverEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vr_mdm",
                         u"\\Driver\\vr_mdm");
    pdo_ = emu::usb::plug(std::move(model));
    node_ = emu::usb::node(pdo_);
    node_->set_port_name(u"COM5");
    EXPECT_EQ(node_->add_device(driver_), STATUS_SUCCESS);
    EXPECT_EQ(node_->start(), STATUS_SUCCESS);
    port_ = emu::open(u"\\DosDevices\\COM5");
    EXPECT_TRUE(port_.is_open());
  }
  ~PortRig() {
    port_.cancel_io();
    port_.close();
    port_.wait_closed(std::chrono::seconds(5));
    if (!emu::usb::info(pdo_).plugged) {
      node_->surprise_remove();
    } else {
      node_->query_remove();
    }
    node_->remove();
    driver_.unload();
    node_.reset();
    emu::usb::reset();
    emu::kernel_reset();
  }
  emu::Handle& port() { return port_; }
  PDEVICE_OBJECT pdo() const { return pdo_; }

  void set_timeouts(ULONG read_total_ms) {
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = read_total_ms;
    ASSERT_EQ(
        port_.ioctl(IOCTL_SERIAL_SET_TIMEOUTS, std::span(reinterpret_cast<const uint8_t*>(&t), sizeof t))
            .status,
        STATUS_SUCCESS);
  }

  // Writes `command` and reads until `answer` came; what came after it.
  std::vector<uint8_t> say(const std::string& command, const std::string& answer) {
    EXPECT_EQ(port_.write(command).status, STATUS_SUCCESS);
    std::string text;
    for (int i = 0; i < 100 && text.find(answer) == std::string::npos; ++i) {
      auto r = port_.read(4096);
      if (r.status != STATUS_SUCCESS) break;
      text.append(r.output.begin(), r.output.end());
    }
    const auto at = text.find(answer);
    EXPECT_NE(at, std::string::npos) << "no '" << answer << "' in '" << text << "'";
    if (at == std::string::npos) return {};
    return std::vector<uint8_t>(text.begin() + static_cast<std::ptrdiff_t>(at + answer.size()), text.end());
  }

 private:
  emu::Driver driver_;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::shared_ptr<emu::DeviceNode> node_;
  emu::Handle port_;
};

}  // namespace usbiptest
