// A test case with the driver loaded into the emulator.
//
//   class MyTest : public vrmdm_test::DriverFixture {};
//   TEST_F(MyTest, Something) {
//     auto& dev = PlugModem("acm");             // plug + PortName COM5 + AddDevice
//     ASSERT_EQ(Start(dev), STATUS_SUCCESS);     // IRP_MN_START_DEVICE through Plug and Play
//     emu::Handle& port = Open();                // \DosDevices\COM5
//     ...
//   }                                            // TearDown: close, remove, unplug, unload
//
// SetUp loads the driver (DriverEntry) on a clean kernel.  TearDown thaws a
// frozen clock and lets running DPCs return, closes
// every handle the fixture opened, removes every device still present
// (surprise removal first when it was started), unloads the driver and fails
// the test on any verifier finding, leaked pool block or running thread.  A
// test that provokes findings on purpose takes them with
// emu::verifier::take_findings() before it ends.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>
#include <emu/verifier.h>

#include "core/device_extension.h"

namespace vrmdm_test {

// Builds with a sanitizer run the stress and volume cases scaled down.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

inline constexpr std::u16string_view kRegistryPath =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vr_mdm";

// "\Device\Velmar1_DS_0001" for 1.
std::u16string DeviceNameFor(ULONG instance);

// Whether a thread object has ended (signalled), without waiting.
inline bool ThreadEnded(PKTHREAD thread) {
  LARGE_INTEGER now{};
  return KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &now) == STATUS_SUCCESS;
}

// Reads from `port` until at least `count` bytes have come or a read fails
// (bounded): everything read.
std::string ReadAtLeast(emu::Handle& port, size_t count);

// "AT\r" written through `port` reaches `model` whole, and the modem's
// "\r\nOK\r\n" comes back to the client.
void ExpectAtOk(emu::Handle& port, emu::usb::ScriptedDevice& model);

// Class requests with this bRequest that `model` has received, in order.
std::vector<emu::usb::ScriptedDevice::ControlRecord> ClassRequests(const emu::usb::ScriptedDevice& model,
                                                                   uint8_t request);
// URBs of `function` the bus has taken from the device's stack.
size_t UrbCount(PDEVICE_OBJECT pdo, USHORT function);
// Resets of `endpoint`'s pipe the device has seen.
size_t PipeResets(const emu::usb::ScriptedDevice& model, uint8_t endpoint);

// Whether `r` has ended, or ends within `limit`, with `status` and (when
// given) `information`; Ended: already, without waiting.
::testing::AssertionResult Ends(const emu::RequestPtr& r, NTSTATUS status,
                                std::optional<ULONG_PTR> information = std::nullopt,
                                std::chrono::milliseconds limit = std::chrono::milliseconds(2000));
inline ::testing::AssertionResult Ended(const emu::RequestPtr& r, NTSTATUS status,
                                        std::optional<ULONG_PTR> information = std::nullopt) {
  return Ends(r, status, information, std::chrono::milliseconds(0));
}
// Whether a request was answered with `status` and `information` bytes.
template <class Result>
::testing::AssertionResult Answers(const Result& r, NTSTATUS status, ULONG_PTR information) {
  if (r.status == status && r.information == information) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << std::hex << r.status << std::dec << " with " << r.information << " bytes";
}
// Whether both the cleanup and the close of a handle succeeded.
::testing::AssertionResult ClosedCleanly(const emu::CloseResult& closed);

// One device on the emulated USB bus and the stack above it.
struct PluggedDevice {
  std::shared_ptr<emu::usb::DeviceModel> model;
  PDEVICE_OBJECT pdo = nullptr;           // the bus driver's device
  std::shared_ptr<emu::DeviceNode> node;  // Plug and Play's view of it
  NTSTATUS add_status = STATUS_PENDING;   // what AddDevice returned
  bool started = false;
  bool removed = false;

  PDEVICE_OBJECT fdo() const;     // our device object; null when AddDevice failed
  PDEVICE_EXTENSION ext() const;  // its extension
  // The model as the type it was plugged as (null if it is another type).
  template <class Model>
  Model* as() const {
    return dynamic_cast<Model*>(model.get());
  }
};

class DriverFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs `model`, gives it the PortName `port` (none when empty) and runs
  // AddDevice.  The returned reference stays valid for the whole test.
  PluggedDevice& Plug(std::shared_ptr<emu::usb::DeviceModel> model, std::u16string_view port = u"COM5");
  // The simulated modem ("acm", "acm-nointr", "acm-datafirst").
  PluggedDevice& PlugModem(std::string_view variant = "acm", std::u16string_view port = u"COM5",
                           emu::usb::ModemConfig config = {});
  // The scriptable device with CDC ACM descriptors of `variant`.
  PluggedDevice& PlugScripted(emu::usb::cdc::Variant variant = emu::usb::cdc::Variant::acm,
                              std::u16string_view port = u"COM5");
  // The scriptable device with descriptor sets of the test's own.
  PluggedDevice& PlugDescriptors(std::vector<uint8_t> device, std::vector<uint8_t> configuration,
                                 std::u16string_view port = u"COM5");

  // IRP_MN_START_DEVICE through the Plug and Play manager.
  NTSTATUS Start(PluggedDevice& device);
  // Only the USB configuration (what start does first), called directly: for
  // tests of the USB layer that must not depend on the rest of start.
  NTSTATUS Configure(PluggedDevice& device);
  // Opens the port; the handle stays with the fixture (check its status()).
  emu::Handle& Open(std::u16string_view port = u"COM5");
  // Surprise removal (when started) and removal, now.
  void Remove(PluggedDevice& device);

  // A request packet for a routine that sends on the caller's packet: one
  // stack location more than the device below has.  Freed at TearDown.
  PIRP AllocateIrpFor(const PluggedDevice& device);

  // The scriptable CDC device of `variant` (on COM5) brought to `stage`:
  // only its USB configuration (what start does first), started, or started
  // with its port open.  Fills dev_, ext_ and model_ (and port_ when open).
  // Call it through ASSERT_NO_FATAL_FAILURE.
  enum class Stage { configured, started, open };
  void SetUpScripted(Stage stage, emu::usb::cdc::Variant variant = emu::usb::cdc::Variant::acm);
  // The device state the driver's threads go by, changed behind the power
  // path's back.
  void SetPowerState(DEVICE_POWER_STATE state) {
    InterlockedExchange((LONG volatile*)&ext_->DevicePowerState, (LONG)state);
  }

  emu::Driver driver_;
  std::deque<PluggedDevice> devices_;
  std::deque<emu::Handle> handles_;
  std::vector<PIRP> irps_;

  // What SetUpScripted brought up.
  PluggedDevice* dev_ = nullptr;
  PDEVICE_EXTENSION ext_ = nullptr;
  emu::usb::ScriptedDevice* model_ = nullptr;
  emu::Handle* port_ = nullptr;
};

}  // namespace vrmdm_test
