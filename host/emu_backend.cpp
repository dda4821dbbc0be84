#include "emu_backend.h"

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/loader.h>
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>
#include <emu/usb/scenario_modem.h>
#include <emu/usb/usbip.h>
#include <emu/verifier.h>

#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core/driver_entry.h"
#include "nt_names.h"

namespace vrmdm {

namespace {

namespace usb = emu::usb;

constexpr char16_t kRegistryPath[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vr_mdm";
constexpr char16_t kDriverName[] = u"\\Driver\\vr_mdm";

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

class EmuRequest final : public PendingRequest {
 public:
  explicit EmuRequest(emu::RequestPtr request) : request_(std::move(request)) {}
  bool wait(std::chrono::milliseconds limit) override { return request_->wait(limit); }
  bool completed() const override { return request_->completed(); }
  IoOutcome outcome() const override {
    return {static_cast<uint32_t>(request_->status()), static_cast<uint64_t>(request_->information()),
            request_->output()};
  }
  bool cancel() override { return request_->cancel(); }

 private:
  const emu::RequestPtr request_;
};

class EmuBackend final : public PortBackend {
 public:
  explicit EmuBackend(const EmuBackendOptions& options)
      : trace_(options.trace), usbip_modem_(options.usbip_modem) {
    emu::trace::echo(options.trace);
    // A request the driver never ends becomes a finding instead of a hang.
    emu::set_request_wait_limit(std::chrono::seconds(20));
    if (!options.driver_image.empty()) {
      std::string error;
      image_ = emu::ldr::load_image_file(options.driver_image, &error);
      if (!image_) throw std::runtime_error(error);
    }
  }
  ~EmuBackend() override { shutdown(); }

  uint32_t plug(const PlugOptions& options) override {
    std::lock_guard lock(mutex_);
    if (!driver_.loaded()) {
      driver_ = image_ ? emu::load_driver(image_, kRegistryPath, kDriverName)
                       : emu::load_driver(&DriverEntry, kRegistryPath, kDriverName);
      if (!driver_.loaded()) return static_cast<uint32_t>(driver_.entry_status());
    }
    Device d;
    d.port = options.port;
    std::shared_ptr<usb::DeviceModel> model;
    if (options.modem.starts_with("usbip:")) {
      model = import(options.modem.substr(6));
      if (!model) return static_cast<uint32_t>(STATUS_NO_SUCH_DEVICE);
      d.modem = usbip_modem_;
    } else {
      d.modem = make_modem(options);
      if (!d.modem) return static_cast<uint32_t>(STATUS_INVALID_PARAMETER);
      model = d.modem;
    }
    const auto completion = usb::parse_completion_timing(options.completion);
    if (!completion) return static_cast<uint32_t>(STATUS_INVALID_PARAMETER);
    usb::PlugOptions plug_options;
    plug_options.completion = *completion;
    PDEVICE_OBJECT pdo = usb::plug(std::move(model), plug_options);
    d.node = usb::node(pdo);
    if (!d.node) return static_cast<uint32_t>(STATUS_NO_SUCH_DEVICE);
    d.node->set_port_name(widen(options.port));
    NTSTATUS status = d.node->add_device(driver_);
    if (NT_SUCCESS(status)) status = d.node->start();
    // A failed start is followed by the system's own removal; a failed
    // AddDevice leaves nothing to remove.
    d.removed = !NT_SUCCESS(status);
    devices_.push_back(std::move(d));
    return static_cast<uint32_t>(status);
  }

  uint32_t open() override {
    std::lock_guard lock(mutex_);
    const std::string port = devices_.empty() ? std::string("COM5") : devices_.back().port;
    emu::Handle h = emu::open(u"\\DosDevices\\" + widen(port));
    const NTSTATUS status = h.status();
    if (h.is_open()) handles_.push_back(std::move(h));
    return static_cast<uint32_t>(status);
  }

  uint32_t close() override {
    std::lock_guard lock(mutex_);
    if (handles_.empty()) return static_cast<uint32_t>(STATUS_INVALID_HANDLE);
    emu::Handle h = std::move(handles_.back());
    handles_.pop_back();
    const emu::CloseResult r = h.close();
    // A close waits for the file's last request; kept so shutdown can wait for it.
    if (r.close == STATUS_PENDING) closing_.push_back(std::move(h));
    return static_cast<uint32_t>(r.cleanup != STATUS_SUCCESS && r.cleanup != STATUS_PENDING ? r.cleanup
                                                                                            : r.close);
  }

  PendingPtr read(uint32_t length) override {
    std::lock_guard lock(mutex_);
    if (handles_.empty()) return completed_request(static_cast<uint32_t>(STATUS_INVALID_HANDLE));
    return track(handles_.back().read_async(length));
  }

  PendingPtr write(std::span<const uint8_t> data) override {
    std::lock_guard lock(mutex_);
    if (handles_.empty()) return completed_request(static_cast<uint32_t>(STATUS_INVALID_HANDLE));
    return track(handles_.back().write_async(data));
  }

  PendingPtr ioctl(uint32_t code, std::span<const uint8_t> input, uint32_t output_length) override {
    std::lock_guard lock(mutex_);
    if (handles_.empty()) return completed_request(static_cast<uint32_t>(STATUS_INVALID_HANDLE));
    return track(handles_.back().ioctl_async(code, input, output_length));
  }

  void modem_send(std::span<const uint8_t> data) override {
    if (auto m = current_modem()) m->send(data);
  }
  void modem_lines(std::optional<bool> dcd, std::optional<bool> dsr) override {
    if (auto m = current_modem()) m->lines(dcd, dsr);
  }
  void modem_unplug() override {
    std::lock_guard lock(mutex_);
    if (devices_.empty() || devices_.back().unplugged || !devices_.back().node->pdo()) return;
    usb::unplug(devices_.back().node->pdo());
    devices_.back().unplugged = true;
  }
  std::optional<std::string> modem_line_coding() const override {
    std::lock_guard lock(mutex_);
    if (devices_.empty()) return std::nullopt;
    if (!devices_.back().modem) return std::nullopt;
    auto coding = devices_.back().modem->line_coding();
    if (!coding) return std::nullopt;
    return std::to_string(coding->dte_rate) + "," + std::to_string(coding->char_format) + "," +
           std::to_string(coding->parity) + "," + std::to_string(coding->data_bits);
  }

  uint32_t surprise_remove() override {
    std::lock_guard lock(mutex_);
    if (devices_.empty() || devices_.back().removed) return static_cast<uint32_t>(STATUS_NO_SUCH_DEVICE);
    devices_.back().surprise_removed = true;
    return static_cast<uint32_t>(devices_.back().node->surprise_remove());
  }

  uint32_t remove() override {
    std::lock_guard lock(mutex_);
    if (devices_.empty() || devices_.back().removed) return static_cast<uint32_t>(STATUS_NO_SUCH_DEVICE);
    return static_cast<uint32_t>(remove_device(devices_.back()));
  }

  uint32_t power_device(int d_state) override {
    std::lock_guard lock(mutex_);
    if (devices_.empty() || devices_.back().removed) return static_cast<uint32_t>(STATUS_NO_SUCH_DEVICE);
    const auto state = static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + d_state);
    return static_cast<uint32_t>(devices_.back().node->set_device_power(state).status);
  }

  uint32_t power_system(int s_state) override {
    std::lock_guard lock(mutex_);
    if (devices_.empty() || devices_.back().removed) return static_cast<uint32_t>(STATUS_NO_SUCH_DEVICE);
    const auto state = static_cast<SYSTEM_POWER_STATE>(PowerSystemWorking + s_state);
    const POWER_ACTION action = s_state == 0   ? PowerActionNone
                                : s_state <= 3 ? PowerActionSleep
                                : s_state == 4 ? PowerActionHibernate
                                               : PowerActionShutdown;
    return static_cast<uint32_t>(devices_.back().node->set_system_power(state, action).status);
  }

  void freeze_clock() override { emu::clock::freeze(); }
  void run_clock() override { emu::clock::unfreeze(); }
  void sleep(std::chrono::milliseconds span) override {
    if (!emu::clock::frozen()) {
      std::this_thread::sleep_for(span);
    } else if (span <= std::chrono::seconds(1)) {
      // Step by step, so threads polling every millisecond see each tick.
      emu::clock::advance(span);
    } else {
      // Long spans (a 100 s time-out) in one jump: every due timer fires once.
      emu::clock::jump(span);
    }
  }

  void shutdown() override {
    std::lock_guard lock(mutex_);
    if (shut_down_) return;
    shut_down_ = true;
    if (emu::clock::frozen()) emu::clock::unfreeze();
    // As when a process ends: its requests still pending are cancelled
    // before its handles are closed.
    for (const auto& r : requests_) {
      if (!r->completed()) {
        r->cancel();
        r->wait(std::chrono::seconds(2));
      }
    }
    requests_.clear();
    while (!handles_.empty()) {
      note("close", handles_.back().status());
      if (handles_.back().close().close == STATUS_PENDING) closing_.push_back(std::move(handles_.back()));
      handles_.pop_back();
    }
    for (auto& h : closing_) {
      if (!h.wait_closed(std::chrono::seconds(2))) note("deferred close", STATUS_PENDING);
    }
    closing_.clear();
    settle();
    for (Device& d : devices_) {
      if (!d.removed) remove_device(d);
      if (d.remove_deferred) wait_deferred_removal(d);
    }
    devices_.clear();
    // The bus thread stops first: a completion routine it runs may still be
    // returning into the driver's code after the removal it let finish.
    usb::reset();
    if (driver_.loaded()) driver_.unload();
    // Anything left running or allocated now is the driver's fault.
    emu::kernel_reset();
  }

  std::vector<std::string> findings() const override {
    std::vector<std::string> out;
    for (const auto& f : emu::verifier::findings()) out.push_back(emu::verifier::describe(f));
    return out;
  }

 private:
  struct Device {
    std::shared_ptr<usb::ScenarioModem> modem;
    std::shared_ptr<emu::DeviceNode> node;
    std::string port;
    bool unplugged = false;
    bool surprise_removed = false;
    bool removed = false;
    bool remove_deferred = false;
  };

  // A USB/IP server's device; null, with the reason on stderr, when it
  // cannot be imported.
  static std::shared_ptr<usb::DeviceModel> import(const std::string& target) {
    std::string error;
    auto options = usb::usbip::parse_import_target(target, error);
    std::shared_ptr<usb::usbip::RemoteDevice> device;
    if (options) device = usb::usbip::import_device(*options, error);
    if (!device) std::fprintf(stderr, "vrmdm: usbip:%s: %s\n", target.c_str(), error.c_str());
    return device;
  }

  // Caller holds mutex_.
  PendingPtr track(emu::RequestPtr request) {
    std::erase_if(requests_, [](const emu::RequestPtr& r) { return r->completed(); });
    requests_.push_back(request);
    return std::make_shared<EmuRequest>(std::move(request));
  }

  std::shared_ptr<usb::ScenarioModem> current_modem() {
    std::lock_guard lock(mutex_);
    return devices_.empty() ? nullptr : devices_.back().modem;
  }

  // The system's removal order: a device still on the bus is asked first;
  // one that left (or was surprise-removed) is just removed.
  // With --trace, the system side's steps show next to the driver's output.
  NTSTATUS note(const char* step, NTSTATUS status) const {
    if (trace_)
      std::fprintf(stderr, "vrmdm: %s -> %s\n", step, status_name(static_cast<uint32_t>(status)).c_str());
    return status;
  }

  NTSTATUS remove_device(Device& d) {
    if (!d.surprise_removed && !d.unplugged) {
      const NTSTATUS query = note("query-remove", d.node->query_remove());
      if (!NT_SUCCESS(query)) {
        // The device refuses to be removed: its query status is the answer,
        // as the system's would be.  At shutdown it is pulled out instead.
        note("cancel-remove", d.node->cancel_remove());
        if (!shut_down_) return query;
        d.unplugged = true;
        if (d.node->pdo()) usb::unplug(d.node->pdo());
      }
    }
    if (!d.surprise_removed && d.unplugged) {
      d.surprise_removed = true;
      note("surprise-remove", d.node->surprise_remove());
    }
    const NTSTATUS status = note("remove", d.node->remove());
    // With a handle still open the system holds the removal back until the
    // last close, as Windows does.
    d.remove_deferred = status == STATUS_PENDING;
    d.removed = true;
    return status;
  }

  void wait_deferred_removal(Device& d) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (d.node->deferred_remove_status() == STATUS_PENDING && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    note("deferred remove", d.node->deferred_remove_status());
    d.remove_deferred = false;
  }

  // A close that a completing request set off runs on a system worker
  // thread; let it finish before the device is asked to go.
  static void settle() {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (emu::ke::pending_work_items() != 0 && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  const bool trace_;
  const std::shared_ptr<usb::ScenarioModem> usbip_modem_;
  mutable std::mutex mutex_;
  std::shared_ptr<emu::ldr::Image> image_;  // the driver's file, when not the linked driver
  emu::Driver driver_;
  std::vector<Device> devices_;
  std::vector<emu::Handle> handles_;
  std::vector<emu::Handle> closing_;  // closed, IRP_MJ_CLOSE still to come
  // Requests not yet seen completed, to cancel at shutdown (the client may
  // have dropped its own reference).
  std::vector<emu::RequestPtr> requests_;
  bool shut_down_ = false;
};

}  // namespace

std::shared_ptr<emu::usb::ScenarioModem> make_modem(const PlugOptions& options) {
  auto variant = usb::cdc::parse_variant(options.modem);
  const auto speed = usb::parse_speed(options.speed);
  if (!variant || !speed) return nullptr;
  usb::ModemConfig config;
  config.variant = *variant;
  config.speed = *speed;
  config.zero_length_packets = options.zlp;
  if (options.downlink != 0) {
    config.data_mode = usb::ModemConfig::DataMode::source;
    config.source_rate = options.downlink / 8;
  }
  return std::make_shared<usb::ScenarioModem>(config);
}

std::unique_ptr<PortBackend> make_emu_backend(const EmuBackendOptions& options) {
  return std::make_unique<EmuBackend>(options);
}

}  // namespace vrmdm
