#include "bench.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>
#include <emu/usb/usbip.h>
#include <emu/verifier.h>
#include <nt/ntddser.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <optional>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/driver_entry.h"
#include "serial/polling.h"
#include "serial/ringbuf.h"

namespace vrmdm {

namespace {

namespace usb = emu::usb;
using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::milliseconds;
using Ms = duration<double, std::milli>;

constexpr char16_t kRegistryPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vr_mdm";

// A wrong byte, a lost one, a failed request: what the bench fails on.
struct DataError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The ceiling a figure is measured against: the bus's, the clock tick's...
struct Ceiling {
  double value;
  std::string text;  // what it is
};

struct Figure {
  std::string name;
  double value;
  std::string unit;
  Ceiling ceiling;
  std::optional<Ceiling> design;  // throughput: the driver's design on a host reporting at frame ends
  std::string goal;               // on the design's ratio where there is one, e.g. ">= 0.95"; empty: none
  bool holds = true;
  double cpu = -1;  // percent of one core the process used meanwhile (-1: not measured)

  double ratio() const { return value / ceiling.value; }
  std::optional<double> design_ratio() const {
    return design ? std::optional(value / design->value) : std::nullopt;
  }
};

// Rate over a measurement: from the first completion on, so that the
// transfer the idle bus took at once does not count, with the CPU time the
// whole process (every emulated thread) spent meanwhile.
struct Meter {
  Clock::time_point start = Clock::now();
  double cpu0 = cpu_seconds_now();
  uint64_t counted = 0;
  static double cpu_seconds_now() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }
  void restart() {
    start = Clock::now();
    cpu0 = cpu_seconds_now();
    counted = 0;
  }
  double rate() const { return double(counted) / duration<double>(Clock::now() - start).count(); }
  double cpu_percent() const {
    return 100.0 * (cpu_seconds_now() - cpu0) / duration<double>(Clock::now() - start).count();
  }
};

struct Rate {
  double per_second;
  double cpu_percent;
  // The driver's turnaround on its data pipe: from a transfer's completion,
  // as the bus reported it, to the next transfer's submission; microseconds
  // (empty: not measured).
  std::vector<double> turnaround_us;
};

// Watches one endpoint's URBs for the driver's turnaround while `on`.
class TurnaroundWatch {
 public:
  explicit TurnaroundWatch(uint8_t endpoint)
      : id_(usb::watch([this, endpoint](const usb::UrbEvent& e) {
          if (e.endpoint != endpoint || !on.load()) return;
          const auto now = emu::clock::now();
          std::lock_guard lock(m_);
          if (e.kind == usb::UrbEvent::Kind::complete) {
            completed_ = now;
          } else if (completed_) {
            us_.push_back(duration<double, std::micro>(now - *completed_).count());
            completed_.reset();
          }
        })) {}
  ~TurnaroundWatch() { usb::unwatch(id_); }
  TurnaroundWatch(const TurnaroundWatch&) = delete;
  TurnaroundWatch& operator=(const TurnaroundWatch&) = delete;

  std::vector<double> take() {
    on = false;
    std::lock_guard lock(m_);
    return std::move(us_);
  }
  std::atomic<bool> on{false};

 private:
  std::mutex m_;
  std::optional<emu::clock::duration> completed_;
  std::vector<double> us_;
  uint64_t id_;
};

double quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * double(v.size())))];
}

struct Latency {
  double p50, p99, max;  // ms
};

// The median, 99th percentile and largest of a run's samples.
Latency latency_of(std::vector<double> ms) {
  return {quantile(ms, 0.5), quantile(ms, 0.99), ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end())};
}

emu::clock::duration ms_tick(double ms) {
  return std::chrono::duration_cast<emu::clock::duration>(duration<double, std::milli>(ms));
}

std::string format(const char* f, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, f, v);
  return buf;
}

// A device model as the bus gets it: plugged itself, or served by a USB/IP
// server on loopback in this process and imported from there.
struct Attached {
  std::shared_ptr<usb::DeviceModel> device;
  std::shared_ptr<usb::usbip::Server> server;  // kept while the device is on the bus
};

