// The USB/IP client: a device imported from a server becomes an
// asynchronous device of the emulated bus.  Each transfer the bus hands
// over becomes a CMD_SUBMIT, each cancellation a CMD_UNLINK; a reader
// thread answers the bus from RET_SUBMIT / RET_UNLINK, whichever comes
// first, and a sender thread writes what the bus asked for (the bus calls
// in with its lock held, so nothing here waits on the socket there).
//
// The session's state lives in a Link that both threads share, so the
// device can be let go from any thread, theirs included.  Anything wrong on
// the wire (a malformed reply, a reply to no request of ours, a second
// reply, an unlink left unanswered, the connection cut) ends the session:
// the device leaves the bus, which ends every transfer still handed over.
#include <emu/kernel.h>
#include <emu/usb/usbip.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

#include "usb/usbip/net.h"

namespace emu::usb::usbip {

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::array<uint8_t, 8> setup_bytes(const SetupPacket& s) {
  return {s.bmRequestType,
          s.bRequest,
          static_cast<uint8_t>(s.wValue),
          static_cast<uint8_t>(s.wValue >> 8),
          static_cast<uint8_t>(s.wIndex),
          static_cast<uint8_t>(s.wIndex >> 8),
          static_cast<uint8_t>(s.wLength),
          static_cast<uint8_t>(s.wLength >> 8)};
}

// A reply to the bus from a RET_SUBMIT.
Reply reply_of(const UrbMessage& m) {
  if (m.status == 0) return Reply::data(m.actual_length);
  if (m.status == err::EPIPE_) return Reply::stall();
  const UsbdResult r = to_usbd(m.status);
  return Reply::error(r.usbd, r.status);
}

struct Sync {
  bool done = false;
  UrbMessage reply;
  Bytes data;
};

class Link {
 public:
  Link(std::unique_ptr<net::Stream> stream, DeviceRecord record, milliseconds timeout)
      : stream_(std::move(stream)), record_(std::move(record)), timeout_(timeout) {}

  void start(const std::shared_ptr<Link>& self) {
    reader_ = std::thread([self] {
      emu::name_this_thread("usbip-reader");
      self->read_loop();
    });
    sender_ = std::thread([self] {
      emu::name_this_thread("usbip-sender");
      self->send_loop();
    });
  }

  // Joins the threads, or lets them end on their own when called on one.
  void stop() {
    detach("device released");
    for (std::thread* t : {&reader_, &sender_}) {
      if (!t->joinable()) continue;
      if (t->get_id() == std::this_thread::get_id()) {
        t->detach();
      } else {
        t->join();
      }
    }
  }

  const DeviceRecord& record() const { return record_; }

  std::string reason() const {
    std::lock_guard lock(m_);
    return reason_;
  }

  void set_port(std::shared_ptr<Port> port) {
    std::lock_guard lock(m_);
    port_ = std::move(port);
  }

  void submit(const AsyncTransfer& a) {
    std::lock_guard lock(m_);
    if (detached_) return;  // the bus ends it once it sees the device gone
    UrbMessage m = command(a.endpoint & 0x0F, a.in);
    if (a.in && !a.short_ok) m.transfer_flags |= kShortNotOk;
    m.transfer_length = a.length;
    if (a.transfer_type == USB_ENDPOINT_TYPE_INTERRUPT) {
      // Linux's interval: frames at full speed, microframes at high speed.
      const unsigned b = std::max<uint8_t>(a.interval, 1);
      m.interval = record_.speed >= 3 ? 1u << (std::min(b, 16u) - 1) : b;
    }
    if (a.setup) m.setup = setup_bytes(*a.setup);
    pending_[m.seqnum] = {a.id, a.in, a.length, false, std::nullopt};
    by_id_[a.id] = m.seqnum;
    post(encode_urb(m, a.in ? std::span<const uint8_t>() : a.out));
  }

  void cancel(uint64_t id) {
    std::lock_guard lock(m_);
    auto it = by_id_.find(id);
    if (detached_ || it == by_id_.end()) return;
    Pending& p = pending_.at(it->second);
    if (p.unlink_deadline) return;
    UrbMessage m = command(0, false);
    m.command = CMD_UNLINK;
    m.unlink_seqnum = it->second;
    unlinks_[m.seqnum] = it->second;
    p.unlink_deadline = Clock::now() + timeout_;
    post(encode_urb(m));
  }

