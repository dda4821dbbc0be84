// The real backend under the usbmon capture: the record layout, and sessions
// that leave the port in every state, ended cleanly and read back with
// libpcap, every URB submitted and completed exactly once.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <emu/usb/cdc.h>

#include "emu_backend.h"
#include "scenario_runner.h"
#include "usb_capture.h"

namespace vrmdm {
namespace {

namespace usb = emu::usb;

template <class T>
T field(const Bytes& record, std::size_t offset) {
  T value;
  std::memcpy(&value, record.data() + offset, sizeof value);
  return value;
}

// The header fields Wireshark reads beyond what the captured sessions below
// check: time, flags, setup, interval, and data cut at the limit.
TEST(Usbmon, RecordHeaderAsTheKernelWritesIt) {
  const uint8_t coding[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};
  usb::UrbEvent e;
  e.urb = reinterpret_cast<const void*>(uintptr_t{0x1234567890});
  e.device = 3;
  e.transfer_type = USB_ENDPOINT_TYPE_CONTROL;
  e.setup = usb::SetupPacket{0x21, 0x20, 0, 0, 7};
  e.length = 7;
  e.data = coding;
  // 2026-12-07 00:00:00.25 UTC, in 100 ns units since 1601.
  e.system_time = 116444736000000000LL + 1796601600LL * 10000000 + 2500000;
  const Bytes r = usbmon_record(e, 5);
  ASSERT_EQ(r.size(), 64u + 5);
  EXPECT_EQ(field<uint64_t>(r, 0), 0x1234567890u);
  EXPECT_EQ(Bytes(r.begin() + 8, r.begin() + 16), (Bytes{'S', 2, 0x00, 3, 1, 0, 0, 0}));
  EXPECT_EQ(field<int64_t>(r, 16), 1796601600);
  EXPECT_EQ(field<int32_t>(r, 24), 250000);
  EXPECT_EQ(field<int32_t>(r, 28), -EINPROGRESS);
  EXPECT_EQ(field<uint32_t>(r, 32), 7u);  // the whole length...
  EXPECT_EQ(field<uint32_t>(r, 36), 5u);  // ...of which 5 bytes follow
  EXPECT_EQ(Bytes(r.begin() + 40, r.begin() + 48), (Bytes{0x21, 0x20, 0, 0, 0, 0, 7, 0}));
  EXPECT_EQ(Bytes(r.begin() + 64, r.end()), Bytes(coding, coding + 5));

  // An interrupt IN completion that failed: no setup, no data, usbmon's
  // errno, the interval and the direction flag.
  e.kind = usb::UrbEvent::Kind::complete;
  e.endpoint = 0x81;
  e.transfer_type = USB_ENDPOINT_TYPE_INTERRUPT;
  e.interval = 16;
  e.short_ok = false;
  e.data = {};
  e.length = 0;
  e.usbd_status = USBD_STATUS_DEVICE_GONE;
  e.status = STATUS_NO_SUCH_DEVICE;
  const Bytes c = usbmon_record(e);
  ASSERT_EQ(c.size(), 64u);
  EXPECT_EQ(Bytes(c.begin() + 8, c.begin() + 16), (Bytes{'C', 1, 0x81, 3, 1, 0, '-', '='}));
  EXPECT_EQ(field<int32_t>(c, 28), -ESHUTDOWN);
  EXPECT_EQ(field<int32_t>(c, 48), 16);
  EXPECT_EQ(field<uint32_t>(c, 56), 0x201u);  // URB_DIR_IN | URB_SHORT_NOT_OK
  // A failure is never shown as success, whatever the USB status says.
  EXPECT_EQ(usbmon_status(USBD_STATUS_SUCCESS, static_cast<uint32_t>(STATUS_UNSUCCESSFUL)), -EIO);
}

struct Record {
  uint64_t urb;
  char type;
  uint8_t endpoint;
  int32_t status;
  Bytes setup, data;
};

// Reads a capture back as Wireshark would find it.
std::vector<Record> read_capture(const std::string& path) {
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), error);
  EXPECT_NE(p, nullptr) << error;
  if (!p) return {};
  EXPECT_EQ(pcap_datalink(p), DLT_USB_LINUX_MMAPPED);
  std::vector<Record> out;
  pcap_pkthdr* header;
  const u_char* bytes;
  while (pcap_next_ex(p, &header, &bytes) == 1) {
    const Bytes r(bytes, bytes + header->caplen);
    EXPECT_EQ(header->caplen, 64 + field<uint32_t>(r, 36));
    out.push_back({field<uint64_t>(r, 0), char(r[8]), r[10], field<int32_t>(r, 28),
                   Bytes(r.begin() + 40, r.begin() + 48), Bytes(r.begin() + 64, r.end())});
  }
  pcap_close(p);
  return out;
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

struct Session {
  std::string name;
  std::string script;
};

class EmuSession : public ::testing::TestWithParam<Session> {};

// Whatever state a session leaves the port in (requests parked, a close held
// back, a removal deferred, the modem gone, the device powered down, the
// clock frozen), the program's end cancels, closes, removes and unloads
// without a verifier finding, and every request is reported exactly once.
// The capture has the driver's descriptor read first, and every URB
// submitted completed exactly once.
TEST_P(EmuSession, EndsCleanlyWithEveryRequestAndUrbCompletedOnce) {
  const std::string text = GetParam().script;
  const Script script = parse_script(text);
  const std::string path =
      (std::filesystem::temp_directory_path() / ("vrmdm-capture-" + std::to_string(getpid()) + ".pcap"))
          .string();
  std::ostringstream out, err;
  {
    UsbCapture capture;
    std::string error;
    ASSERT_TRUE(capture.open(path, error)) << error;
    auto backend = make_emu_backend({});
    ScenarioRunner runner(*backend, out, err);
    EXPECT_EQ(runner.run(script), kRunPassed) << out.str() << err.str();
  }
  EXPECT_EQ(err.str().find("verifier"), std::string::npos) << err.str();
  for (const Command& c : script.commands) {
    if (c.tag.empty() || !c.is_request()) continue;
    EXPECT_EQ(count_of(out.str(), c.text + " -> "), 1u) << c.text << " in\n" << out.str();
  }
  const std::vector<Record> records = read_capture(path);
  std::filesystem::remove(path);
  if (!text.starts_with("plug")) {
    EXPECT_TRUE(records.empty());
    return;
  }
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[0].type, 'S');
  EXPECT_EQ(records[0].setup, (Bytes{0x80, 6, 0, 1, 0, 0, 18, 0})) << "GET_DESCRIPTOR (device) comes first";
  std::map<uint64_t, std::size_t> open;  // URB -> its submission
  bool wrote_at = false, line_coding = false;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    if (r.type == 'S') {
      EXPECT_TRUE(open.emplace(r.urb, i).second) << "record " << i << ": submitted again before it completed";
      EXPECT_EQ(r.status, -EINPROGRESS);
      wrote_at |= r.endpoint == usb::cdc::BULK_OUT_ENDPOINT && r.data == Bytes{'A', 'T', '\r'};
      line_coding |= r.setup[0] == 0x21 && r.setup[1] == usb::cdc::SET_LINE_CODING && r.data.size() == 7;
    } else {
      ASSERT_EQ(r.type, 'C');
      EXPECT_EQ(open.erase(r.urb), 1u) << "record " << i << ": a completion without its submission";
    }
  }
  EXPECT_TRUE(open.empty()) << open.size() << " URBs never completed, the first at record "
                            << open.begin()->second;
  // What the session's own requests sent (a tagged write may go, or be
  // cancelled before it does).
  EXPECT_TRUE(wrote_at || text.find("write \"AT\\r\"\n") == std::string::npos);
  EXPECT_TRUE(line_coding || text.find("SET_BAUD_RATE") == std::string::npos);
}

// The sessions of capture/, one state each that the program's end must clear.
std::vector<Session> sessions() {
  std::vector<Session> all;
  for (const auto& f : std::filesystem::directory_iterator(VRMDM_HOST_TESTS "/capture")) {
    std::ifstream in(f.path());
    all.push_back({f.path().stem().string(), std::string(std::istreambuf_iterator<char>(in), {})});
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Sessions, EmuSession, ::testing::ValuesIn(sessions()),
                         [](const ::testing::TestParamInfo<Session>& info) { return info.param.name; });

}  // namespace
}  // namespace vrmdm