Attached attach(std::shared_ptr<usb::DeviceModel> model, bool usbip) {
  if (!usbip) return {std::move(model), nullptr};
  usb::usbip::ServerOptions options;
  options.listen = {"127.0.0.1", 0};
  options.make_device = [model] { return model; };
  std::string error;
  std::shared_ptr<usb::usbip::Server> server = usb::usbip::serve(options, error);
  if (!server) throw DataError("usbip: " + error);
  usb::usbip::ImportOptions import;
  import.server = {"127.0.0.1", server->port()};
  auto device = usb::usbip::import_device(import, error);
  if (!device) throw DataError("usbip: " + error);
  return {std::move(device), std::move(server)};
}

// The driver loaded, one device plugged and started, the port open.  The
// destructor takes it all down as the system would and resets the kernel;
// any verifier finding on the way is a data error.
class Rig {
 public:
  Rig(Attached attached, double tick_ms, usb::CompletionTiming completion)
      : Rig(std::move(attached.device), tick_ms, completion) {
    server_ = std::move(attached.server);
  }
  Rig(std::shared_ptr<usb::DeviceModel> model, double tick_ms, usb::CompletionTiming completion) {
    emu::clock::set_tick(ms_tick(tick_ms));
    driver_ = emu::load_driver(&DriverEntry, kRegistryPath, u"\\Driver\\vr_mdm");
    if (!driver_.loaded()) throw DataError("the driver did not load");
    usb::PlugOptions options;
    options.completion = completion;
    PDEVICE_OBJECT pdo = usb::plug(std::move(model), options);
    node_ = usb::node(pdo);
    node_->set_port_name(u"COM5");
    NTSTATUS status = node_->add_device(driver_);
    if (NT_SUCCESS(status)) status = node_->start();
    started_ = NT_SUCCESS(status);
    if (!started_) throw DataError("the device did not start");
    port_ = emu::open(u"\\DosDevices\\COM5");
    if (!port_.is_open()) throw DataError("COM5 did not open");
  }
  ~Rig() { finish(); }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  emu::Handle& port() { return port_; }

  void set_timeouts(ULONG read_total_ms, ULONG write_total_ms) {
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = read_total_ms;
    t.WriteTotalTimeoutConstant = write_total_ms;
    auto r =
        port_.ioctl(IOCTL_SERIAL_SET_TIMEOUTS, std::span(reinterpret_cast<const uint8_t*>(&t), sizeof t));
    if (r.status != STATUS_SUCCESS) throw DataError("SET_TIMEOUTS failed");
  }

  // Dials; returns the bytes that came behind "CONNECT <rate>\r\n".
  std::vector<uint8_t> connect(uint32_t rate) {
    if (port_.write("ATD*99#\r").status != STATUS_SUCCESS) throw DataError("the dial write failed");
    const std::string want = "CONNECT " + std::to_string(rate) + "\r\n";
    std::string text;
    const auto give_up = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < give_up) {
      auto r = port_.read(4096);
      if (r.status != STATUS_SUCCESS) throw DataError("a read failed while dialling");
      text.append(r.output.begin(), r.output.end());
      if (auto at = text.find(want); at != std::string::npos)
        return std::vector<uint8_t>(text.begin() + static_cast<std::ptrdiff_t>(at + want.size()), text.end());
    }
    throw DataError("no CONNECT from the modem");
  }

  // Takes everything down; throws DataError for verifier findings.
  void finish() {
    if (done_) return;
    done_ = true;
    if (port_.is_open()) {
      port_.cancel_io();
      port_.close();
      port_.wait_closed(std::chrono::seconds(5));
    }
    if (node_ && started_) {
      node_->query_remove();
      node_->remove();
    }
    node_.reset();
    usb::reset();  // before the unload, as the emulator backend does
    if (driver_.loaded()) driver_.unload();
    emu::kernel_reset();
    auto findings = emu::verifier::take_findings();
    if (!findings.empty() && std::uncaught_exceptions() == 0) {
      throw DataError("verifier: " + emu::verifier::describe(findings.front()));
    }
  }

 private:
  std::shared_ptr<usb::usbip::Server> server_;  // a USB/IP device's: outlives the rest
  emu::Driver driver_;
  std::shared_ptr<emu::DeviceNode> node_;
  emu::Handle port_;
  bool started_ = false;
  bool done_ = false;
};

