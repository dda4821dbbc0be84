// The USB/IP server: one device model served to one importer at a time, as
// usbip-host serves a real device.  Each connection asks for the device
// list or imports; an import starts a session that plays host controller
// for a fresh model: the connection's thread reads commands, a worker runs
// the model's callbacks one at a time (a NAKed transfer waits for the
// model's wake), and every reply goes back on the connection.
//
// Every unlink is answered: a transfer still queued is dropped
// (-ECONNRESET); one the model is running is answered after it, done
// (RET_SUBMIT, then the unlink's status 0) or dropped; one already answered
// gets status 0, as usbip-host does.
#include <sys/socket.h>
#include <unistd.h>

#include <emu/kernel.h>
#include <emu/usb/usbip.h>

#include <condition_variable>
#include <deque>
#include <list>
#include <map>
#include <set>
#include <thread>

#include "usb/descriptor_set.h"
#include "usb/usbip/net.h"

namespace emu::usb::usbip {

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

constexpr uint32_t kBusnum = 1;
constexpr uint32_t kDevnum = 2;

uint32_t linux_speed(Speed s) { return s == Speed::full ? 2 : 3; }

DeviceRecord describe(const DeviceModel& model, const std::string& busid) {
  DeviceRecord r;
  r.path = "/sys/devices/vrmdm/usb1/" + busid;
  r.busid = busid;
  r.busnum = kBusnum;
  r.devnum = kDevnum;
  r.speed = linux_speed(model.speed());
  const auto dd = model.device_descriptor();
  auto at = [&](std::size_t i) -> uint8_t { return i < dd.size() ? dd[i] : 0; };
  r.id_vendor = static_cast<uint16_t>(at(8) | at(9) << 8);
  r.id_product = static_cast<uint16_t>(at(10) | at(11) << 8);
  r.bcd_device = static_cast<uint16_t>(at(12) | at(13) << 8);
  r.device_class = at(4);
  r.device_subclass = at(5);
  r.device_protocol = at(6);
  r.num_configurations = at(17);
  if (auto config = detail::parse_configuration(model.configuration_descriptor())) {
    for (const auto& i : config->interfaces) {
      if (i.alternate == 0) r.interfaces.push_back({i.cls, i.subclass, i.protocol});
    }
  }
  // A device imported from usbip-host arrives unconfigured: the importer
  // selects the configuration.
  r.configuration_value = 0;
  return r;
}

struct Urb {
  uint32_t seqnum = 0;
  uint8_t endpoint = 0;  // address with direction; control: 0x00 or 0x80
  bool in = false;
  bool short_not_ok = false;
  std::optional<SetupPacket> setup;
  Bytes buffer;  // IN: room for the data; OUT: the data
  std::size_t done = 0;
  std::optional<uint32_t> unlink_seqnum;  // an unlink came while the model ran it
};

class Session;

class SessionPort final : public Port {
 public:
  explicit SessionPort(std::weak_ptr<Session> s) : session_(std::move(s)) {}
  void wake(uint8_t endpoint_address) override;
  void wake_at(uint8_t endpoint_address, nanoseconds when) override;

 private:
  std::weak_ptr<Session> session_;
};

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(std::shared_ptr<DeviceModel> model, net::Stream& stream, const ServerOptions& options)
      : model_(std::move(model)), stream_(stream), options_(options) {}

  // Runs the session until the connection ends; returns why.
  std::string run() {
    model_->attach(std::make_shared<SessionPort>(weak_from_this()));
    std::thread worker([this] {
      emu::name_this_thread("usbip-device");
      work();
    });
    std::string reason;
    const uint32_t devid = kBusnum << 16 | kDevnum;
    for (;;) {
      auto d = stream_.next<UrbMessage>([&](auto bytes) { return decode_command(bytes, devid); },
                                        options_.io_timeout);
      if (!d.ok()) {
        reason = d.error;
        break;
      }
      if (d.message.command == CMD_SUBMIT) {
        submit(d.message, d.payload);
      } else {
        unlink(d.message);
      }
      stream_.consume(d.size);
    }
    {
      std::lock_guard lock(m_);
      stopping_ = true;
    }
    cv_.notify_all();
    worker.join();
    model_->on_unplug();
    model_->attach(nullptr);
    return reason;
  }

  void wake(uint8_t ep) {
    std::lock_guard lock(m_);
    parked_.erase(ep);
    wake_at_.erase(ep);
    woken_.insert(ep);
    cv_.notify_all();
  }

  void wake_at(uint8_t ep, nanoseconds when) {
    std::lock_guard lock(m_);
    auto [it, fresh] = wake_at_.emplace(ep, when);
    if (!fresh) it->second = std::min(it->second, when);
    cv_.notify_all();
  }

