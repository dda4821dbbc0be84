// The bus driven with URBs as a function driver sends them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "descriptor_builder.h"
#include "test_helpers.h"
#include "usb_client.h"

using emu::verifier::Rule;

namespace {

using namespace usbtest;
using namespace std::string_literals;
using emu::usb::Fault;
using emu::usb::ScriptedDevice;
using emu::usb::UrbEvent;
namespace cdc = emu::usb::cdc;

using BusUrbTest = BusTest;

// That each URB carries the device's handle the driver suite's CDC and
// configuration cases check (the driver learns it from completed URBs).
TEST_F(BusUrbTest, DescriptorRequestsReturnWhatWasAsked) {
  Client c(plug_scripted());
  const auto want_device = cdc::device_descriptor();
  EXPECT_EQ(c.get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18), want_device);
  EXPECT_EQ(c.get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 8),
            std::vector<uint8_t>(want_device.begin(), want_device.begin() + 8));
  Sync s;
  EXPECT_TRUE(c.get_descriptor(USB_STRING_DESCRIPTOR_TYPE, 255, &s, 1).empty());
  EXPECT_EQ(s.status, STATUS_UNSUCCESSFUL) << "the scripted device has no strings: the request stalls";
  EXPECT_EQ(s.usbd, USBD_STATUS_STALL_PID);
  c.get_descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9, &s, 1);
  EXPECT_EQ(s.usbd, USBD_STATUS_STALL_PID) << "there is one configuration only";

  // The modem has its strings.
  Client m(emu::usb::plug(std::make_shared<emu::usb::ModemModel>()));
  auto manufacturer = m.get_descriptor(USB_STRING_DESCRIPTOR_TYPE, 255, nullptr, 1);
  ASSERT_EQ(manufacturer.size(), 2u + 2 * 6);
  EXPECT_EQ(manufacturer[1], USB_STRING_DESCRIPTOR_TYPE);
  EXPECT_EQ(manufacturer[2], 'V');
}