usb::ModemConfig modem_config(usb::Speed speed) {
  usb::ModemConfig c;
  c.speed = speed;
  c.data_mode = usb::ModemConfig::DataMode::source;
  return c;
}

void check_stream(uint64_t offset, const std::vector<uint8_t>& bytes, const char* what) {
  if (auto bad = usb::check_pattern(offset, bytes))
    throw DataError(std::string(what) + ": byte " + std::to_string(offset + *bad) +
                    " is wrong (lost or reordered)");
}

// How many requests a streaming client keeps queued (overlapped I/O), so
// that the port never waits for the client between two of them.
constexpr std::size_t kInFlight = 4;

// Receive: the modem's source as fast as the bus carries it, read back in
// 64 KiB reads kept queued, every byte checked.  Bytes per second.
Rate receive(usb::Speed speed, usb::CompletionTiming completion, Clock::duration span, bool usbip = false) {
  const usb::ModemConfig config = modem_config(speed);
  auto modem = std::make_shared<usb::ModemModel>(config);
  Rig rig(attach(modem, usbip), 15.625, completion);
  rig.set_timeouts(50, 0);
  std::vector<uint8_t> head = rig.connect(config.connect_rate);
  check_stream(0, head, "receive");
  uint64_t offset = head.size();
  std::vector<emu::RequestPtr> flight;
  while (flight.size() < kInFlight) flight.push_back(rig.port().read_async(65536));
  TurnaroundWatch turnaround(usb::cdc::BULK_IN_ENDPOINT);
  Meter meter;
  for (bool first = true; first || Clock::now() - meter.start < span; first = false) {
    // Reads complete in the order they were queued.
    auto r = flight.front();
    flight.erase(flight.begin());
    if (!r->wait() || r->status() != STATUS_SUCCESS) throw DataError("a receive read failed");
    flight.push_back(rig.port().read_async(65536));
    const std::vector<uint8_t> got = r->output();
    check_stream(offset, got, "receive");
    offset += got.size();
    if (first) {
      meter.restart();
      turnaround.on = true;
    } else {
      meter.counted += got.size();
    }
  }
  const Rate rate{meter.rate(), meter.cpu_percent(), turnaround.take()};
  rig.finish();
  return rate;
}

// Transmit: 64 KiB writes kept queued as a client with overlapped I/O
// keeps them, checked by the modem against the pattern.  Bytes per second.
Rate transmit(usb::Speed speed, usb::CompletionTiming completion, Clock::duration span, bool usbip = false) {
  usb::ModemConfig config = modem_config(speed);
  config.source_limit = 1;  // the bus to the uplink alone
  auto modem = std::make_shared<usb::ModemModel>(config);
  Rig rig(attach(modem, usbip), 15.625, completion);
  rig.set_timeouts(50, 0);
  rig.connect(config.connect_rate);
  constexpr std::size_t kWrite = 65536;
  std::vector<uint8_t> chunk(kWrite);
  uint64_t sent = 0, done = 0;
  std::vector<emu::RequestPtr> flight;
  auto issue = [&] {
    usb::fill_pattern(sent, chunk);
    flight.push_back(rig.port().write_async(chunk));
    sent += kWrite;
  };
  TurnaroundWatch turnaround(usb::cdc::BULK_OUT_ENDPOINT);
  Meter meter;
  auto retire = [&] {
    auto r = flight.front();
    flight.erase(flight.begin());
    if (!r->wait() || r->status() != STATUS_SUCCESS || r->information() != kWrite)
      throw DataError("a 64 KiB write did not complete whole");
    if (done == 0) {
      meter.restart();
      turnaround.on = true;
    } else {
      meter.counted += kWrite;
    }
    done += kWrite;
  };
  while (flight.size() < kInFlight) issue();
  retire();
  issue();
  while (Clock::now() - meter.start < span) {
    retire();
    issue();
  }
  while (!flight.empty()) retire();
  const Rate rate{meter.rate(), meter.cpu_percent(), turnaround.take()};
  if (modem->uplink_mismatch())
    throw DataError("transmit: byte " + std::to_string(*modem->uplink_mismatch()) + " is wrong at the modem");
  if (modem->uplink_bytes() != done) throw DataError("transmit: the modem did not get every byte");
  rig.finish();
  return rate;
}