 private:
  void submit(const UrbMessage& m, std::span<const uint8_t> payload) {
    auto u = std::make_unique<Urb>();
    u->seqnum = m.seqnum;
    u->in = m.direction == kDirIn;
    u->short_not_ok = (m.transfer_flags & kShortNotOk) != 0;
    const auto number = static_cast<uint8_t>(m.ep);
    u->endpoint = static_cast<uint8_t>(number | (u->in ? 0x80 : 0));
    if (number == 0) {
      const auto& s = m.setup;
      u->setup =
          SetupPacket{s[0], s[1], static_cast<uint16_t>(s[2] | s[3] << 8),
                      static_cast<uint16_t>(s[4] | s[5] << 8), static_cast<uint16_t>(s[6] | s[7] << 8)};
    }
    if (u->in) {
      u->buffer.resize(m.transfer_length);
    } else {
      u->buffer.assign(payload.begin(), payload.end());
    }
    const uint8_t queue = number == 0 ? 0 : u->endpoint;
    std::lock_guard lock(m_);
    queues_[queue].push_back(std::move(u));
    cv_.notify_all();
  }

  void unlink(const UrbMessage& m) {
    int32_t status = 0;
    {
      std::lock_guard lock(m_);
      for (auto& [address, q] : queues_) {
        for (auto it = q.begin(); it != q.end(); ++it) {
          if ((*it)->seqnum != m.unlink_seqnum) continue;
          if (running_ == it->get()) {
            (*it)->unlink_seqnum = m.seqnum;  // answered once the model is done with it
            return;
          }
          q.erase(it);
          status = err::ECONNRESET_;
          break;
        }
        if (status != 0) break;
      }
    }
    send_unlink_reply(m.seqnum, status);
  }

  void send_unlink_reply(uint32_t seqnum, int32_t status) {
    UrbMessage r;
    r.command = RET_UNLINK;
    r.seqnum = seqnum;
    r.status = status;
    stream_.send(encode_urb(r), options_.io_timeout);
  }

  void send_reply(const Urb& u, int32_t status) {
    UrbMessage r;
    r.command = RET_SUBMIT;
    r.seqnum = u.seqnum;
    r.status = status;
    r.actual_length = static_cast<uint32_t>(u.done);
    r.number_of_packets = 0;  // as Linux sends it for a non-isochronous URB
    std::span<const uint8_t> data;
    if (u.in) data = std::span<const uint8_t>(u.buffer).first(u.done);
    stream_.send(encode_urb(r, data), options_.io_timeout);
  }

  // The worker: runs the head transfer of each endpoint that is not parked.
  void work() {
    std::unique_lock lk(m_);
    while (!stopping_) {
      const nanoseconds now = emu::clock::now();
      for (auto it = wake_at_.begin(); it != wake_at_.end();) {
        if (it->second <= now) {
          parked_.erase(it->first);
          it = wake_at_.erase(it);
        } else {
          ++it;
        }
      }
      Urb* head = nullptr;
      uint8_t queue = 0;
      for (auto& [address, q] : queues_) {
        if (!q.empty() && !parked_.count(address)) {
          head = q.front().get();
          queue = address;
          break;
        }
      }
      if (head == nullptr) {
        // A frozen clock moves only when a test advances it: look again soon.
        nanoseconds wait = std::chrono::milliseconds(50);
        for (const auto& [ep, when] : wake_at_) wait = std::min(wait, when - now);
        if (emu::clock::frozen() && !wake_at_.empty()) wait = std::chrono::milliseconds(1);
        cv_.wait_for(lk, std::max(wait, nanoseconds(0)));
        continue;
      }
      running_ = head;
      woken_.erase(queue);
      const std::size_t before = head->done;
      lk.unlock();
      const std::optional<int32_t> status = head->setup ? control(*head) : data(*head);
      lk.lock();
      running_ = nullptr;
      auto& q = queues_[queue];
      if (status) {
        const auto unlink = head->unlink_seqnum;
        send_reply(*head, *status);
        if (unlink) send_unlink_reply(*unlink, 0);
        q.pop_front();
      } else if (head->unlink_seqnum) {
        send_unlink_reply(*head->unlink_seqnum, err::ECONNRESET_);
        q.pop_front();
      } else if (!woken_.count(queue) && head->done == before) {
        parked_.insert(queue);  // NAKed: until the model wakes it
      }
    }
  }

