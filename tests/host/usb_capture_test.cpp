// The usbmon capture: record layout, and a capture of real sessions read back
// with libpcap, every URB submitted and completed exactly once.
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>

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

TEST(Usbmon, RecordHeadersAsTheKernelWritesThem) {
  const uint8_t coding[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8};
  const uint8_t ok[4] = {'O', 'K', '\r', '\n'};
  // 2026-12-07 00:00:00.250000 UTC in 100 ns units since 1601.
  const int64_t when = 116444736000000000LL + 1796601600LL * 10000000 + 2500000;
  const void* urb = reinterpret_cast<const void*>(uintptr_t{0x1234567890});
  struct Case {
    const char* name;
    usb::UrbEvent event;
    char type, flag_setup, flag_data;
    uint8_t xfer;
    int32_t status;
    uint32_t flags;
    Bytes data;
  };
  auto ev = [&](usb::UrbEvent::Kind k, uint8_t ep, uint8_t type) {
    usb::UrbEvent e;
    e.kind = k;
    e.urb = urb;
    e.device = 3;
    e.endpoint = ep;
    e.transfer_type = type;
    e.system_time = when;
    return e;
  };
  Case line_coding{"SET_LINE_CODING submit",
                   ev(usb::UrbEvent::Kind::submit, 0, USB_ENDPOINT_TYPE_CONTROL),
                   'S',
                   0,
                   0,
                   2,
                   -EINPROGRESS,
                   0,
                   Bytes(coding, coding + 7)};
  line_coding.event.setup = usb::SetupPacket{0x21, 0x20, 0, 0, 7};
  line_coding.event.length = 7;
  line_coding.event.data = coding;
  Case read_submit{"bulk IN submit",
                   ev(usb::UrbEvent::Kind::submit, 0x82, USB_ENDPOINT_TYPE_BULK),
                   'S',
                   '-',
                   '<',
                   3,
                   -EINPROGRESS,
                   0x200,
                   {}};
  read_submit.event.length = 64;
  read_submit.event.short_ok = false;
  read_submit.flags = 0x201;
  Case read_done{"bulk IN complete",
                 ev(usb::UrbEvent::Kind::complete, 0x82, USB_ENDPOINT_TYPE_BULK),
                 'C',
                 '-',
                 0,
                 3,
                 0,
                 0x200,
                 Bytes(ok, ok + 4)};
  read_done.event.length = 4;
  read_done.event.data = ok;
  read_done.event.usbd_status = USBD_STATUS_SUCCESS;
  read_done.event.status = STATUS_SUCCESS;
  Case write_done{"bulk OUT cancelled",
                  ev(usb::UrbEvent::Kind::complete, 0x02, USB_ENDPOINT_TYPE_BULK),
                  'C',
                  '-',
                  '>',
                  3,
                  -ENOENT,
                  0,
                  {}};
  write_done.event.usbd_status = USBD_STATUS_CANCELED;
  write_done.event.status = STATUS_CANCELLED;
  Case notify{"interrupt IN submit",
              ev(usb::UrbEvent::Kind::submit, 0x81, USB_ENDPOINT_TYPE_INTERRUPT),
              'S',
              '-',
              '<',
              1,
              -EINPROGRESS,
              0x200,
              {}};
  notify.event.interval = 16;

  for (const Case& c : {line_coding, read_submit, read_done, write_done, notify}) {
    SCOPED_TRACE(c.name);
    const Bytes r = usbmon_record(c.event);
    ASSERT_EQ(r.size(), 64 + c.data.size());
    EXPECT_EQ(field<uint64_t>(r, 0), 0x1234567890u);
    EXPECT_EQ(r[8], uint8_t(c.type));
    EXPECT_EQ(r[9], c.xfer);
    EXPECT_EQ(r[10], c.event.endpoint);
    EXPECT_EQ(r[11], 3);
    EXPECT_EQ(field<uint16_t>(r, 12), 1);  // bus
    EXPECT_EQ(r[14], uint8_t(c.flag_setup));
    EXPECT_EQ(r[15], uint8_t(c.flag_data));
    EXPECT_EQ(field<int64_t>(r, 16), 1796601600);
    EXPECT_EQ(field<int32_t>(r, 24), 250000);
    EXPECT_EQ(field<int32_t>(r, 28), c.status);
    EXPECT_EQ(field<uint32_t>(r, 32), c.event.length);
    EXPECT_EQ(field<uint32_t>(r, 36), c.data.size());
    EXPECT_EQ(field<int32_t>(r, 48), c.event.interval);
    EXPECT_EQ(field<uint32_t>(r, 56), c.flags);
    EXPECT_EQ(Bytes(r.begin() + 64, r.end()), c.data);
  }
  const Bytes setup = usbmon_record(line_coding.event);
  EXPECT_EQ(Bytes(setup.begin() + 40, setup.begin() + 48), (Bytes{0x21, 0x20, 0, 0, 0, 0, 7, 0}));
  // Data beyond the limit is cut, and the header says how much follows.
  const Bytes cut = usbmon_record(read_done.event, 2);
  EXPECT_EQ(cut.size(), 66u);
  EXPECT_EQ(field<uint32_t>(cut, 32), 4u);
  EXPECT_EQ(field<uint32_t>(cut, 36), 2u);
}

TEST(Usbmon, CompletionStatusesAsLinuxReportsThem) {
  const std::tuple<USBD_STATUS, NTSTATUS, int> cases[] = {
      {USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0},
      {USBD_STATUS_CANCELED, STATUS_CANCELLED, -ENOENT},
      {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, -EPIPE},
      {USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL, -EPIPE},
      {USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE, -ESHUTDOWN},
      {USBD_STATUS_DATA_UNDERRUN, STATUS_UNSUCCESSFUL, -EREMOTEIO},
      {USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_POWERED_OFF, -EPROTO},
      {USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER, -EINVAL},
      {USBD_STATUS_SUCCESS, STATUS_UNSUCCESSFUL, -EIO},  // never shown as success
      {USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, -EIO},
  };
  for (const auto& [usbd, nt, errno_value] : cases)
    EXPECT_EQ(usbmon_status(static_cast<uint32_t>(usbd), static_cast<uint32_t>(nt)), errno_value)
        << std::hex << usbd;
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

class CapturedSession : public ::testing::TestWithParam<const char*> {};

// Each session's capture: the driver's descriptor reads first, and after the
// teardown every URB submitted has been completed exactly once.
TEST_P(CapturedSession, EveryUrbCompletesOnceInTheCapture) {
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
    EXPECT_EQ(runner.run(parse_script(GetParam())), kRunPassed) << out.str() << err.str();
  }
  const std::vector<Record> records = read_capture(path);
  std::filesystem::remove(path);
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
  EXPECT_TRUE(wrote_at);
  EXPECT_TRUE(line_coding);
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, CapturedSession,
    ::testing::Values(
        "plug\nopen\nioctl SET_BAUD_RATE in=00c20100\nioctl SET_DTR\nwrite \"AT\\r\"\nsleep 100\n"
        "read 64\nexpect OK\nmodem lines dcd=1\nclose\n",
        "plug\nopen\nioctl SET_BAUD_RATE in=00c20100\nwrite \"AT\\r\"\nread 64 &R\nmodem unplug\n"
        "device surprise-remove\n",
        "plug\nopen\nioctl SET_BAUD_RATE in=00c20100\nwrite \"AT\\r\"\nioctl WAIT_ON_MASK &W\npower system "
        "S3\npower device D3\n"));

}  // namespace
}  // namespace vrmdm