// Sequential 1,500-byte writes, one at a time as a PPP client sends its
// frames.  Writes per second.
Rate sequential_writes(usb::Speed speed, usb::CompletionTiming completion, double tick_ms,
                       Clock::duration span) {
  usb::ModemConfig config = modem_config(speed);
  config.source_limit = 1;
  auto modem = std::make_shared<usb::ModemModel>(config);
  Rig rig(modem, tick_ms, completion);
  rig.set_timeouts(50, 0);
  rig.connect(config.connect_rate);
  std::vector<uint8_t> frame(1500);
  uint64_t sent = 0;
  Meter meter;
  while (sent == 0 || Clock::now() - meter.start < span) {
    usb::fill_pattern(sent, frame);
    auto r = rig.port().write(frame);
    if (r.status != STATUS_SUCCESS || r.information != frame.size())
      throw DataError("a 1,500-byte write did not complete whole");
    if (sent == 0) {
      meter.restart();
    } else {
      ++meter.counted;
    }
    sent += frame.size();
  }
  const Rate rate{meter.rate(), meter.cpu_percent(), {}};
  if (modem->uplink_mismatch() || modem->uplink_bytes() != sent)
    throw DataError("sequential writes: the modem did not get every byte in order");
  rig.finish();
  return rate;
}

// From the modem's send to the completion of the read that waits for it
// (when the I/O manager completed it), and to the waiting client's wake-up,
// which adds the host's scheduling of an ordinary thread: the read is pending
// first, the byte comes after a random pause.
struct ReadLatency {
  Latency completed, woken;
};

ReadLatency read_latency(usb::Speed speed, usb::CompletionTiming completion, double tick_ms, int samples) {
  auto device = usb::ScriptedDevice::cdc_acm(usb::cdc::Variant::acm_nointr);
  device->set_speed(speed);
  Rig rig(device, tick_ms, completion);
  rig.set_timeouts(5000, 0);
  std::mt19937 rng(15);
  std::vector<double> ms, woken;
  for (int i = 0; i < samples; ++i) {
    const uint8_t byte = static_cast<uint8_t>('a' + i % 26);
    auto r = rig.port().read_async(16);
    std::this_thread::sleep_for(std::chrono::microseconds(300 + rng() % 1700));
    const auto sent = Clock::now();
    device->queue_in(usb::cdc::BULK_IN_ENDPOINT, std::span(&byte, 1));
    if (!r->wait(milliseconds(10000)) || r->status() != STATUS_SUCCESS ||
        r->output() != std::vector<uint8_t>{byte})
      throw DataError("a latency read did not get its byte");
    woken.push_back(Ms(Clock::now() - sent).count());
    ms.push_back(Ms(*r->completed_at() - sent).count());
  }
  rig.finish();
  return {latency_of(std::move(ms)), latency_of(std::move(woken))};
}

// "AT" to "OK": from the write to the read that holds the echo and the
// answer, in command mode.
Latency at_round_trip(bool usbip, usb::CompletionTiming completion, int samples) {
  usb::ModemConfig config;
  config.speed = usb::Speed::high;
  Rig rig(attach(std::make_shared<usb::ModemModel>(config), usbip), 1.0, completion);
  rig.set_timeouts(5000, 0);
  const std::string want = "AT\r\r\nOK\r\n";
  std::vector<double> ms;
  for (int i = 0; i < samples; ++i) {
    const auto t0 = Clock::now();
    auto r = rig.port().read_async(static_cast<ULONG>(want.size()));
    if (rig.port().write("AT\r").status != STATUS_SUCCESS) throw DataError("the AT write failed");
    if (!r->wait(milliseconds(10000)) || r->status() != STATUS_SUCCESS) throw DataError("the AT read failed");
    const std::vector<uint8_t> got = r->output();
    if (std::string(got.begin(), got.end()) != want) throw DataError("AT was not answered OK");
    ms.push_back(Ms(Clock::now() - t0).count());
  }
  rig.finish();
  return latency_of(std::move(ms));
}

