// Hostile or broken peers, one table against both ends.  Client rows: a
// fake server imports a CDC device properly, then answers the first bulk IN
// transfer with the row's bytes; the device must leave the bus with the
// row's reason, the transfer end exactly once, nothing hang.  Server rows:
// a bare client imports from our server and sends the row's bytes; the
// session must end with the row's reason and the device be free again.
#include <sys/socket.h>
#include <unistd.h>

#include <emu/usb/cdc.h>
#include <emu/usb/models.h>

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

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- The table ---------------------------------------------------------------------

enum class End { client_import, client_urb, server_import, server_urb };

struct Row {
  const char* name;
  End end;
  // The bytes to send: for client rows in answer to the request `s` of `n`
  // bytes; for server rows after a granted import.
  std::function<Bytes(uint32_t s, uint32_t n)> bytes;
  bool close_after;
  const char* reason;  // in the client's detach reason, the import error, or the server's log
};

// A URB message: a reply (RET_SUBMIT with its data) unless `command` says otherwise.
Bytes urb(uint32_t seqnum, std::size_t data = 0, uint32_t command = usbip::RET_SUBMIT, uint32_t packets = 0,
          uint32_t devid = 0, uint32_t direction = 0, uint32_t length = 0) {
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
Bytes submit(uint32_t devid, uint32_t direction, uint32_t length, uint32_t packets = 0,
             std::size_t data = 0) {
  return urb(1, 0, usbip::CMD_SUBMIT, packets, devid, direction, length) + Bytes(data, 0x55);
}
// An operation header, then `tail`.
Bytes op(uint16_t version, uint16_t code, Bytes tail = {}) {
  return usbip::encode_op({version, code, 0}) + tail;
}
Bytes cut(Bytes b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

#define SEND(expr) [](uint32_t s, uint32_t n) -> Bytes { return (void)s, (void)n, expr; }

const std::vector<Row>& rows() {
  static const std::vector<Row> table = {
      // The client, while it imports.
      {"import: another version", End::client_import, SEND(op(0x0100, usbip::OP_REP_IMPORT, Bytes(312, 0))),
       false, "unsupported USB/IP version"},
      {"import: refused", End::client_import, SEND(usbip::encode_import_reply(1, nullptr)), false,
       "refused the import"},
      {"import: record cut short", End::client_import,
       SEND(op(usbip::kVersion, usbip::OP_REP_IMPORT, Bytes(100, 0))), true, "cut mid-message"},
      {"import: busid without its end", End::client_import,
       SEND(op(usbip::kVersion, usbip::OP_REP_IMPORT, Bytes(256, 'p') + Bytes(32, 'b') + Bytes(24, 0))),
       false, "not terminated"},
      // The client, with a bulk IN transfer at the server.
      {"truncated header", End::client_urb, SEND(cut(urb(s), 20)), true, "cut mid-message"},
      {"unknown command", End::client_urb, SEND(urb(s, 0, 7)), false, "unknown reply command 7"},
      {"length past the buffer", End::client_urb, SEND(urb(s, n + 1)), false,
       "more than the request asked for"},
      {"reply to an unknown seqnum", End::client_urb, SEND(urb(s + 1000, 1)), false, "no request in flight"},
      {"second reply", End::client_urb, SEND(urb(s, 1) + urb(s, 1)), false, "no request in flight"},
      {"cut mid-transfer", End::client_urb, SEND(cut(urb(s, 8), usbip::kUrbHeaderSize + 3)), true,
       "cut mid-message"},
      {"isochronous reply", End::client_urb, SEND(urb(s, 0, usbip::RET_SUBMIT, 3)), false, "isochronous"},
      {"connection closed", End::client_urb, SEND(Bytes()), true, "connection closed"},
      {"unlink never answered", End::client_urb, SEND(Bytes()), false, "left an unlink unanswered"},
      // The server, at the first message.
      {"server: another version", End::server_import, SEND(op(0x0100, usbip::OP_REQ_DEVLIST)), false,
       "unsupported USB/IP version"},
      {"server: unknown operation", End::server_import, SEND(op(usbip::kVersion, 0x8099)), false,
       "unexpected operation code"},
      {"server: unknown busid", End::server_import, SEND(usbip::encode_import_request("9-9")), false,
       "refused: no such device"},
      {"server: header cut short", End::server_import, SEND((Bytes{0x01, 0x11, 0x80})), true,
       "cut mid-message"},
      // The server, in a session.
      {"server: truncated header", End::server_urb, SEND(Bytes(20, 0)), true, "cut mid-message"},
      {"server: unknown command", End::server_urb, SEND(urb(1, 0, 9)), false, "unknown command 9"},
      {"server: another device", End::server_urb, SEND(submit(kDevid + 1, 1, 8)), false,
       "command for another device"},
      {"server: length past the limit", End::server_urb, SEND(submit(kDevid, 0, usbip::kMaxTransfer + 1)),
       false, "transfer length past the limit"},
      {"server: bad direction", End::server_urb, SEND(submit(kDevid, 7, 8)), false, "bad direction"},
      {"server: isochronous", End::server_urb, SEND(submit(kDevid, 1, 8, 4)), false, "isochronous"},
      {"server: cut mid-transfer", End::server_urb, SEND(submit(kDevid, 0, 100, 0, 10)), true,
       "cut mid-message"},
  };
  return table;
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
  const bool unanswered = std::string(row.name) == "unlink never answered";
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
    if (std::string(row.name) == "second reply") {
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
  int n = 0;
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    if (row.end == End::client_import || row.end == End::client_urb) {
      against_client(row);
    } else {
      against_server(row);
    }
    ++n;
  }
  std::cout << "[ usbip    ] malformed peers: " << n << " cases\n";
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
