// Hostile or broken peers, one table (malformed_peers.txt) against both
// ends.  Client rows: a fake server imports a CDC device properly, then
// answers the first bulk IN transfer with the row's bytes; the device must
// leave the bus with the row's reason, the transfer end exactly once, nothing
// hang.  Server rows: a bare client imports from our server and sends the
// row's bytes; the session must end with the row's reason and the device be
// free again.
#include <sys/socket.h>
#include <unistd.h>

#include <emu/usb/cdc.h>
#include <emu/usb/models.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>

#include "../../emu/src/usb/usbip/net.h"
#include "test_helpers.h"
#include "usb_client.h"
#include "usbip_rig.h"

namespace usbiptest {
namespace {

namespace usb = emu::usb;
namespace cdc = emu::usb::cdc;
namespace net = emu::usb::usbip::net;
using namespace std::chrono_literals;
using usb::Bytes;
using vrmdm_test::WaitUntil;

constexpr uint32_t kDevid = 1 << 16 | 2;

// ---- The test's end of a connection: the emulator's bounded stream ------------

struct Peer {
  explicit Peer(int connected) : fd(connected), stream(connected) {}
  void send(const Bytes& b) { stream.send(b, 5s); }
  // The next message `decode` makes of the bytes, consumed; nothing when the
  // peer is gone, silent for 5 s or garbled.
  template <class T, class Decode>
  std::optional<T> next(const Decode& decode) {
    auto d = stream.template next<T>(decode, 5s, 5s);
    if (!d.ok()) return std::nullopt;
    stream.consume(d.size);
    return d.message;
  }
  std::optional<usbip::UrbMessage> next_command() {
    return next<usbip::UrbMessage>(
        [](std::span<const uint8_t> b) { return usbip::decode_command(b, kDevid); });
  }
  int fd;
  net::Stream stream;
};

std::unique_ptr<Peer> connect_local(uint16_t port) {
  std::string error;
  const int fd = net::connect_to({"127.0.0.1", port}, 5s, error);
  EXPECT_GE(fd, 0) << error;
  return std::make_unique<Peer>(fd);
}

// Accepts one connection on a free loopback port and runs `session` on it.
class FakeServer {
 public:
  explicit FakeServer(std::function<void(Peer&)> session) {
    std::string error;
    listener_ = net::listen_on({"127.0.0.1", 0}, port, error);
    EXPECT_GE(listener_, 0) << error;
    thread_ = std::thread([this, session] {
      const int fd = net::accept_from(listener_);  // -1 once the listener is shut down
      if (fd < 0) return;
      Peer peer(fd);
      session(peer);
    });
  }
  ~FakeServer() {
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }
  uint16_t port = 0;