// The figures through USB/IP (a loopback server in this process) beside the
// same through the local model, each in turn in this run.
void usbip_figures(usb::CompletionTiming completion, Clock::duration span, int samples,
                   std::vector<Figure>& figures) {
  const usb::Speed high = usb::Speed::high;
  const Rate local_rx = receive(high, completion, span);
  const Rate rx = receive(high, completion, span, true);
  const Rate local_tx = transmit(high, completion, span);
  const Rate tx = transmit(high, completion, span, true);
  auto rate = [&](const std::string& name, const Rate& r, const Rate& local) {
    const double l = local.per_second / 1e6;
    figures.push_back(
        {name + ", local high speed", l, "MB/s", {l, "the same"}, {}, "", true, local.cpu_percent});
    figures.push_back({name + " through USB/IP",
                       r.per_second / 1e6,
                       "MB/s",
                       {l, format("%.4g MB/s local", l)},
                       {},
                       "",
                       true,
                       r.cpu_percent});
  };
  rate("receive", rx, local_rx);
  rate("transmit 64 KiB writes", tx, local_tx);
  const Latency local = at_round_trip(false, completion, samples);
  const Latency remote = at_round_trip(true, completion, samples);
  for (const auto& [name, l] : {std::pair{"AT round trip, local, tick 1", local},
                                std::pair{"AT round trip, USB/IP, tick 1", remote}}) {
    figures.push_back({std::string(name) + " p50",
                       l.p50,
                       "ms",
                       {local.p50, format("%.3g ms local", local.p50)},
                       {},
                       "",
                       true});
    figures.push_back({std::string(name) + " p99",
                       l.p99,
                       "ms",
                       {local.p99, format("%.3g ms local", local.p99)},
                       {},
                       "",
                       true});
  }
}

// CPU time of the whole process (every emulated thread) over `span` with
// the port open and nothing moving: percent of one core.
double idle_cpu(usb::CompletionTiming completion, double tick_ms, Clock::duration span) {
  usb::ModemConfig config;
  config.speed = usb::Speed::high;
  auto modem = std::make_shared<usb::ModemModel>(config);
  Rig rig(modem, tick_ms, completion);
  std::this_thread::sleep_for(milliseconds(100));  // the open's own work done
  Meter meter;
  std::this_thread::sleep_for(span);
  const double percent = meter.cpu_percent();
  rig.finish();
  return percent;
}

// What the idle port's design costs this host by itself: three bare threads
// that wait, as the driver's read, write and wait-mask threads do, 1 ms at a
// time on a clock that ends waits at its ticks, with the policy the emulated
// kernel gives those threads now.  Percent of one core, their own CPU only.
double bare_pollers_cpu(double tick_ms, Clock::duration span) {
  const auto tick = std::chrono::duration_cast<Clock::duration>(Ms(tick_ms));
  const auto begin = Clock::now();
  std::atomic<int64_t> cpu_ns{0};
  std::vector<std::thread> pollers;
  for (int i = 0; i < 3; ++i) {
    pollers.emplace_back([&] {
      if (emu::realtime_priorities()) {
        sched_param param{};
        param.sched_priority = emu::fifo_priority(LOW_REALTIME_PRIORITY);
        (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
      }
      auto cpu_now = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
      };
      const int64_t t0 = cpu_now();
      // Each wait is due 1 ms on and ends at the first tick from then.
      for (;;) {
        const auto due = Clock::now() + milliseconds(1) - begin;
        const auto next = begin + (due + tick - Clock::duration(1)) / tick * tick;
        if (next >= begin + span) break;
        std::this_thread::sleep_until(next);
      }
      cpu_ns += cpu_now() - t0;
    });
  }
  for (auto& t : pollers) t.join();
  return 100.0 * double(cpu_ns.load()) / double(std::chrono::nanoseconds(span).count());
}

