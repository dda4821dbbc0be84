// Shared by the lifecycle suites (Plug and Play, open/close, removal, the
// interrupt thread, WMI): small helpers to look at a port from outside.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver_fixture.h"
#include "test_helpers.h"

namespace vrmdm_test::lifecycle {

using namespace std::chrono_literals;
namespace usb = emu::usb;

inline constexpr std::u16string_view kSerialComm = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Reads a field that driver threads change with interlocked operations.
inline ULONG Shared(volatile ULONG* field) {
  return (ULONG)InterlockedCompareExchange((LONG volatile*)field, 0, 0);
}
inline LONG Shared(volatile LONG* field) { return InterlockedCompareExchange(field, 0, 0); }

inline std::u16string ToU16(std::string_view text) { return std::u16string(text.begin(), text.end()); }

// REG_SZ data of `text`, with or without its terminator.
inline std::vector<uint8_t> RegSz(std::u16string_view text, bool terminated = true) {
  std::vector<uint8_t> data((text.size() + (terminated ? 1 : 0)) * 2, 0);
  std::memcpy(data.data(), text.data(), text.size() * 2);
  return data;
}

class LifecycleFixture : public DriverFixture {
 protected:
  // Total read time-out of `ms` (0: the driver's own default applies).
  static void SetReadTimeout(emu::Handle& port, ULONG ms) {
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = ms;
    ASSERT_EQ(port.ioctl(IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(t)).status, STATUS_SUCCESS);
  }

  // The COM-port interfaces of `pdo`, and how many of them are enabled.
  static std::vector<emu::InterfaceInfo> ComPorts(PDEVICE_OBJECT pdo) {
    std::vector<emu::InterfaceInfo> found;
    for (auto& i : emu::device_interfaces(&GUID_DEVINTERFACE_COMPORT))
      if (i.pdo == pdo) found.push_back(i);
    return found;
  }
  static size_t ComPortsEnabled(PDEVICE_OBJECT pdo) {
    auto found = ComPorts(pdo);
    return std::count_if(found.begin(), found.end(), [](auto& i) { return i.enabled; });
  }

  // ModemStatus is guarded by the device's SpinLock, not changed atomically.
  static ULONG ModemStatusOf(PDEVICE_EXTENSION ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->SpinLock, &irql);
    ULONG status = ext->ModemStatus;
    KeReleaseSpinLock(&ext->SpinLock, irql);
    return status;
  }
};

}  // namespace vrmdm_test::lifecycle