  // One control transfer, waited for (at most the time-out): for requests
  // the bus makes synchronously, and the descriptors read at import.
  Sync transact(const SetupPacket& setup, std::span<const uint8_t> out) {
    std::unique_lock lock(m_);
    Sync result;
    if (detached_) return result;
    const bool in = setup.device_to_host();
    UrbMessage m = command(0, in);
    m.transfer_length = setup.wLength;
    m.setup = setup_bytes(setup);
    pending_[m.seqnum] = {0, in, setup.wLength, true, std::nullopt};
    const uint32_t seqnum = m.seqnum;
    post(encode_urb(
        m, in ? std::span<const uint8_t>() : out.first(std::min<std::size_t>(out.size(), setup.wLength))));
    const bool answered =
        changed_.wait_for(lock, timeout_, [&] { return detached_ || synced_.count(seqnum) != 0; });
    if (auto it = synced_.find(seqnum); it != synced_.end()) {
      result = std::move(it->second);
      synced_.erase(it);
      return result;
    }
    lock.unlock();
    if (!answered)
      detach("no answer to a control request within " + std::to_string(timeout_.count()) + " ms");
    return result;
  }

  // Ends the session once: the connection is shut, the device leaves the bus.
  void detach(const std::string& why) {
    std::shared_ptr<Port> port;
    {
      std::lock_guard lock(m_);
      if (detached_) return;
      detached_ = true;
      reason_ = why;
      port = port_;
    }
    changed_.notify_all();
    stream_->shutdown();
    if (port) port->unplug();
  }

 private:
  struct Pending {
    uint64_t bus_id = 0;
    bool in = false;
    uint32_t length = 0;
    bool sync = false;
    std::optional<Clock::time_point> unlink_deadline;
  };

  // Mutex held.
  UrbMessage command(uint32_t ep, bool in) {
    UrbMessage m;
    m.command = CMD_SUBMIT;
    m.seqnum = next_seqnum_++;
    if (next_seqnum_ == 0) next_seqnum_ = 1;
    m.devid = record_.devid();
    m.direction = in ? kDirIn : kDirOut;
    m.ep = ep;
    if (in) m.transfer_flags = kDirInFlag;
    m.number_of_packets = 0;  // as vhci-hcd sends it
    return m;
  }

  void post(Bytes bytes) {
    outbox_.push_back(std::move(bytes));
    changed_.notify_all();
  }

  void send_loop() {
    std::unique_lock lock(m_);
    for (;;) {
      changed_.wait(lock, [&] { return detached_ || !outbox_.empty(); });
      if (detached_) return;
      Bytes next = std::move(outbox_.front());
      outbox_.pop_front();
      lock.unlock();
      const bool sent = stream_->send(next, timeout_);
      if (!sent) detach("the server stopped taking requests");
      lock.lock();
    }
  }

  // What the reply decoder needs to know of a sequence number.
  std::optional<uint32_t> outstanding(uint32_t seqnum) {
    std::lock_guard lock(m_);
    if (auto it = pending_.find(seqnum); it != pending_.end()) return it->second.in ? it->second.length : 0;
    if (unlinks_.count(seqnum)) return 0;
    return std::nullopt;
  }

  // How long the reader may wait for the next reply: until the first
  // unlink falls due, and a short while when none is out (one may be sent
  // while it waits).  Zero once one is overdue.
  milliseconds until_unlink_due() {
    std::lock_guard lock(m_);
    milliseconds wait(100);
    for (const auto& [seqnum, p] : pending_) {
      if (p.unlink_deadline)
        wait = std::min(wait, std::chrono::duration_cast<milliseconds>(*p.unlink_deadline - Clock::now()));
    }
    return std::max(milliseconds(0), wait);
  }

  void read_loop() {
    const Outstanding lookup = [this](uint32_t seqnum) { return outstanding(seqnum); };
    for (;;) {
      const milliseconds idle = std::max(until_unlink_due(), milliseconds(1));
      auto d =
          stream_->next<UrbMessage>([&](auto bytes) { return decode_reply(bytes, lookup); }, timeout_, idle);
      if (!d.ok() && d.error == net::kIdleTimedOut) {
        if (until_unlink_due() > milliseconds(0)) continue;
        detach("the server left an unlink unanswered");
        return;
      }
      if (!d.ok()) {
        detach(d.error);
        return;
      }
      if (d.message.command == RET_SUBMIT) {
        submitted(d.message, d.payload);
      } else {
        unlinked(d.message);
      }
      stream_->consume(d.size);
    }
  }