// One device-control request that the driver answers at once, from the
// caller through the I/O manager and back: median microseconds.
double round_trip_us(int calls) {
  auto device = usb::ScriptedDevice::cdc_acm(usb::cdc::Variant::acm_nointr);
  Rig rig(device, 15.625, usb::CompletionTiming::end_of_frame);
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(calls));
  for (int i = 0; i < calls; ++i) {
    const auto t0 = Clock::now();
    auto r = rig.port().ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    us.push_back(duration<double, std::micro>(Clock::now() - t0).count());
    if (r.status != STATUS_SUCCESS) throw DataError("GET_MODEMSTATUS failed");
  }
  rig.finish();
  std::sort(us.begin(), us.end());
  return us[us.size() / 2];
}

// 4 KiB through the receive ring (put and get) against two memcpys of the
// same bytes: nanoseconds per KiB of each, best of five rounds.
std::pair<double, double> ring_vs_memcpy(int rounds_of) {
  constexpr ULONG kChunk = 4096;
  PRING_BUFFER ring = RingBufferAllocate();
  if (ring == nullptr) throw DataError("no ring");
  std::vector<UCHAR> in(kChunk), out(kChunk), stage(RING_BUFFER_DATA_SIZE);
  for (ULONG i = 0; i < kChunk; ++i) in[i] = static_cast<UCHAR>(i * 7);
  double best_ring = 1e18, best_copy = 1e18;
  for (int round = 0; round < 5; ++round) {
    auto t0 = Clock::now();
    for (int i = 0; i < rounds_of; ++i) {
      if (RingBufferPut(ring, in.data(), kChunk) != kChunk ||
          RingBufferGet(ring, out.data(), kChunk) != kChunk)
        throw DataError("the ring lost bytes");
    }
    best_ring = std::min(best_ring, duration<double, std::nano>(Clock::now() - t0).count() / rounds_of / 4);
    if (out != in) throw DataError("the ring changed bytes");
    std::size_t at = 0;
    t0 = Clock::now();
    for (int i = 0; i < rounds_of; ++i) {
      if (at + kChunk > stage.size()) at = 0;
      std::memcpy(stage.data() + at, in.data(), kChunk);
      std::memcpy(out.data(), stage.data() + at, kChunk);
      at += kChunk;
      asm volatile("" : : "r"(out.data()) : "memory");
    }
    best_copy = std::min(best_copy, duration<double, std::nano>(Clock::now() - t0).count() / rounds_of / 4);
  }
  RingBufferFree(ring);
  emu::kernel_reset();
  return {best_ring, best_copy};
}

void print_table(const std::vector<Figure>& figures, bool short_run, usb::CompletionTiming completion,
                 std::ostream& out) {
  out << "vrmdm bench" << (short_run ? " --short (speeds not judged)" : "") << "; completions "
      << usb::completion_timing_name(completion) << "; tick 15.625 ms unless named\n\n";
  char line[320];
  std::snprintf(line, sizeof line, "%-40s %13s %25s %7s %24s %7s %5s  %s\n", "figure", "value", "ceiling",
                "ratio", "design ceiling", "ratio", "cpu", "goal");
  out << line;
  for (const Figure& f : figures) {
    const std::string value = format(f.value >= 100 ? "%.0f" : "%.3g", f.value) + " " + f.unit;
    const std::string cpu = f.cpu < 0 ? "" : format("%.0f%%", f.cpu);
    const std::string design = f.design ? f.design->text : "";
    const std::string design_ratio = f.design ? format("%.3f", *f.design_ratio()) : "";
    std::snprintf(line, sizeof line, "%-40s %13s %25s %7.3f %24s %7s %5s  %s%s\n", f.name.c_str(),
                  value.c_str(), f.ceiling.text.c_str(), f.ratio(), design.c_str(), design_ratio.c_str(),
                  cpu.c_str(), f.goal.c_str(),
                  f.goal.empty() || short_run ? "" : (f.holds ? "  holds" : "  MISSED"));
    out << line;
  }
  out << "\ndesign ceiling: what the driver's own design (one 4 KiB read, one write in flight) permits on a\n"
         "host controller that reports each completion at the end of its (micro)frame\n"
         "cpu: percent of one core the whole process used during the measurement\n"
         "bare pollers: for the idle port, the CPU of three bare threads that wake as its read, write and\n"
         "wait-mask threads do (1 ms waits ended at the tick): the design's own floor on this host\n";
}