// Which pipe has which type and size the driver suite's configuration cases
// check; here what the driver does not look at.
TEST_F(BusUrbTest, SelectConfigurationFillsInterfacesAndPipesAndKeepsTheDriversSizes) {
  for (auto variant : {cdc::Variant::acm, cdc::Variant::acm_datafirst, cdc::Variant::acm_nointr}) {
    SCOPED_TRACE(static_cast<int>(variant));
    PDEVICE_OBJECT pdo = plug_scripted(variant);
    Client c(pdo);
    auto config = cdc::configuration_descriptor(variant);
    Sync s = c.select(config, driver_sizes);
    ASSERT_EQ(s.status, STATUS_SUCCESS);
    EXPECT_EQ(s.usbd, USBD_STATUS_SUCCESS);
    EXPECT_NE(c.config_handle(), nullptr);
    ASSERT_EQ(c.interfaces().size(), 2u);
    const auto& first = c.interfaces()[0];
    EXPECT_EQ((std::array<int, 4>{first.InterfaceNumber, first.Class, first.SubClass, first.Protocol}),
              (variant == cdc::Variant::acm_datafirst ? std::array{1, 0x0A, 0, 0} : std::array{0, 2, 2, 1}));
    EXPECT_NE(c.interfaces()[0].InterfaceHandle, c.interfaces()[1].InterfaceHandle);
    ASSERT_EQ(c.pipes().size(), variant == cdc::Variant::acm_nointr ? 2u : 3u);
    std::set<USBD_PIPE_HANDLE> handles;
    for (const auto& p : c.pipes()) handles.insert(p.PipeHandle);
    EXPECT_EQ(handles.size(), c.pipes().size());
    EXPECT_EQ(handles.count(nullptr), 0u);
    EXPECT_EQ(c.pipe(cdc::BULK_IN_ENDPOINT).MaximumPacketSize, 64);
    EXPECT_EQ(c.pipe(cdc::BULK_IN_ENDPOINT).MaximumTransferSize, 65536u) << "the driver's size";
    if (variant != cdc::Variant::acm_nointr) {
      EXPECT_EQ(c.pipe(cdc::NOTIFY_ENDPOINT).MaximumPacketSize, 16);
      EXPECT_EQ(c.pipe(cdc::NOTIFY_ENDPOINT).Interval, 10);
    }
    // The device learnt the pipes the host opened, with the sizes.
    auto seen = dev_->configured_pipes();
    ASSERT_EQ(seen.size(), c.pipes().size());
    for (const auto& p : seen) EXPECT_EQ(p.max_transfer_size, p.endpoint_address == 0x81 ? 64u : 65536u);

    // A transfer longer than the pipe's maximum transfer size is refused.
    std::vector<uint8_t> big(65537);
    Sync t = c.transfer(cdc::BULK_OUT_ENDPOINT, big.data(), (ULONG)big.size(), kOut);
    EXPECT_EQ(t.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(t.usbd, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(dev_->out_data(cdc::BULK_OUT_ENDPOINT).empty());
  }
}

// A CDC set (interrupt pipe on interface 0, bulk pair on 1) with one defect.
enum class Defect { none, zero_length, extra_interface, stray_endpoint, missing_endpoint };
std::vector<uint8_t> cdc_set(Defect d) {
  ConfigBuilder b(d == Defect::extra_interface ? 3 : 2);
  if (d == Defect::stray_endpoint) b.endpoint(0x83, 2);
  b.iface(0, 1).endpoint(0x81, 3, 16, 10);
  if (d == Defect::zero_length) b.raw({0, 0x24, 0, 0});
  b.data_iface(1, 2).endpoint(0x82, 2);
  if (d != Defect::missing_endpoint) b.endpoint(0x02, 2);
  return b.build();
}

// Selections that do not fit the device (one device takes them all), and
// devices whose sets are malformed.  wTotalLength beyond the data (the
// device sends what it has): the driver suite's configuration rows.
TEST_F(BusUrbTest, SelectionsThatDoNotFitTheDeviceAndMalformedSetsAreRefused) {
  constexpr std::nullopt_t kAny = std::nullopt;  // any failure
  constexpr NTSTATUS kBad = STATUS_DEVICE_DATA_ERROR;
  constexpr USBD_STATUS kBadSet = USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  struct Case {
    const char* what;
    Defect defect;
    std::function<void(PURB)> spoil;
    std::optional<NTSTATUS> status;
    USBD_STATUS usbd;
    std::size_t pipes;
  };
  const Case cases[] = {
      {"interface record too short for its pipes", Defect::none,
       [](PURB u) { u->UrbSelectConfiguration.Interface.Length -= sizeof(USBD_PIPE_INFORMATION); }, kAny,
       USBD_STATUS_BUFFER_TOO_SMALL, 0},
      {"interface that does not exist", Defect::none,
       [](PURB u) { u->UrbSelectConfiguration.Interface.InterfaceNumber = 7; }, kAny,
       USBD_STATUS_INTERFACE_NOT_FOUND, 0},
      {"URB cut short", Defect::none, [](PURB u) { u->UrbHeader.Length -= 8; }, kAny,
       USBD_STATUS_INVALID_PARAMETER, 0},
      {"another configuration value", Defect::none,
       [&](PURB u) {
         static uint8_t other[9];
         memcpy(other, u->UrbSelectConfiguration.ConfigurationDescriptor, 9);
         other[5] = 2;
         u->UrbSelectConfiguration.ConfigurationDescriptor =
             reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(other);
       },
       kAny, USBD_STATUS_INVALID_PARAMETER, 0},
      {"bLength 0 before the second interface", Defect::zero_length, {}, kBad, kBadSet, 0},
      {"more interfaces announced than present", Defect::extra_interface, {}, kBad, kBadSet, 0},
      {"endpoint before the first interface",
       Defect::stray_endpoint,
       {},
       STATUS_SUCCESS,
       USBD_STATUS_SUCCESS,
       3},
      {"fewer endpoints than bNumEndpoints", Defect::missing_endpoint, {}, kBad, kBadSet, 0},
  };
  PDEVICE_OBJECT pdo = nullptr;
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    if (pdo == nullptr || k.defect != Defect::none)
      pdo = emu::usb::plug(std::make_shared<ScriptedDevice>(cdc::device_descriptor(), cdc_set(k.defect)));
    Sync s = Client(pdo).configure(k.spoil);
    EXPECT_TRUE(k.status ? s.status == *k.status : !NT_SUCCESS(s.status)) << std::hex << s.status;
    EXPECT_EQ(s.usbd, k.usbd);
    EXPECT_EQ(emu::usb::info(pdo).pipes.size(), k.pipes);
  }

  // A handle from a refused selection is worth nothing.
  Client c(plug_scripted());
  auto config = cdc::configuration_descriptor(cdc::Variant::acm);
  ASSERT_EQ(c.select(config).status, STATUS_SUCCESS);
  USBD_PIPE_HANDLE good = c.pipe(cdc::BULK_OUT_ENDPOINT).PipeHandle;
  ASSERT_EQ(c.select(config).status, STATUS_SUCCESS);
  UrbRequest r(c.pdo());
  uint8_t byte = 'x';
  UsbBuildInterruptOrBulkTransferRequest(r.urb(), (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         good, &byte, nullptr, 1, kOut, nullptr);
  Sync s = c.submit(r);
  EXPECT_EQ(s.status, STATUS_INVALID_PARAMETER) << "a pipe of the replaced configuration";
  EXPECT_EQ(s.usbd, USBD_STATUS_INVALID_PIPE_HANDLE);
  EXPECT_EQ(r.returned(), STATUS_INVALID_PARAMETER) << "refused at once, not pended";
}

TEST_F(BusUrbTest, BulkTransfersMoveBytesFollowTheShortTransferRulesAndBadSubmissionsFailAtOnce) {
  Client& c = open();
  PDEVICE_OBJECT pdo = c.pdo();

  // OUT transfers, whole or taken in pieces: the driver suite's write cases.
  ULONG moved = 0;
  // IN pends while the device NAKs, from the bus thread at DISPATCH_LEVEL.
  UrbRequest r(pdo);
  uint8_t buffer[16] = {};
  EXPECT_EQ(c.send_transfer(r, cdc::BULK_IN_ENDPOINT, buffer, sizeof buffer, kIn), STATUS_PENDING);
  EXPECT_TRUE(emu::usb::wait_pending(pdo, cdc::BULK_IN_ENDPOINT, 1));
  EXPECT_FALSE(r.wait(20ms));
  dev_->queue_in(cdc::BULK_IN_ENDPOINT, "abc");
  ASSERT_TRUE(r.wait());
  EXPECT_EQ(r.status(), STATUS_SUCCESS);
  EXPECT_EQ(r.usbd(), USBD_STATUS_SUCCESS);
  EXPECT_EQ(r.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
  EXPECT_EQ(r.completion_irql(), DISPATCH_LEVEL);
  EXPECT_NE(r.completion_thread(), std::this_thread::get_id());
  EXPECT_EQ(r.completions(), 1);

  // More than fits: the rest stays for the next transfer; packets keep
  // their boundaries; an empty packet is a zero-length transfer.
  dev_->queue_in(cdc::BULK_IN_ENDPOINT, "0123456789ABCDEFGHIJ");
  const uint8_t packet[] = {'p', 'q'};
  dev_->queue_packet(cdc::BULK_IN_ENDPOINT, packet);
  dev_->queue_packet(cdc::BULK_IN_ENDPOINT, {});
  std::vector<std::string> reads;
  for (int i = 0; i < 4; ++i) {
    uint8_t b[16];
    ULONG n = 0;
    ASSERT_EQ(c.transfer(cdc::BULK_IN_ENDPOINT, b, sizeof b, kIn, &n).status, STATUS_SUCCESS);
    reads.emplace_back(reinterpret_cast<char*>(b), n);
  }
  EXPECT_EQ(reads, (std::vector<std::string>{"0123456789ABCDEF", "GHIJ", "pq", ""}));

  // A short packet the client did not allow halts the pipe until it is reset.
  dev_->queue_in(cdc::BULK_IN_ENDPOINT, "xy");
  Sync s = c.transfer(cdc::BULK_IN_ENDPOINT, buffer, sizeof buffer, USBD_TRANSFER_DIRECTION_IN, &moved);
  EXPECT_EQ(s.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(s.usbd, USBD_STATUS_DATA_UNDERRUN);
  EXPECT_EQ(moved, 2u) << "the bytes that came are reported";
  dev_->queue_in(cdc::BULK_IN_ENDPOINT, "z");
  s = c.transfer(cdc::BULK_IN_ENDPOINT, buffer, sizeof buffer, kIn, &moved);
  EXPECT_EQ(s.usbd, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(moved, 0u);
  EXPECT_EQ(c.pipe_request(URB_FUNCTION_RESET_PIPE, cdc::BULK_IN_ENDPOINT).status, STATUS_SUCCESS);
  EXPECT_EQ(dev_->reset_pipes(), std::vector<uint8_t>{cdc::BULK_IN_ENDPOINT});
  s = c.transfer(cdc::BULK_IN_ENDPOINT, buffer, sizeof buffer, kIn, &moved);
  EXPECT_EQ(s.status, STATUS_SUCCESS);
  EXPECT_EQ(moved, 1u);

  // Submissions the bus cannot take fail at once.
  UrbRequest unknown(pdo);
  unknown.urb()->UrbHeader.Length = sizeof(struct _URB_HEADER);
  unknown.urb()->UrbHeader.Function = URB_FUNCTION_GET_FRAME_LENGTH;
  s = c.submit(unknown);
  EXPECT_EQ(unknown.returned(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(s.usbd, USBD_STATUS_INVALID_URB_FUNCTION);

  // A header length of another layout (the 32-bit size) is refused.
  UrbRequest shorty(pdo);
  uint8_t b[4];
  c.build_transfer(shorty, cdc::BULK_OUT_ENDPOINT, b, 4, kOut);
  shorty.urb()->UrbHeader.Length = 72;
  s = c.submit(shorty);
  EXPECT_EQ(s.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(s.usbd, USBD_STATUS_INVALID_PARAMETER);

  UrbRequest nobuffer(pdo);
  c.build_transfer(nobuffer, cdc::BULK_OUT_ENDPOINT, nullptr, 4, kOut);
  EXPECT_EQ(c.submit(nobuffer).status, STATUS_INVALID_PARAMETER);

  UrbRequest other_ioctl(pdo);
  other_ioctl.send(0x220FFF);
  ASSERT_TRUE(other_ioctl.wait());
  EXPECT_EQ(other_ioctl.status(), STATUS_NOT_SUPPORTED);

  // The same URB twice while the bus holds it is the client's fault.
  UrbRequest first(pdo), second(pdo);
  EXPECT_EQ(c.send_transfer(first, cdc::BULK_IN_ENDPOINT, b, 4, kIn), STATUS_PENDING);
  second.send(IOCTL_INTERNAL_USB_SUBMIT_URB, first.urb());
  ASSERT_TRUE(second.wait());
  EXPECT_EQ(second.status(), STATUS_INVALID_PARAMETER);
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rule, Rule::usb_urb_in_flight);
  dev_->queue_in(cdc::BULK_IN_ENDPOINT, "ok");
  ASSERT_TRUE(first.wait());
  EXPECT_EQ(first.status(), STATUS_SUCCESS);
}

// The line requests of a CDC ACM function, as both models answer them.  The
// class defines SET_LINE_CODING with exactly 7 bytes: a short or long one is
// a request error (stall) and the line coding stays as it was.
TEST_F(BusUrbTest, CdcLineRequestsAreAnsweredAlikeByEveryModel) {
  using Coding = std::optional<cdc::LineCoding>;
  struct Model {
    const char* name;
    std::shared_ptr<emu::usb::DeviceModel> device;
    std::function<Coding()> coding;
    bool takes_foreign_requests;  // its own answer to class requests for another interface
  };
  auto modem = std::make_shared<emu::usb::ModemModel>();
  auto scripted = ScriptedDevice::cdc_acm();
  const Model models[] = {
      {"modem", modem, [&] { return modem->line_coding(); }, false},
      {"scripted", scripted, [&] { return scripted->line_coding(); }, true},
  };
  const cdc::LineCoding set{115200, 0, 0, 8};
  struct Case {
    const char* what;
    uint8_t request;
    uint16_t interface_number;
    ULONG length;
    bool in;
    bool stalls;
  };
  const Case cases[] = {
      {"short SET_LINE_CODING", cdc::SET_LINE_CODING, 0, 6, false, true},
      {"long SET_LINE_CODING", cdc::SET_LINE_CODING, 0, 8, false, true},
      {"empty SET_LINE_CODING", cdc::SET_LINE_CODING, 0, 0, false, true},
      {"SET_LINE_CODING read", cdc::SET_LINE_CODING, 0, 7, true, true},
      {"GET_LINE_CODING written", cdc::GET_LINE_CODING, 0, 7, false, true},
      {"SET_CONTROL_LINE_STATE read", cdc::SET_CONTROL_LINE_STATE, 0, 0, true, true},
      {"SEND_BREAK", cdc::SEND_BREAK, 0, 0, false, false},
  };
  for (const Model& m : models) {
    SCOPED_TRACE(m.name);
    PDEVICE_OBJECT pdo = emu::usb::plug(m.device);
    Client c(pdo);
    ASSERT_EQ(c.configure().status, STATUS_SUCCESS);
    auto bytes = set.bytes();
    ASSERT_EQ(c.class_request(cdc::SET_LINE_CODING, 0, 0, bytes.data(), 7, false).status, STATUS_SUCCESS);
    ASSERT_EQ(m.coding(), set);

    for (const Case& k : cases) {
      SCOPED_TRACE(k.what);
      std::vector<uint8_t> payload(16, 0x5A);  // not a line coding any model would keep
      Sync s = c.class_request(k.request, 0, k.interface_number, payload.data(), k.length, k.in);
      EXPECT_EQ(s.usbd, k.stalls ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS);
      EXPECT_EQ(m.coding(), set) << "the line coding is unchanged";
    }
    // Another interface's requests are not the function's: each model
    // answers them its own way, and the line coding stays.
    std::vector<uint8_t> other(7, 0x5A);
    Sync s = c.class_request(cdc::SET_LINE_CODING, 0, 1, other.data(), 7, false);
    EXPECT_EQ(s.usbd, m.takes_foreign_requests ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID);
    EXPECT_EQ(m.coding(), set);

    // GET_LINE_CODING gives at most the 7 bytes, and no more than asked.
    for (ULONG asked : {4u, 7u, 16u}) {
      std::vector<uint8_t> back(16, 0);
      ULONG moved = 0;
      ASSERT_EQ(c.class_request(cdc::GET_LINE_CODING, 0, 0, back.data(), asked, true, &moved).status,
                STATUS_SUCCESS);
      EXPECT_EQ(moved, std::min<ULONG>(asked, 7));
      EXPECT_TRUE(std::equal(back.begin(), back.begin() + moved, bytes.begin()));
    }
  }
}

TEST_F(BusUrbTest, InjectedFaultsAbortsAndResetsFailTransfersAsTheDeviceWould) {
  Client& c = open();
  PDEVICE_OBJECT pdo = c.pdo();
  uint8_t b[16];
  ULONG moved = 0;

  // Stall: the pipe halts until reset.
  emu::usb::inject_fault(pdo, cdc::BULK_IN_ENDPOINT, Fault::stall());
  dev_->queue_in(cdc::BULK_IN_ENDPOINT, "data");
  EXPECT_EQ(c.transfer(cdc::BULK_IN_ENDPOINT, b, 16, kIn).usbd, USBD_STATUS_STALL_PID);
  EXPECT_EQ(c.transfer(cdc::BULK_IN_ENDPOINT, b, 16, kIn).usbd, USBD_STATUS_ENDPOINT_HALTED);
  ASSERT_EQ(c.pipe_request(URB_FUNCTION_RESET_PIPE, cdc::BULK_IN_ENDPOINT).status, STATUS_SUCCESS);
  EXPECT_EQ(c.transfer(cdc::BULK_IN_ENDPOINT, b, 16, kIn, &moved).status, STATUS_SUCCESS);
  EXPECT_EQ(moved, 4u) << "the stalled transfer took nothing from the device";

  // Delay under the emulator clock.
  emu::clock::freeze();
  emu::usb::inject_fault(pdo, cdc::BULK_OUT_ENDPOINT, Fault::delayed(500ms));
  UrbRequest w(pdo);
  uint8_t z = 'z';
  EXPECT_EQ(c.send_transfer(w, cdc::BULK_OUT_ENDPOINT, &z, 1, kOut), STATUS_PENDING);
  EXPECT_FALSE(w.wait(30ms));
  emu::clock::advance(499ms);
  EXPECT_FALSE(w.wait(30ms));
  emu::clock::advance(1ms);
  ASSERT_TRUE(w.wait());
  EXPECT_EQ(w.status(), STATUS_SUCCESS);
  emu::clock::unfreeze();

  // A fault on the default pipe hits the control requests.
  emu::usb::inject_fault(pdo, 0, Fault::stall());
  Sync s;
  c.get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18, &s);
  EXPECT_EQ(s.usbd, USBD_STATUS_STALL_PID);
  c.get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18, &s);
  EXPECT_EQ(s.status, STATUS_SUCCESS) << "a control pipe clears its own stall";

  // A pipe reset waits for a drained pipe; an abort cancels what it holds.
  uint8_t b1[8], b2[8];
  UrbRequest r1(pdo), r2(pdo);
  EXPECT_EQ(c.send_transfer(r1, cdc::BULK_IN_ENDPOINT, b1, 8, kIn), STATUS_PENDING);
  EXPECT_EQ(c.send_transfer(r2, cdc::BULK_IN_ENDPOINT, b2, 8, kIn), STATUS_PENDING);
  ASSERT_TRUE(emu::usb::wait_pending(pdo, cdc::BULK_IN_ENDPOINT, 2));
  EXPECT_EQ(c.pipe_request(URB_FUNCTION_RESET_PIPE, cdc::BULK_IN_ENDPOINT).usbd, USBD_STATUS_ERROR_BUSY);
  EXPECT_EQ(c.pipe_request(URB_FUNCTION_ABORT_PIPE, cdc::BULK_IN_ENDPOINT).status, STATUS_SUCCESS);
  ASSERT_TRUE(r1.wait());
  ASSERT_TRUE(r2.wait());
  EXPECT_EQ(r1.status(), STATUS_CANCELLED);
  EXPECT_EQ(r2.usbd(), USBD_STATUS_CANCELED);
  EXPECT_EQ(r1.completions() + r2.completions(), 2);
  EXPECT_EQ(c.pipe_request(URB_FUNCTION_RESET_PIPE, cdc::BULK_IN_ENDPOINT).status, STATUS_SUCCESS);

  // Pulled out while a transfer is pending.
  emu::usb::inject_fault(pdo, cdc::BULK_IN_ENDPOINT, Fault::unplug_while_pending());
  UrbRequest gone(pdo);
  EXPECT_EQ(c.send_transfer(gone, cdc::BULK_IN_ENDPOINT, b, 16, kIn), STATUS_PENDING);
  ASSERT_TRUE(gone.wait());
  EXPECT_EQ(gone.status(), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(gone.usbd(), USBD_STATUS_DEVICE_GONE);
  EXPECT_FALSE(emu::usb::info(pdo).plugged);
}

// Below D0 nothing reaches the device and every transfer fails with the
// plug's status (the pending ones: the power-down race in cancel_race_test);
// unplugged, everything fails and the device leaves with its removal.
TEST_F(BusUrbTest, BelowD0OrUnpluggedTransfersFailAndTheDeviceLeavesWithItsRemoval) {
  dev_ = ScriptedDevice::cdc_acm();
  emu::usb::PlugOptions options;
  options.powered_down_status = STATUS_DEVICE_NOT_READY;
  options.sleep_device_state = PowerDeviceD2;
  PDEVICE_OBJECT pdo = emu::usb::plug(dev_, options);
  auto node = emu::usb::node(pdo);
  ASSERT_EQ(node->start(), STATUS_SUCCESS);
  DEVICE_CAPABILITIES caps{};
  ASSERT_EQ(node->query_capabilities(&caps), STATUS_SUCCESS);
  // Working, the three sleeping states, hibernate, shutdown.
  const DEVICE_POWER_STATE want[] = {PowerDeviceD0, PowerDeviceD2, PowerDeviceD2,
                                     PowerDeviceD2, PowerDeviceD3, PowerDeviceD3};
  for (int s = 0; s < 6; ++s) EXPECT_EQ(caps.DeviceState[PowerSystemWorking + s], want[s]) << s;
  EXPECT_TRUE(caps.DeviceD2);
  EXPECT_TRUE(caps.Removable);

  Client c(pdo);
  ASSERT_EQ(c.configure().status, STATUS_SUCCESS);
  EXPECT_EQ(node->set_device_power(PowerDeviceD3).status, STATUS_SUCCESS);
  EXPECT_EQ(emu::reported_device_power(pdo), std::optional(PowerDeviceD3));
  EXPECT_EQ(dev_->power(), PowerDeviceD3);
  EXPECT_EQ(c.write(cdc::BULK_OUT_ENDPOINT, "x").status, STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(c.class_request(cdc::SET_CONTROL_LINE_STATE, 1, 0, nullptr, 0, false).status,
            STATUS_DEVICE_NOT_READY);
  EXPECT_TRUE(dev_->out_data(cdc::BULK_OUT_ENDPOINT).empty());
  EXPECT_EQ(node->set_device_power(PowerDeviceD0).status, STATUS_SUCCESS);
  EXPECT_EQ(c.write(cdc::BULK_OUT_ENDPOINT, "y").status, STATUS_SUCCESS);

  uint8_t b[8];
  UrbRequest in(pdo), intr(pdo);
  EXPECT_EQ(c.send_transfer(in, cdc::BULK_IN_ENDPOINT, b, 8, kIn), STATUS_PENDING);
  EXPECT_EQ(c.send_transfer(intr, cdc::NOTIFY_ENDPOINT, b, 8, kIn), STATUS_PENDING);
  ASSERT_TRUE(emu::usb::wait_pending(pdo, cdc::NOTIFY_ENDPOINT, 1));

  ULONG port = 0;
  UrbRequest st(pdo);
  st.send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
  ASSERT_TRUE(st.wait());
  EXPECT_EQ(port, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

  emu::usb::unplug(pdo);
  for (UrbRequest* r : {&in, &intr}) {
    ASSERT_TRUE(r->wait());
    EXPECT_EQ(r->status(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(r->usbd(), USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(r->completions(), 1);
  }
  Sync s = c.write(cdc::BULK_OUT_ENDPOINT, "late");
  EXPECT_EQ(s.status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(s.usbd, USBD_STATUS_DEVICE_GONE);
  c.get_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18, &s);
  EXPECT_EQ(s.usbd, USBD_STATUS_DEVICE_GONE);
  UrbRequest st2(pdo);
  st2.send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port);
  ASSERT_TRUE(st2.wait());
  EXPECT_EQ(port, 0u);

  // Identifiers are still answered, as pool strings the requester frees.
  auto query = [&](BUS_QUERY_ID_TYPE type) {
    ULONG_PTR information = 0;
    EXPECT_EQ(node->send_pnp(
                  IRP_MN_QUERY_ID, [&](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; },
                  &information),
              STATUS_SUCCESS);
    std::u16string text;
    auto* p = reinterpret_cast<const WCHAR*>(information);
    while (p != nullptr && (p[0] != 0 || p[1] != 0)) text.push_back(static_cast<char16_t>(*p++));
    if (information != 0) ExFreePool(reinterpret_cast<PVOID>(information));
    return text;
  };
  EXPECT_EQ(query(BusQueryDeviceID), u"USB\\VID_1234&PID_5678");
  EXPECT_EQ(query(BusQueryHardwareIDs), u"USB\\VID_1234&PID_5678&REV_0100\0USB\\VID_1234&PID_5678"s);
  EXPECT_EQ(query(BusQueryCompatibleIDs).substr(0, 30), u"USB\\Class_02&SubClass_00&Prot_");

  EXPECT_EQ(node->surprise_remove(), STATUS_SUCCESS);
  EXPECT_EQ(node->remove(), STATUS_SUCCESS);
  EXPECT_EQ(node->pdo(), nullptr) << "the bus deletes the PDO of a device that left";
  EXPECT_EQ(emu::usb::node(pdo), nullptr);
}

// Bus watchers: what an analyser sees of each URB.  That every URB shows one
// submission and one completion is the host's capture check (every path ends
// in the bus's one completion routine, which tells the watchers).
// The events seen, with their data copied (it is valid during the call only).
struct Seen {
  UrbEvent event;
  std::vector<uint8_t> data;
};

class BusWatchTest : public BusTest {
 protected:
  void SetUp() override {
    id_ = emu::usb::watch([this](const UrbEvent& e) {
      std::lock_guard lock(m_);
      seen_.push_back({e, {e.data.begin(), e.data.end()}});
      seen_.back().event.data = {};
    });
  }
  void TearDown() override {
    emu::usb::unwatch(id_);
    BusTest::TearDown();
  }
  std::vector<Seen> take() {
    std::lock_guard lock(m_);
    return std::exchange(seen_, {});
  }

  uint64_t id_ = 0;
  std::mutex m_;
  std::vector<Seen> seen_;
};

TEST_F(BusWatchTest, EachUrbShowsAsTheWireCarriesIt) {
  Client& c = open();
  uint8_t coding[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};
  ASSERT_EQ(c.class_request(cdc::SET_LINE_CODING, 0, 0, coding, 7, false).status, STATUS_SUCCESS);
  ASSERT_EQ(c.write(cdc::BULK_OUT_ENDPOINT, "AT\r").status, STATUS_SUCCESS);
  dev_->queue_in(cdc::BULK_IN_ENDPOINT, "OK");
  uint8_t answer[4096];
  ASSERT_EQ(c.transfer(cdc::BULK_IN_ENDPOINT, answer, sizeof answer, kIn).status, STATUS_SUCCESS);
  dev_->notify_serial_state(cdc::SERIAL_STATE_DCD);
  uint8_t note[16];
  ASSERT_EQ(c.transfer(cdc::NOTIFY_ENDPOINT, note, sizeof note, kIn).status, STATUS_SUCCESS);
  ASSERT_EQ(c.pipe_request(URB_FUNCTION_ABORT_PIPE, cdc::BULK_IN_ENDPOINT).status, STATUS_SUCCESS);
  ASSERT_EQ(c.pipe_request(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, cdc::BULK_IN_ENDPOINT).status,
            STATUS_SUCCESS);
  const std::vector<Seen> seen = take();

  // The table's rows, URB by URB.
  const auto rows = vrmdm_test::ReadTable(VRMDM_USB_TESTS "/bus_watch.txt");
  const auto config = cdc::configuration_descriptor(cdc::Variant::acm);
  ASSERT_EQ(config.size(), 0x43u);
  const auto hex = [](const std::vector<uint8_t>& b) {
    std::string text;
    for (uint8_t v : b) text += {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]};
    return text;
  };
  const auto bytes = [&](const std::string& word) {
    if (word.starts_with("config:")) return hex({config.begin(), config.begin() + std::stoi(word.substr(7))});
    return word == "-" ? std::string() : word;
  };
  const std::vector<std::string> types = {"control", "isochronous", "bulk", "interrupt"};
  ASSERT_EQ(seen.size(), 2 * rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE("bus_watch.txt:" + std::to_string(rows[i].line));
    const std::vector<std::string>& w = rows[i].words;
    const Seen& s = seen[2 * i];
    const Seen& d = seen[2 * i + 1];
    EXPECT_EQ(s.event.kind, UrbEvent::Kind::submit);
    EXPECT_EQ(d.event.kind, UrbEvent::Kind::complete);
    EXPECT_EQ(s.event.urb, d.event.urb);
    EXPECT_NE(s.event.device, 0u);
    EXPECT_EQ(s.event.device, seen[0].event.device);
    for (const Seen* e : {&s, &d}) {
      EXPECT_EQ(e->event.endpoint, std::stoi(w.at(0), nullptr, 16));
      EXPECT_EQ(types.at(e->event.transfer_type), w.at(1));
    }
    ASSERT_EQ(s.event.setup.has_value(), w.at(2) != "-");
    if (s.event.setup) {
      const auto& p = *s.event.setup;
      EXPECT_EQ(hex({p.bmRequestType, p.bRequest, uint8_t(p.wValue), uint8_t(p.wValue >> 8),
                     uint8_t(p.wIndex), uint8_t(p.wIndex >> 8), uint8_t(p.wLength), uint8_t(p.wLength >> 8)}),
                w[2]);
    }
    EXPECT_EQ(s.event.length, std::stoul(w.at(3)));
    EXPECT_EQ(hex(s.data), bytes(w.at(4)));
    EXPECT_EQ(hex(d.data), bytes(w.at(5)));
    EXPECT_EQ(d.event.length, (bytes(w[4]).size() + bytes(w[5]).size()) / 2);
    EXPECT_EQ(d.event.usbd_status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(d.event.status, STATUS_SUCCESS);
    EXPECT_LE(s.event.system_time, d.event.system_time);
  }
  EXPECT_GT(seen[12].event.interval, 0) << "an interrupt pipe's interval";

  emu::usb::unwatch(id_);
  ASSERT_EQ(c.write(cdc::BULK_OUT_ENDPOINT, "AT\r").status, STATUS_SUCCESS);
  EXPECT_TRUE(take().empty()) << "shown once unwatched";
}

}  // namespace