  void submitted(const UrbMessage& m, std::span<const uint8_t> data) {
    std::shared_ptr<Port> port;
    uint64_t bus_id = 0;
    {
      std::lock_guard lock(m_);
      auto it = pending_.find(m.seqnum);
      const Pending p = it->second;  // there: the decoder checked
      pending_.erase(it);
      if (p.sync) {
        synced_[m.seqnum] = {true, m, Bytes(data.begin(), data.end())};
        changed_.notify_all();
        return;
      }
      by_id_.erase(p.bus_id);
      bus_id = p.bus_id;
      port = port_;
    }
    if (port) port->complete(bus_id, reply_of(m), data);
  }

  void unlinked(const UrbMessage& m) {
    std::shared_ptr<Port> port;
    uint64_t bus_id = 0;
    {
      std::lock_guard lock(m_);
      auto u = unlinks_.find(m.seqnum);
      const uint32_t target = u->second;
      unlinks_.erase(u);
      auto it = pending_.find(target);
      // Answered already by its RET_SUBMIT (status 0): nothing more to do.
      if (it == pending_.end()) return;
      bus_id = it->second.bus_id;
      by_id_.erase(bus_id);
      pending_.erase(it);
      port = port_;
    }
    if (port) port->complete(bus_id, Reply::error(USBD_STATUS_CANCELED, STATUS_CANCELLED));
  }

  const std::unique_ptr<net::Stream> stream_;
  const DeviceRecord record_;
  const milliseconds timeout_;
  std::thread reader_;
  std::thread sender_;

  mutable std::mutex m_;
  std::condition_variable changed_;
  bool detached_ = false;
  std::string reason_;
  std::shared_ptr<Port> port_;
  uint32_t next_seqnum_ = 1;
  std::map<uint32_t, Pending> pending_;   // by sequence number
  std::map<uint64_t, uint32_t> by_id_;    // the bus's id -> sequence number
  std::map<uint32_t, uint32_t> unlinks_;  // an unlink's sequence number -> its target's
  std::map<uint32_t, Sync> synced_;
  std::deque<Bytes> outbox_;
};

class RemoteDeviceImpl final : public RemoteDevice {
 public:
  explicit RemoteDeviceImpl(std::shared_ptr<Link> link) : link_(std::move(link)) {}
  ~RemoteDeviceImpl() override { link_->stop(); }

  // Reads the descriptors the bus answers from; the reason when it cannot.
  std::string read_descriptors() {
    auto get = [&](uint8_t type, uint8_t index, uint16_t language, uint16_t length) -> std::optional<Bytes> {
      const Sync s = link_->transact(
          {0x80, USB_REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>(type << 8 | index), language, length}, {});
      if (!s.done || s.reply.status != 0 || s.data.size() < 2 || s.data[1] != type) return std::nullopt;
      return s.data;
    };
    auto dd = get(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18);
    if (!dd || dd->size() < 18) return "cannot read the device descriptor";
    device_ = std::move(*dd);
    auto head = get(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9);
    if (!head || head->size() < 9) return "cannot read the configuration descriptor";
    const uint16_t total = static_cast<uint16_t>((*head)[2] | (*head)[3] << 8);
    if (total < 9) return "configuration descriptor: wTotalLength " + std::to_string(total);
    auto whole = get(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total);
    if (!whole) return "cannot read the configuration descriptors";
    config_ = std::move(*whole);
    // Strings are optional: the languages, then the three the device names.
    if (auto langs = get(USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255)) {
      const uint16_t language =
          langs->size() >= 4 ? static_cast<uint16_t>((*langs)[2] | (*langs)[3] << 8) : 0;
      strings_[0] = std::move(*langs);
      for (std::size_t field : {14u, 15u, 16u}) {
        const uint8_t index = device_[field];
        if (index == 0 || strings_.count(index)) continue;
        if (auto s = get(USB_STRING_DESCRIPTOR_TYPE, index, language, 255)) strings_[index] = std::move(*s);
      }
    }
    return link_->reason();
  }

  std::span<const uint8_t> device_descriptor() const override { return device_; }
  std::span<const uint8_t> configuration_descriptor() const override { return config_; }
  std::span<const uint8_t> string_descriptor(uint8_t index, uint16_t /*language*/) const override {
    auto it = strings_.find(index);
    return it == strings_.end() ? std::span<const uint8_t>() : std::span<const uint8_t>(it->second);
  }

