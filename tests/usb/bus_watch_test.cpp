// Bus watchers: what an analyser sees of each URB.  That every URB shows one
// submission and one completion is the host's capture check (every path ends
// in the bus's one completion routine, which tells the watchers).
#include <gtest/gtest.h>

#include "usb_client.h"

namespace {

using namespace usbtest;
using emu::usb::UrbEvent;
namespace cdc = emu::usb::cdc;

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

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

  // Submission then completion, one pair per URB (the abort moves nothing
  // on the bus and is not shown): the setup packet as the wire carries it,
  // the bytes out at the submission, the bytes in at the completion (`in_config`:
  // the first bytes of the configuration set).
  struct Want {
    uint8_t endpoint, type;
    const char* setup;
    uint32_t submit_length;
    const char* out;
    const char* in;
    std::size_t in_config;
  };
  const auto config = cdc::configuration_descriptor(cdc::Variant::acm);
  ASSERT_EQ(config.size(), 0x43u);
  constexpr uint8_t kControl = USB_ENDPOINT_TYPE_CONTROL, kBulk = USB_ENDPOINT_TYPE_BULK;
  const Want want[] = {
      {0x80, kControl, "8006000200000900", 9, "", "", 9},
      {0x80, kControl, "8006000200004300", 0x43, "", "", 0x43},
      {0x00, kControl, "0009010000000000", 0, "", "", 0},
      {0x00, kControl, "2120000000000700", 7, "00c20100000008", "", 0},
      {cdc::BULK_OUT_ENDPOINT, kBulk, nullptr, 3, "41540d", "", 0},
      {cdc::BULK_IN_ENDPOINT, kBulk, nullptr, 4096, "", "4f4b", 0},
      {cdc::NOTIFY_ENDPOINT, USB_ENDPOINT_TYPE_INTERRUPT, nullptr, 16, "", "a1200000000002000100", 0},
      {0x00, kControl, "0201000082000000", 0, "", "", 0},
  };
  const auto hex = [](const std::vector<uint8_t>& b) {
    std::string text;
    for (uint8_t v : b) text += {"0123456789abcdef"[v >> 4], "0123456789abcdef"[v & 15]};
    return text;
  };
  ASSERT_EQ(seen.size(), 2 * std::size(want));
  for (std::size_t i = 0; i < std::size(want); ++i) {
    SCOPED_TRACE("URB " + std::to_string(i));
    const Want& w = want[i];
    const Seen& s = seen[2 * i];
    const Seen& d = seen[2 * i + 1];
    EXPECT_EQ(s.event.kind, UrbEvent::Kind::submit);
    EXPECT_EQ(d.event.kind, UrbEvent::Kind::complete);
    EXPECT_EQ(s.event.urb, d.event.urb);
    EXPECT_NE(s.event.device, 0u);
    EXPECT_EQ(s.event.device, seen[0].event.device);
    for (const Seen* e : {&s, &d}) {
      EXPECT_EQ(e->event.endpoint, w.endpoint);
      EXPECT_EQ(e->event.transfer_type, w.type);
    }
    ASSERT_EQ(s.event.setup.has_value(), w.setup != nullptr);
    if (w.setup) {
      const auto& p = *s.event.setup;
      EXPECT_EQ(hex({p.bmRequestType, p.bRequest, uint8_t(p.wValue), uint8_t(p.wValue >> 8),
                     uint8_t(p.wIndex), uint8_t(p.wIndex >> 8), uint8_t(p.wLength), uint8_t(p.wLength >> 8)}),
                w.setup);
    }
    EXPECT_EQ(s.event.length, w.submit_length);
    EXPECT_EQ(hex(s.data), w.out);
    const std::string in = w.in_config ? hex({config.begin(), config.begin() + w.in_config}) : w.in;
    EXPECT_EQ(hex(d.data), in);
    EXPECT_EQ(d.event.length, (in.size() + std::string_view(w.out).size()) / 2);
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