  // A reply's status, or nothing while the transfer waits (NAK, or an OUT
  // transfer only partly taken).
  std::optional<int32_t> finish(Urb& u, const Reply& r, std::size_t room) {
    switch (r.kind) {
      case Reply::Kind::data:
        u.done += std::min(r.length, room);
        if (!u.in && u.done < u.buffer.size()) return std::nullopt;
        if (u.in && u.short_not_ok && u.done < u.buffer.size()) return err::EREMOTEIO_;
        return 0;
      case Reply::Kind::nak:
        return std::nullopt;
      case Reply::Kind::stall:
        if (!u.setup) halted_.insert(u.endpoint);
        return err::EPIPE_;
      case Reply::Kind::error:
        return to_linux(r.usbd_status);
    }
    return err::EPROTO_;
  }

  std::optional<int32_t> data(Urb& u) {
    {
      std::lock_guard lock(m_);
      if (halted_.count(u.endpoint) || !pipes_.count(u.endpoint)) return err::EPIPE_;
    }
    std::span<uint8_t> room(u.buffer.data() + u.done, u.buffer.size() - u.done);
    const Reply r = model_->handle_data(u.endpoint, room);
    return finish(u, r, room.size());
  }

  std::optional<int32_t> control(Urb& u) {
    const SetupPacket& s = *u.setup;
    std::span<uint8_t> data(u.buffer.data(), std::min<std::size_t>(u.buffer.size(), s.wLength));
    if (s.type() != 0) {
      const Reply r = model_->handle_control(s, data);
      // A control transfer's data stage is taken whole, as on the bus.
      if (r.kind == Reply::Kind::data && !u.in) {
        u.done = data.size();
        return 0;
      }
      return finish(u, r, data.size());
    }
    auto give = [&](std::span<const uint8_t> bytes) -> std::optional<int32_t> {
      if (bytes.empty()) return err::EPIPE_;
      u.done = std::min(bytes.size(), data.size());
      std::copy_n(bytes.begin(), u.done, data.begin());
      return 0;
    };
    switch (s.bRequest) {
      case USB_REQUEST_GET_DESCRIPTOR: {
        const uint8_t type = s.wValue >> 8;
        const uint8_t index = s.wValue & 0xFF;
        if (type == USB_DEVICE_DESCRIPTOR_TYPE) return give(model_->device_descriptor());
        if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
          return give(model_->configuration_descriptor());
        if (type == USB_STRING_DESCRIPTOR_TYPE) return give(model_->string_descriptor(index, s.wIndex));
        return err::EPIPE_;
      }
      case USB_REQUEST_SET_CONFIGURATION:
        return set_configuration(s);
      case USB_REQUEST_CLEAR_FEATURE:
        if (s.recipient() == 2 && s.wValue == USB_FEATURE_ENDPOINT_STALL) {
          const auto ep = static_cast<uint8_t>(s.wIndex);
          {
            std::lock_guard lock(m_);
            halted_.erase(ep);
          }
          model_->on_reset_pipe(ep);
        }
        return 0;
      case USB_REQUEST_GET_STATUS: {
        const uint8_t zero[2] = {0, 0};
        return give(zero);
      }
      case USB_REQUEST_GET_CONFIGURATION: {
        const uint8_t value[1] = {configuration_};
        return give(value);
      }
      case USB_REQUEST_GET_INTERFACE: {
        const uint8_t zero[1] = {0};
        return give(zero);
      }
      case USB_REQUEST_SET_INTERFACE:
        return s.wValue == 0 ? 0 : err::EPIPE_;  // alternate setting 0 only
      default:
        return 0;  // SET_ADDRESS, SET_FEATURE...: nothing to do here
    }
  }

  std::optional<int32_t> set_configuration(const SetupPacket& s) {
    const auto value = static_cast<uint8_t>(s.wValue);
    std::vector<PipeConfig> pipes;
    if (value != 0) {
      const auto config = detail::parse_configuration(model_->configuration_descriptor());
      if (!config || config->value != value) return err::EINVAL_;
      for (const auto& i : config->interfaces) {
        if (i.alternate != 0) continue;
        for (const auto& e : i.endpoints)
          pipes.push_back({i.number, e.address, e.attributes, e.max_packet, kMaxTransfer});
      }
    }
    const Reply r = model_->handle_control(s, {});
    if (r.kind != Reply::Kind::data) return err::EPIPE_;
    {
      std::lock_guard lock(m_);
      configuration_ = value;
      pipes_.clear();
      halted_.clear();
      for (const auto& p : pipes) pipes_.insert(p.endpoint_address);
    }
    if (value != 0) model_->on_configured(pipes);
    return 0;
  }

  const std::shared_ptr<DeviceModel> model_;
  net::Stream& stream_;
  const ServerOptions& options_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stopping_ = false;
  std::map<uint8_t, std::deque<std::unique_ptr<Urb>>> queues_;  // 0: the default pipe
  Urb* running_ = nullptr;
  std::set<uint8_t> parked_;
  std::set<uint8_t> woken_;  // woken while its transfer was with the model
  std::map<uint8_t, nanoseconds> wake_at_;
  std::set<uint8_t> pipes_;
  std::set<uint8_t> halted_;
  uint8_t configuration_ = 0;  // the worker's own
};