  // SET_CONFIGURATION, as the bus sends it while it selects a configuration.
  Reply handle_control(const SetupPacket& setup, std::span<uint8_t> data) override {
    const Sync s = link_->transact(setup, data);
    if (!s.done) return Reply::error(USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
    if (s.reply.status == err::EPIPE_) return Reply::stall();
    if (s.reply.status != 0) {
      const UsbdResult r = to_usbd(s.reply.status);
      return Reply::error(r.usbd, r.status);
    }
    const std::size_t n = std::min(s.data.size(), data.size());
    std::copy_n(s.data.begin(), n, data.begin());
    return Reply::data(setup.device_to_host() ? n : s.reply.actual_length);
  }

  void on_reset_pipe(uint8_t endpoint_address) override {
    link_->transact({0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, endpoint_address, 0}, {});
  }

  void submit(const AsyncTransfer& transfer) override { link_->submit(transfer); }
  void cancel(uint64_t id) override { link_->cancel(id); }
  void attach(std::shared_ptr<Port> port) override { link_->set_port(std::move(port)); }
  void on_unplug() override { link_->detach("the device was unplugged"); }

  std::string detach_reason() const override { return link_->reason(); }
  const DeviceRecord& record() const override { return link_->record(); }
  void detach() override { link_->detach("detached"); }

 private:
  const std::shared_ptr<Link> link_;
  Bytes device_;
  Bytes config_;
  std::map<uint8_t, Bytes> strings_;
};

// Sends one operation request and reads its reply on a fresh connection.
template <class T, class Decode>
std::optional<T> operation(const ImportOptions& o, const Bytes& request, const Decode& decode,
                           std::unique_ptr<net::Stream>& stream, std::string& error) {
  const int fd = net::connect_to(o.server, o.io_timeout, error);
  if (fd < 0) return std::nullopt;
  stream = std::make_unique<net::Stream>(fd);
  if (!stream->send(request, o.io_timeout)) {
    error = "the server did not take the request";
    return std::nullopt;
  }
  auto d = stream->template next<T>(decode, o.io_timeout, o.io_timeout);
  if (!d.ok()) {
    error = d.error;
    return std::nullopt;
  }
  stream->consume(d.size);
  return std::move(d.message);
}

}  // namespace

std::optional<ImportOptions> parse_import_target(const std::string& text, std::string& error,
                                                 bool loopback_only) {
  const auto slash = text.find('/');
  ImportOptions o;
  auto server = parse_endpoint(text.substr(0, slash), error, loopback_only);
  if (!server) return std::nullopt;
  o.server = *server;
  if (slash != std::string::npos) {
    o.busid = text.substr(slash + 1);
    if (o.busid.empty() || o.busid.size() >= kBusIdSize) {
      error = "bad busid '" + o.busid + "'";
      return std::nullopt;
    }
  }
  return o;
}

std::optional<std::vector<DeviceRecord>> list_devices(const ImportOptions& options, std::string& error) {
  std::unique_ptr<net::Stream> stream;
  return operation<std::vector<DeviceRecord>>(options, encode_op({kVersion, OP_REQ_DEVLIST, 0}),
                                              decode_devlist_reply, stream, error);
}

std::shared_ptr<RemoteDevice> import_device(const ImportOptions& options, std::string& error) {
  std::string busid = options.busid;
  if (busid.empty()) {
    auto list = list_devices(options, error);
    if (!list) return nullptr;
    if (list->empty()) {
      error = "the server exports no device";
      return nullptr;
    }
    busid = list->front().busid;
  }
  std::unique_ptr<net::Stream> stream;
  auto record =
      operation<DeviceRecord>(options, encode_import_request(busid), decode_import_reply, stream, error);
  if (!record) return nullptr;
  if (record->busid != busid) {
    error = "the server imported '" + record->busid + "' for '" + busid + "'";
    return nullptr;
  }
  auto link = std::make_shared<Link>(std::move(stream), std::move(*record), options.io_timeout);
  link->start(link);
  auto device = std::make_shared<RemoteDeviceImpl>(link);
  error = device->read_descriptors();
  if (!error.empty()) return nullptr;
  return device;
}

}  // namespace emu::usb::usbip
