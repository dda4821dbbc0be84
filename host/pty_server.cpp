#include "pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "nt_names.h"
#include "port_bridge.h"
#include "scenario_runner.h"

namespace vrmdm {

namespace {

constexpr uint32_t kIoctlSetBaudRate = 0x001B0004;
constexpr uint32_t kIoctlSetLineControl = 0x001B000C;
constexpr uint32_t kIoctlPurge = 0x001B004C;

}  // namespace

PtyServer::PtyServer(PortBackend& backend, std::ostream* log) : backend_(backend), log_(log) {}

PtyServer::~PtyServer() {
  // Only our own link goes: another server may have taken the name over.
  if (!link_.empty()) {
    char target[256];
    const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slave_path_) unlink(link_.c_str());
  }
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
}

bool PtyServer::create(std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) {
    error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  slave_path_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    error = "cannot open " + slave_path_ + ": " + std::strerror(errno);
    return false;
  }
  // A client that sets nothing gets bytes unchanged, as from a serial port.
  termios t{};
  tcgetattr(slave_, &t);
  cfmakeraw(&t);
  cfsetspeed(&t, B9600);
  tcsetattr(slave_, TCSANOW, &t);
  int on = 1;
  if (ioctl(master_, TIOCPKT, &on) != 0) {
    error = std::string("packet mode: ") + std::strerror(errno);
    return false;
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  return true;
}

bool PtyServer::make_link(const std::string& path, std::string& error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      error = path + " exists and is not a symbolic link";
      return false;
    }
    unlink(path.c_str());
  }
  if (symlink(slave_path_.c_str(), path.c_str()) != 0) {
    error = "cannot link " + path + ": " + std::strerror(errno);
    return false;
  }
  link_ = path;
  return true;
}

void PtyServer::log_request(PortBridge& bridge, uint32_t code, std::span<const uint8_t> input) {
  const IoOutcome o = bridge.control(code, input);
  if (!log_) return;
  std::lock_guard lock(log_mutex_);
  *log_ << format_result("ioctl " + ioctl_name(code) + " in=" + to_hex(input), Op::ioctl, o) << '\n';
  log_->flush();
}

void PtyServer::apply_settings(PortBridge& bridge) {
  const auto now = terminal_line_settings(master_);
  if (!now || (applied_ && *now == *applied_)) return;
  if (!applied_ || now->baud != applied_->baud) log_request(bridge, kIoctlSetBaudRate, now->baud_payload());
  if (!applied_ || now->line_control_payload() != applied_->line_control_payload())
    log_request(bridge, kIoctlSetLineControl, now->line_control_payload());
  applied_ = now;
  if (log_) {
    std::lock_guard lock(log_mutex_);
    *log_ << "client settings " << now->describe();
    if (auto coding = backend_.modem_line_coding()) *log_ << "; modem line coding " << *coding;
    *log_ << '\n';
    log_->flush();
  }
}

void PtyServer::to_client(std::span<const uint8_t> bytes) {
  // Runs on the bridge's reader thread.  With no client reading, the slave's
  // queue fills up; rather than stall the port, the excess is dropped as a
  // serial line would overrun.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) break;
    if (std::chrono::steady_clock::now() >= give_up) break;
    pollfd p{master_, POLLOUT, 0};
    poll(&p, 1, 20);
  }
  dropped_ += bytes.size() - done;
}

bool PtyServer::serve(int stop_fd) {
  PortBridge bridge(backend_, [this](std::span<const uint8_t> b) { to_client(b); });
  apply_settings(bridge);
  bridge.start();
  std::array<uint8_t, 4097> buf{};
  bool ok = true;
  while (true) {
    pollfd fds[2] = {{master_, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    const int n = poll(fds, stop_fd >= 0 ? 2 : 1, 50);
    if (n < 0 && errno != EINTR) break;
    if (stop_fd >= 0 && (fds[1].revents & POLLIN)) break;
    if (bridge.failed()) {
      ok = false;
      break;
    }
    // Settings first: a client that changes speed and then writes expects
    // the write to go out at the new speed.
    apply_settings(bridge);
    if (n <= 0 || !(fds[0].revents & POLLIN)) continue;
    const ssize_t got = ::read(master_, buf.data(), buf.size());
    if (got <= 0) continue;
    if (buf[0] == TIOCPKT_DATA) {
      if (got > 1) {
        const IoOutcome o =
            bridge.send(std::span<const uint8_t>(buf.data() + 1, static_cast<std::size_t>(got - 1)));
        if (o.status != 0 && log_) {
          std::lock_guard lock(log_mutex_);
          *log_ << "write of " << (got - 1) << " bytes -> " << status_name(o.status) << '\n';
        }
      }
      continue;
    }
    const uint32_t mask =
        purge_mask_for_flush((buf[0] & TIOCPKT_FLUSHREAD) != 0, (buf[0] & TIOCPKT_FLUSHWRITE) != 0);
    if (mask != 0) {
      const std::array<uint8_t, 4> payload{static_cast<uint8_t>(mask), 0, 0, 0};
      log_request(bridge, kIoctlPurge, payload);
    }
  }
  bridge.stop();
  return ok;
}

int run_pty(PortBackend& backend, const SessionConfig& config, const std::optional<std::string>& link,
            bool verbose, int stop_fd, std::ostream& out, std::ostream& err) {
  PtyServer server(backend, verbose ? &err : nullptr);
  std::string error;
  if (!server.create(error)) {
    err << "vrmdm: " << error << '\n';
    return 1;
  }
  if (!bring_up(backend, config, err)) {
    bring_down(backend, err);
    return 1;
  }
  // The link and the path appear only once the port is open, so a client
  // that waits for either finds a working port.
  if (link && !server.make_link(*link, error)) {
    err << "vrmdm: " << error << '\n';
    bring_down(backend, err);
    return 1;
  }
  out << server.slave_path() << std::endl;
  if (!server.serve(stop_fd)) err << "vrmdm: the port stopped answering\n";
  if (server.dropped() > 0) err << "vrmdm: " << server.dropped() << " bytes dropped with no client reading\n";
  return bring_down(backend, err);
}

}  // namespace vrmdm