 private:
  int listener_;
  std::thread thread_;
};

// ---- The table (malformed_peers.txt) -----------------------------------------------

enum class End { client_import, client_urb, server_import, server_urb };

struct Row {
  End end;
  bool close_after;
  std::string name;
  std::string reason;  // in the client's detach reason, the import error, or the server's log
  std::vector<std::string> pieces;
  // The bytes to send: for client rows in answer to the request `s` of `n`
  // bytes; for server rows after a granted import.
  Bytes bytes(uint32_t s, uint32_t n) const;
};

// A URB message: a reply (RET_SUBMIT with its data) unless `command` says otherwise.
Bytes urb(uint32_t seqnum, std::size_t data, uint32_t command, uint32_t packets, uint32_t devid = 0,
          uint32_t direction = 0, uint32_t length = 0) {
  usbip::UrbMessage m;
  m.command = command;
  m.seqnum = seqnum;
  m.actual_length = static_cast<uint32_t>(data);
  m.number_of_packets = packets;
  m.devid = devid;
  m.direction = direction;
  m.ep = command == usbip::CMD_SUBMIT ? 2 : 0;
  m.transfer_length = length;
  return usbip::encode_urb(m, Bytes(data, 'x'));
}

Bytes Row::bytes(uint32_t s, uint32_t n) const {
  const std::map<std::string, uint32_t> names = {
      {"s", s}, {"n", n}, {"dev", kDevid}, {"max", usbip::kMaxTransfer}, {"hdr", usbip::kUrbHeaderSize}};
  const std::set<std::string> kinds = {"op", "import-request", "urb", "submit", "cut"};
  Bytes out;
  for (std::size_t i = 0; i < pieces.size();) {
    const std::string& what = pieces[i++];
    std::vector<std::string> w;  // its words, up to the next piece
    while (i < pieces.size() && !kinds.contains(pieces[i]) && pieces[i].find('*') == std::string::npos)
      w.push_back(pieces[i++]);
    const auto number = [&](std::size_t k) -> uint32_t {
      if (k >= w.size()) return 0;
      const auto plus = w[k].find('+');
      if (const auto name = names.find(w[k].substr(0, plus)); name != names.end())
        return name->second + (plus == std::string::npos ? 0 : std::stoul(w[k].substr(plus + 1)));
      return std::stoul(w[k], nullptr, what == "op" ? 16 : 10);
    };
    Bytes b;
    if (const auto star = what.find('*'); star != std::string::npos) {
      b.assign(std::stoul(what.substr(0, star)), uint8_t(std::stoul(what.substr(star + 1), nullptr, 16)));
    } else if (what == "op") {
      b = usbip::encode_op({uint16_t(number(0)), uint16_t(number(1)), number(2)});
    } else if (what == "import-request") {
      b = usbip::encode_import_request(w.at(0));
    } else if (what == "urb") {
      b = urb(number(0), number(1), w.size() > 2 ? number(2) : usbip::RET_SUBMIT, number(3));
    } else if (what == "submit") {
      b = urb(1, 0, usbip::CMD_SUBMIT, number(3), number(0), number(1), number(2));
      b.insert(b.end(), number(4), 0x55);
    } else if (what == "cut") {
      out.resize(number(0));
    } else {
      ADD_FAILURE() << "unknown piece " << what;
    }
    out.insert(out.end(), b.begin(), b.end());
  }
  return out;
}

// A fake server: the import, the descriptors of a CDC device, then the
// row's bytes in answer to the first bulk transfer.
void fake_session(Peer& peer, const Row& row) {
  if (!peer.next<std::string>(usbip::decode_import_request)) return;
  if (row.end == End::client_import) {
    peer.send(row.bytes(0, 0));
    if (!row.close_after) peer.next_command();  // until the client gives up
    return;
  }
  usbip::DeviceRecord r;
  r.path = "/sys/fake";
  r.busid = "1-1";
  r.busnum = 1;
  r.devnum = 2;
  r.speed = 3;
  peer.send(usbip::encode_import_reply(0, &r));
  auto device = usb::ScriptedDevice::cdc_acm();
  while (auto m = peer.next_command()) {
    if (m->command == usbip::CMD_UNLINK) continue;  // never answered
    if (m->ep != 0) {
      peer.send(row.bytes(m->seqnum, m->transfer_length));
      if (row.close_after) return;
      continue;
    }
    const uint8_t type = m->setup[3];
    std::span<const uint8_t> d;
    if (m->setup[1] == USB_REQUEST_GET_DESCRIPTOR && type == USB_DEVICE_DESCRIPTOR_TYPE)
      d = device->device_descriptor();
    if (m->setup[1] == USB_REQUEST_GET_DESCRIPTOR && type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
      d = device->configuration_descriptor();
    const bool stall = m->setup[1] == USB_REQUEST_GET_DESCRIPTOR && d.empty();
    d = d.first(std::min<std::size_t>(d.size(), m->transfer_length));
    usbip::UrbMessage reply;
    reply.command = usbip::RET_SUBMIT;
    reply.seqnum = m->seqnum;
    reply.status = stall ? usbip::err::EPIPE_ : 0;
    reply.actual_length = static_cast<uint32_t>(d.size());
    peer.send(usbip::encode_urb(reply, d));
  }
}

void against_client(const Row& row) {
  FakeServer fake([&row](Peer& peer) { fake_session(peer, row); });
  usbip::ImportOptions o;
  o.server = {"127.0.0.1", fake.port};
  o.busid = "1-1";
  // Only the unanswered unlink waits for the time-out; every other row ends
  // on the bytes alone, so a loaded machine cannot turn it into a time-out.
  const bool unanswered = row.name == "unlink never answered";
  o.io_timeout = unanswered ? 1s : 30s;
  std::string error;
  auto device = usbip::import_device(o, error);
  if (row.end == End::client_import) {
    EXPECT_FALSE(device);
    EXPECT_NE(error.find(row.reason), std::string::npos) << error;
    return;
  }
  ASSERT_TRUE(device) << error;
  PDEVICE_OBJECT pdo = usb::plug(device);
  {
    usbtest::Client c(pdo);
    ASSERT_EQ(c.configure().status, STATUS_SUCCESS);
    usbtest::UrbRequest r(pdo);
    uint8_t buffer[8];
    c.send_transfer(r, cdc::BULK_IN_ENDPOINT, buffer, sizeof buffer, usbtest::kIn);
    if (unanswered) {
      ASSERT_TRUE(WaitUntil([&] { return usb::info(pdo).pending_transfers == 1; }));
      r.cancel();
    }
    ASSERT_TRUE(WaitUntil([&] { return !usb::info(pdo).plugged; })) << "the device stayed on the bus";
    ASSERT_TRUE(r.wait());
    std::this_thread::sleep_for(5ms);
    EXPECT_EQ(r.completions(), 1);
    if (row.name == "second reply") {
      EXPECT_EQ(r.status(), STATUS_SUCCESS);  // the first reply stands
    } else {
      EXPECT_EQ(r.status(), STATUS_NO_SUCH_DEVICE);
      EXPECT_EQ(r.usbd(), USBD_STATUS_DEVICE_GONE);
    }
    EXPECT_NE(device->detach_reason().find(row.reason), std::string::npos) << device->detach_reason();
    EXPECT_EQ(usb::info(pdo).pending_transfers, 0u);
  }
  usb::reset();
}

void against_server(const Row& row) {
  auto model = usb::ScriptedDevice::cdc_acm();
  Served served([model] { return model; }, 30s);
  {
    auto peer = connect_local(served.server->port());
    if (row.end == End::server_urb) {
      peer->send(usbip::encode_import_request("1-1"));
      ASSERT_TRUE(peer->next<usbip::DeviceRecord>(usbip::decode_import_reply));
    }
    peer->send(row.bytes(0, 0));
    if (row.close_after) shutdown(peer->fd, SHUT_WR);
    EXPECT_TRUE(WaitUntil([&] { return served.joined_log().find(row.reason) != std::string::npos; }, 5s))
        << served.joined_log();
  }
  // The device is free again: a proper client imports it.
  ASSERT_TRUE(WaitUntil([&] {
    std::string error;
    return usbip::import_device(served.import_options(), error) != nullptr;
  }));
}

TEST(UsbipMalformed, EachEndRefusesABrokenPeerCleanly) {
  const std::vector<std::string> ends = {"client-import", "client-urb", "server-import", "server-urb"};
  int n = 0;
  for (const auto& [line, w] : vrmdm_test::ReadTable(VRMDM_SOURCE_DIR "/tests/usbip/malformed_peers.txt")) {
    SCOPED_TRACE("malformed_peers.txt:" + std::to_string(line));
    const auto end = std::find(ends.begin(), ends.end(), w.at(0)) - ends.begin();
    ASSERT_LT(end, 4) << w[0];
    ASSERT_TRUE(w.at(1) == "close" || w[1] == "keep") << w[1];
    const Row row{End(end), w[1] == "close", w.at(2), w.at(3), {w.begin() + 4, w.end()}};
    if (row.end == End::client_import || row.end == End::client_urb) {
      against_client(row);
    } else {
      against_server(row);
    }
    ++n;
  }
  std::cout << "[ usbip    ] malformed peers: " << n << " cases\n";
  EXPECT_EQ(n, 24);
}

// Both ends agree on every status they carry; an unlink of a request never
// sent, or already answered, gets status 0 and leaves the session up; a
// device in use is refused to a second importer.
TEST(UsbipMalformed, StatusesMapBothWaysAndStrayUnlinksAreAnswered) {
  for (USBD_STATUS s :
       {USBD_STATUS_SUCCESS, USBD_STATUS_STALL_PID, USBD_STATUS_BABBLE_DETECTED, USBD_STATUS_DATA_UNDERRUN,
        USBD_STATUS_CANCELED, USBD_STATUS_DEVICE_GONE, USBD_STATUS_CRC, USBD_STATUS_INVALID_PARAMETER})
    EXPECT_EQ(usbip::to_usbd(usbip::to_linux(s)).usbd, s) << std::hex << s;
  auto model = usb::ScriptedDevice::cdc_acm();
  Served served([model] { return model; });
  auto peer = connect_local(served.server->port());
  peer->send(usbip::encode_import_request("1-1"));
  ASSERT_TRUE(peer->next<usbip::DeviceRecord>(usbip::decode_import_reply));
  usbip::UrbMessage m;
  m.command = usbip::CMD_UNLINK;
  m.seqnum = 5;
  m.devid = kDevid;
  m.unlink_seqnum = 4;
  peer->send(usbip::encode_urb(m));
  auto answer = peer->next<usbip::UrbMessage>([](std::span<const uint8_t> b) {
    return usbip::decode_reply(b,
                               [](uint32_t s) { return s == 5 ? std::optional<uint32_t>(0) : std::nullopt; });
  });
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->command, usbip::RET_UNLINK);
  EXPECT_EQ(answer->status, 0);
  std::string error;
  EXPECT_FALSE(usbip::import_device(served.import_options(), error));
  EXPECT_NE(error.find("refused the import"), std::string::npos) << error;
}

}  // namespace
}  // namespace usbiptest
