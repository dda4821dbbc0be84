// The driver on a device of the emulated bus with its port open, as the
// suites that drive it whole through the port share it.
#pragma once

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/usb/bus.h>
#include <gtest/gtest.h>
#include <nt/ntddser.h>

#include <memory>
#include <string>
#include <vector>

#include "core/driver_entry.h"

namespace vrmdm_test {

inline constexpr char16_t kServiceKey[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vr_mdm";

inline emu::Driver LinkedDriver() { return emu::load_driver(&DriverEntry, kServiceKey, u"\\Driver\\vr_mdm"); }

// `driver` (the linked one unless given, loaded), `model` plugged and
// started as COM5, the port open; at the end a clean removal and unload.
class PortRig {
 public:
  explicit PortRig(std::shared_ptr<emu::usb::DeviceModel> model, emu::Driver driver = LinkedDriver())
      : driver_(std::move(driver)) {
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
    node_.reset();
    // The bus thread stops first: a completion routine it runs may still be
    // returning into the driver's code after the removal it let finish.
    emu::usb::reset();
    driver_.unload();  // reports leaked devices, links and pool
    EXPECT_TRUE(emu::wait_quiescent()) << "threads, timers or work items still running";
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

}  // namespace vrmdm_test