std::string json_escape(const std::string& s) {
  std::string o;
  for (char c : s) {
    if (c == '"' || c == '\\') o += '\\';
    o += c;
  }
  return o;
}

void print_json(const std::vector<Figure>& figures, bool short_run, usb::CompletionTiming completion,
                const std::string& error, std::ostream& out) {
  out << "{\"short\":" << (short_run ? "true" : "false") << ",\"completions\":\""
      << usb::completion_timing_name(completion) << "\""
      << ",\"data_error\":" << (error.empty() ? "null" : "\"" + json_escape(error) + "\"")
      << ",\"figures\":[";
  for (std::size_t i = 0; i < figures.size(); ++i) {
    const Figure& f = figures[i];
    out << (i ? "," : "") << "{\"name\":\"" << json_escape(f.name) << "\",\"value\":" << f.value
        << ",\"unit\":\"" << json_escape(f.unit) << "\",\"ceiling\":" << f.ceiling.value
        << ",\"ceiling_is\":\"" << json_escape(f.ceiling.text) << "\",\"ratio\":" << f.ratio();
    if (f.design) {
      out << ",\"design_ceiling\":" << f.design->value << ",\"design_ceiling_is\":\""
          << json_escape(f.design->text) << "\",\"design_ratio\":" << *f.design_ratio();
    }
    out << ",\"goal\":\"" << json_escape(f.goal) << "\",\"holds\":" << (f.holds ? "true" : "false");
    if (f.cpu >= 0) out << ",\"cpu_percent\":" << f.cpu;
    out << "}";
  }
  out << "]}\n";
}

int report(const BenchOptions& options, usb::CompletionTiming completion, const std::vector<Figure>& figures,
           const std::string& error, std::ostream& out, std::ostream& err) {
  if (options.json) {
    print_json(figures, options.short_run, completion, error, out);
  } else {
    print_table(figures, options.short_run, completion, out);
  }
  if (!error.empty()) {
    err << "vrmdm bench: " << error << '\n';
    return 1;
  }
  return 0;
}

}  // namespace

