#include "session.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "line_settings.h"
#include "nt_names.h"
#include "port_bridge.h"

namespace vrmdm {

namespace {

constexpr uint8_t kQuitKey = 0x1D;  // Ctrl-], as telnet
constexpr uint32_t kIoctlSetBaudRate = 0x001B0004;
constexpr uint32_t kIoctlSetLineControl = 0x001B000C;

// Puts a terminal in raw mode for the session and restores it afterwards.
// Output processing stays on so the driver's trace lines still start at the
// left margin.
class RawTerminal {
 public:
  explicit RawTerminal(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios raw = saved_;
    cfmakeraw(&raw);
    raw.c_oflag |= OPOST | ONLCR;
    active_ = tcsetattr(fd_, TCSAFLUSH, &raw) == 0;
  }
  ~RawTerminal() {
    if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

bool write_all(int fd, std::span<const uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
        continue;
      }
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool bring_up(PortBackend& backend, const SessionConfig& config, std::ostream& err) {
  const uint32_t plugged =
      backend.plug({config.port, config.modem, config.speed, config.zlp, config.downlink, config.completion});
  if (plugged != 0) {
    err << "vrmdm: the modem did not start: " << status_name(plugged) << '\n';
    return false;
  }
  const uint32_t opened = backend.open();
  if (opened != 0) {
    err << "vrmdm: cannot open " << config.port << ": " << status_name(opened) << '\n';
    return false;
  }
  return true;
}

int bring_down(PortBackend& backend, std::ostream& err) {
  backend.shutdown();
  const auto findings = backend.findings();
  for (const auto& f : findings) err << "verifier: " << f << '\n';
  if (!findings.empty()) {
    err << "vrmdm: " << findings.size() << " verifier finding" << (findings.size() == 1 ? "" : "s") << '\n';
    return 1;
  }
  return 0;
}

int run_terminal(PortBackend& backend, const SessionConfig& config, int in_fd, int out_fd, int stop_fd,
                 std::ostream& err) {
  if (!bring_up(backend, config, err)) {
    bring_down(backend, err);
    return 1;
  }
  bool output_ok = true;
  PortBridge bridge(backend, [&](std::span<const uint8_t> bytes) {
    if (output_ok && !write_all(out_fd, bytes)) output_ok = false;
  });
  // A terminal program sets the line up before it talks to the modem.
  LineSettings line;
  line.baud = 115200;
  bridge.control(kIoctlSetBaudRate, line.baud_payload());
  bridge.control(kIoctlSetLineControl, line.line_control_payload());
  bridge.start();

  const bool interactive = isatty(in_fd) != 0;
  std::optional<RawTerminal> raw;
  if (interactive) {
    // Raw first: what is typed after the banner must not be flushed away.
    raw.emplace(in_fd);
    if (config.modem.starts_with("usbip:")) {
      err << "vrmdm: " << config.port << " is open on the USB/IP device " << config.modem.substr(6);
    } else {
      err << "vrmdm: " << config.port << " is open on the simulated modem (" << config.modem << ")";
    }
    err << ". Type AT commands; Ctrl-] quits.\n";
    err.flush();
  }

  bool eof = false;
  std::vector<uint8_t> buffer(4096);
  while (!eof) {
    pollfd fds[2] = {{in_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    const int n = poll(fds, stop_fd >= 0 ? 2 : 1, 100);
    if (n < 0 && errno != EINTR) break;
    if (stop_fd >= 0 && (fds[1].revents & POLLIN)) break;
    if (bridge.failed()) {
      err << (interactive ? "\r\n" : "") << "vrmdm: the port stopped answering\n";
      break;
    }
    if (n <= 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t got = ::read(in_fd, buffer.data(), buffer.size());
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      eof = true;
      break;
    }
    std::span<const uint8_t> typed(buffer.data(), static_cast<std::size_t>(got));
    bool quit = false;
    if (interactive) {
      for (std::size_t i = 0; i < typed.size(); ++i) {
        if (typed[i] == kQuitKey) {
          typed = typed.first(i);
          quit = true;
          break;
        }
      }
    }
    if (!typed.empty()) {
      const IoOutcome o = bridge.send(typed);
      if (o.status != 0)
        err << (interactive ? "\r\n" : "") << "vrmdm: write: " << status_name(o.status) << '\n';
    }
    if (quit) break;
  }

  if (eof) {
    // Give the modem time to answer the last command: wait for a quiet spell.
    const auto end_of_input = std::chrono::steady_clock::now();
    while (!bridge.failed()) {
      const auto now = std::chrono::steady_clock::now();
      if (now - end_of_input >= config.linger_limit) break;
      const auto last = std::max(end_of_input, bridge.last_receive());
      if (now - last >= config.quiet) break;
      pollfd p{stop_fd, POLLIN, 0};
      if (stop_fd >= 0 && poll(&p, 1, 20) > 0) break;
      if (stop_fd < 0) usleep(20000);
    }
  }

  bridge.stop();
  raw.reset();
  if (interactive) err << "\nvrmdm: closing " << config.port << '\n';
  return bring_down(backend, err);
}

}  // namespace vrmdm
