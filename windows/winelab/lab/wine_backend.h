// The scenario runner's port backend on a Windows kernel (Wine's): the port
// opened by its \DosDevices name, requests as native calls, the modem behind
// the lab's test bus (its doors send bytes and line changes unprompted).
// What only the emulator can do (power requests sent from outside, a frozen
// clock) is refused with a line on stderr, and the run is marked failed.
#pragma once

#include "port_backend.h"

#include <windows.h>

#include <string>
#include <vector>

namespace vrmdm {

class WinePortBackend : public PortBackend {
 public:
  WinePortBackend() = default;
  ~WinePortBackend() override { shutdown(); }

  uint32_t plug(const PlugOptions& options) override;
  uint32_t open() override;
  uint32_t close() override;
  PendingPtr read(uint32_t length) override;
  PendingPtr write(std::span<const uint8_t> data) override;
  PendingPtr ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t output_length) override;
  void modem_send(std::span<const uint8_t> data) override;
  void modem_lines(std::optional<bool> dcd, std::optional<bool> dsr) override;
  void modem_unplug() override;
  std::optional<std::string> modem_line_coding() const override { return std::nullopt; }
  uint32_t surprise_remove() override;
  uint32_t remove() override;
  uint32_t power_device(int d_state) override;
  uint32_t power_system(int s_state) override;
  void freeze_clock() override;
  void run_clock() override;
  void sleep(std::chrono::milliseconds span) override;
  void shutdown() override;
  std::vector<std::string> findings() const override { return unsupported_; }

 private:
  uint32_t unsupported(const char* what);

  std::string port_ = "COM5";
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::vector<std::string> unsupported_;
};

}  // namespace vrmdm