int run_bench(const BenchOptions& options, std::ostream& out, std::ostream& err) {
  const bool s = options.short_run;
  const auto completion = usb::parse_completion_timing(options.completion);
  if (!completion) {
    err << "vrmdm bench: completions are end-of-frame or on-answer\n";
    return 2;
  }
  const usb::CompletionTiming c = *completion;
  // A faithful host's timing has the driver's real-time threads run before
  // ordinary ones, as Windows runs them (where this process may).
  const bool realtime_before = emu::realtime_priorities();
  emu::set_realtime_priorities(c == usb::CompletionTiming::end_of_frame);
  struct Restore {
    bool on;
    ~Restore() { emu::set_realtime_priorities(on); }
  } restore{realtime_before};
  const Clock::duration span = s ? milliseconds(150) : milliseconds(1500);
  std::vector<Figure> figures;
  std::string error;
  if (options.usbip) {
    try {
      usbip_figures(c, span, s ? 20 : 200, figures);
    } catch (const DataError& e) {
      error = e.what();
    }
    return report(options, c, figures, error, out, err);
  }
  // A throughput row: against the bus and against one transfer of
  // `transfer` bytes in flight on a host reporting at frame ends (`unit`
  // bytes a figure unit).
  auto throughput = [&](std::string name, usb::Speed speed, const Rate& r, double unit, const char* unit_name,
                        uint64_t transfer, double goal) {
    const uint16_t packet = speed == usb::Speed::high ? 512 : 64;
    // Every slot full of such transfers (each takes whole packets).
    const double packets = double((transfer + packet - 1) / packet);
    const double bus = double(usb::bulk_ceiling(speed, packet)) / packet / packets * double(transfer) / unit;
    const double design = double(usb::one_in_flight_ceiling(speed, packet, transfer)) / unit;
    const char* f = unit == 1e6 ? "%.4g MB/s" : "%.0f/s";
    Figure fig{std::move(name),
               r.per_second / unit,
               unit_name,
               {bus, format(f, bus) + " bus"},
               Ceiling{design, format(f, design) + " design"},
               "",
               true,
               r.cpu_percent};
    if (goal > 0) {
      fig.goal = format(">= %.2f", goal);
      fig.holds = *fig.design_ratio() >= goal;
    }
    figures.push_back(std::move(fig));
    if (!r.turnaround_us.empty()) {
      const double frame_us = duration<double, std::micro>(usb::frame_time(speed)).count();
      for (double q : {0.5, 0.99}) {
        const double t = quantile(r.turnaround_us, q);
        figures.push_back({format("  its turnaround p%.0f", q * 100),
                           t,
                           "us",
                           {frame_us, format("%g us frame", frame_us)},
                           {},
                           "",
                           true});
      }
    }
  };
  try {
    for (usb::Speed speed : {usb::Speed::full, usb::Speed::high}) {
      const std::string sp(usb::speed_name(speed));
      throughput("receive, " + sp + " speed", speed, receive(speed, c, span), 1e6, "MB/s",
                 POLLING_TRANSFER_SIZE, 0.95);
      throughput("transmit 64 KiB writes, " + sp + " speed", speed, transmit(speed, c, span), 1e6, "MB/s",
                 65536, 0.95);
    }
    for (usb::Speed speed : {usb::Speed::full, usb::Speed::high}) {
      const std::string sp(usb::speed_name(speed));
      for (double tick : {15.625, 1.0}) {
        Rate writes = sequential_writes(speed, c, tick, span);
        writes.per_second *= 1500;  // bytes, as the ceilings count
        throughput("1,500-byte writes/s, " + sp + ", tick " + format("%g", tick), speed, writes, 1500, "/s",
                   1500, speed == usb::Speed::full ? 0.90 : 0);
      }
    }
    for (usb::Speed speed : {usb::Speed::full, usb::Speed::high}) {
      const std::string sp(usb::speed_name(speed));
      const double frame_ms = Ms(usb::frame_time(speed)).count();
      for (double tick : {15.625, 1.0}) {
        const auto [l, woken] = read_latency(speed, c, tick, s ? 20 : 200);
        const std::string at = ", " + sp + ", tick " + format("%g", tick);
        const double bound = 1.0 + frame_ms;
        const Ceiling tick_ceiling{tick, format("%g ms tick", tick)};
        figures.push_back({"read latency p50" + at, l.p50, "ms", tick_ceiling, {}, "", true});
        Figure p99{
            "read latency p99" + at, l.p99, "ms", {bound, format("%g ms (1 ms + frame)", bound)}, {}, "<= 1",
            l.p99 <= bound};
        figures.push_back(std::move(p99));
        figures.push_back({"read latency max" + at, l.max, "ms", tick_ceiling, {}, "", true});
        figures.push_back({"  the client woken, p99", woken.p99, "ms", tick_ceiling, {}, "", true});
      }
    }
    for (double tick : {15.625, 1.0}) {
      const auto idle_span = s ? milliseconds(300) : milliseconds(3000);
      const double cpu = idle_cpu(c, tick, idle_span);
      const double floor = bare_pollers_cpu(tick, idle_span);
      figures.push_back({"idle open port CPU, tick " + format("%g", tick),
                         cpu,
                         "% core",
                         {0.5, "0.5 % of a core"},
                         Ceiling{floor, format("%.3g %% bare pollers", floor)},
                         tick == 15.625 ? "< 1" : "",
                         cpu < 0.5});
    }
    const double rt = round_trip_us(s ? 2000 : 20000);
    figures.push_back(
        {"request round trip (GET_MODEMSTATUS)", rt, "us", {125.0, "125 us microframe"}, {}, "", true});
    const auto [ring, copy] = ring_vs_memcpy(s ? 2000 : 20000);
    figures.push_back(
        {"ring put+get 4 KiB", ring, "ns/KiB", {copy, format("%.0f ns/KiB memcpy", copy)}, {}, "", true});
  } catch (const DataError& e) {
    error = e.what();
  }
  return report(options, c, figures, error, out, err);
}

}  // namespace vrmdm
