// Helpers shared by the control, notification and power tests: records to
// and from request buffers, an open port on the scriptable CDC device, and a
// control request sent straight to a device without a handle.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <vector>

#include "serial/notify.h"
#include "support/driver_fixture.h"
#include "test_helpers.h"

namespace vrmdm_test {

// A device-control request from a kernel component: no file object, sent
// straight to `device` (so it reaches a port that nobody opened).
inline emu::IoResult SendIoctlDirect(PDEVICE_OBJECT device, ULONG code, std::span<const uint8_t> input,
                                     ULONG output_length) {
  std::vector<uint8_t> in(input.begin(), input.end());
  std::vector<uint8_t> out(output_length, 0xCC);
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp =
      IoBuildDeviceIoControlRequest(code, device, in.empty() ? nullptr : in.data(), (ULONG)in.size(),
                                    out.empty() ? nullptr : out.data(), output_length, FALSE, &done, &iosb);
  emu::IoResult result;
  if (irp == nullptr) {
    ADD_FAILURE() << "no request packet";
    return result;
  }
  if (emu::call_driver(device, irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  result.status = iosb.Status;
  result.information = iosb.Information;
  result.output.assign(out.begin(), out.begin() + std::min<size_t>(iosb.Information, out.size()));
  result.completed = true;
  return result;
}

// A driver loaded, the scriptable CDC device plugged and started, and its
// port open.
class OpenPortTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::open));
  }

  emu::IoResult Ioctl(ULONG code, std::vector<uint8_t> input = {}, ULONG output_length = 0) {
    return port_->ioctl(code, input, output_length);
  }
  emu::usb::ScriptedDevice& model() { return *model_; }
  PDEVICE_EXTENSION ext() { return ext_; }
  // Class requests with this bRequest the device has received, in order.
  std::vector<emu::usb::ScriptedDevice::ControlRecord> ClassRequests(uint8_t request) {
    return vrmdm_test::ClassRequests(*model_, request);
  }
};

}  // namespace vrmdm_test