void SessionPort::wake(uint8_t ep) {
  if (auto s = session_.lock()) s->wake(ep);
}

void SessionPort::wake_at(uint8_t ep, nanoseconds when) {
  if (auto s = session_.lock()) s->wake_at(ep, when);
}

class ServerImpl final : public Server {
 public:
  ServerImpl(const ServerOptions& options, int listener, uint16_t port)
      : options_(options), listener_(listener), port_(port) {
    accept_thread_ = std::thread([this] {
      emu::name_this_thread("usbip-accept");
      accept_loop();
    });
  }
  ~ServerImpl() override { stop(); }

  uint16_t port() const override { return port_; }
  std::size_t sessions() const override {
    std::lock_guard lock(m_);
    return served_;
  }

  void stop() override {
    {
      std::lock_guard lock(m_);
      if (stopped_) return;
      stopped_ = true;
      for (auto* s : open_) s->shutdown();
    }
    ::shutdown(listener_, SHUT_RDWR);
    accept_thread_.join();
    std::list<std::thread> threads;
    {
      std::lock_guard lock(m_);
      threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
    ::close(listener_);
  }

 private:
  void log(const std::string& line) const {
    if (options_.log) options_.log(line);
  }

  void accept_loop() {
    for (;;) {
      const int fd = net::accept_from(listener_);
      std::lock_guard lock(m_);
      if (fd < 0 || stopped_) {
        if (fd >= 0) ::close(fd);
        return;
      }
      threads_.emplace_back([this, fd] {
        emu::name_this_thread("usbip-conn");
        net::Stream stream(fd);
        {
          std::lock_guard l(m_);
          if (stopped_) return;
          open_.insert(&stream);
        }
        serve_connection(stream);
        std::lock_guard l(m_);
        open_.erase(&stream);
      });
    }
  }

  // One connection: a device list, or an import and its session.
  void serve_connection(net::Stream& stream) {
    const milliseconds t = options_.io_timeout;
    auto first = stream.next<std::string>(
        [](std::span<const uint8_t> b) {
          Decoded<std::string> d;
          if (b.size() < kOpHeaderSize) {
            d.size = kOpHeaderSize;
            return d;
          }
          const uint16_t code = static_cast<uint16_t>(b[2] << 8 | b[3]);
          if (code == OP_REQ_IMPORT) return decode_import_request(b);
          auto h = decode_op(b, OP_REQ_DEVLIST);
          d.result = static_cast<Decoded<std::string>::Result>(h.result);
          d.error = h.error;
          d.size = h.size;
          return d;
        },
        t, t);
    if (!first.ok()) {
      log("connection dropped: " + first.error);
      return;
    }
    const bool import = first.size > kOpHeaderSize;
    stream.consume(first.size);
    auto model = options_.make_device();
    const DeviceRecord record = describe(*model, options_.busid);
    if (!import) {
      stream.send(encode_devlist_reply({record}), t);
      return;
    }
    bool granted = false;
    {
      std::lock_guard lock(m_);
      if (first.message == options_.busid && !busy_) busy_ = granted = true;
    }
    if (!granted) {
      log("import of '" + first.message +
          "' refused: " + (first.message == options_.busid ? "busy" : "no such device"));
      stream.send(encode_import_reply(1, nullptr), t);
      return;
    }
    if (stream.send(encode_import_reply(0, &record), t)) {
      {
        std::lock_guard lock(m_);
        ++served_;
      }
      log("device " + options_.busid + " imported");
      auto session = std::make_shared<Session>(model, stream, options_);
      log("device " + options_.busid + " released: " + session->run());
    }
    std::lock_guard lock(m_);
    busy_ = false;
  }

  const ServerOptions options_;
  const int listener_;
  const uint16_t port_;
  mutable std::mutex m_;
  bool stopped_ = false;
  bool busy_ = false;
  std::size_t served_ = 0;
  std::set<net::Stream*> open_;
  std::list<std::thread> threads_;
  std::thread accept_thread_;
};

}  // namespace

std::unique_ptr<Server> serve(const ServerOptions& options, std::string& error) {
  if (!options.make_device) {
    error = "no device to serve";
    return nullptr;
  }
  uint16_t port = 0;
  const int fd = net::listen_on(options.listen, port, error);
  if (fd < 0) return nullptr;
  return std::make_unique<ServerImpl>(options, fd, port);
}

}  // namespace emu::usb::usbip
