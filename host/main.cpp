// vrmdm: the vr_mdm driver running in the emulator, behind the user's
// terminal, a pseudo-terminal, or a scenario.
#include <emu/kernel.h>
#include <emu/usb/usbip.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "bench.h"
#include "cli.h"
#include "emu_backend.h"
#include "pty_server.h"
#include "recorder.h"
#include "scenario.h"
#include "scenario_runner.h"
#include "session.h"
#include "stop_signal.h"
#include "usb_capture.h"

namespace {

// Null, with the reason on stderr, when the driver image cannot be loaded.
std::unique_ptr<vrmdm::PortBackend> make_backend(const vrmdm::Options& options) {
  try {
    return vrmdm::make_emu_backend({options.trace, options.driver.value_or(""), nullptr});
  } catch (const std::runtime_error& e) {
    std::cerr << "vrmdm: " << e.what() << '\n';
    return nullptr;
  }
}

int run_script(const vrmdm::Options& options) {
  std::string text;
  if (options.script == "-") {
    std::ostringstream s;
    s << std::cin.rdbuf();
    text = s.str();
  } else {
    std::ifstream in(options.script, std::ios::binary);
    if (!in) {
      std::cerr << "vrmdm: cannot read " << options.script << '\n';
      return vrmdm::kRunScriptError;
    }
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
  }
  vrmdm::Script script;
  try {
    script = vrmdm::parse_script(text);
  } catch (const vrmdm::ScriptError& e) {
    std::cerr << (options.script == "-" ? std::string("stdin") : options.script) << ":" << e.line() << ": "
              << e.what() << '\n';
    return vrmdm::kRunScriptError;
  }
  auto backend = make_backend(options);
  if (!backend) return vrmdm::kRunScriptError;
  vrmdm::ScenarioRunner runner(*backend, std::cout, std::cerr);
  return runner.run(script);
}

// Serves a fresh simulated modem to each USB/IP importer until SIGINT or
// SIGTERM.
int run_export(const vrmdm::Options& options) {
  namespace usbip = emu::usb::usbip;
  vrmdm::StopSignal stop;
  std::string error;
  usbip::ServerOptions server;
  server.listen = *usbip::parse_endpoint(options.listen, error);
  const vrmdm::PlugOptions modem{"", options.modem, options.modem_speed, options.modem_zlp,
                                 options.modem_downlink};
  server.make_device = [modem] { return vrmdm::make_modem(modem); };
  server.log = [](const std::string& line) { std::cerr << "vrmdm export: " << line << std::endl; };
  auto running = usbip::serve(server, error);
  if (!running) {
    std::cerr << "vrmdm: " << error << '\n';
    return 1;
  }
  std::cerr << "vrmdm: exporting the simulated modem (" << options.modem << ") as busid " << server.busid
            << " on " << options.listen << "; Ctrl-C stops.\n";
  pollfd p{stop.fd(), POLLIN, 0};
  while (poll(&p, 1, -1) < 0) {
  }
  running->stop();
  std::cerr << "vrmdm: export stopped after " << running->sessions() << " import(s).\n";
  return 0;
}

// The side-by-side rows need the peer lab's VM: scripts/peer-lab runs them
// on this very program.  Its exit status is the result (77: the lab cannot
// run here, with the reason printed).
int run_peer_bench() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = 0;
  std::cout.flush();
  const pid_t pid = fork();
  if (pid == 0) {
    execl(VRMDM_PEER_LAB, VRMDM_PEER_LAB, "bench", "--vrmdm", self, static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return 1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  vrmdm::Options options;
  try {
    options = vrmdm::parse_options(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument& e) {
    std::cerr << "vrmdm: " << e.what() << '\n' << vrmdm::kUsage;
    return 2;
  }
  if (options.mode == vrmdm::Mode::help) {
    std::cout << vrmdm::kUsage;
    return 0;
  }
  if (options.mode == vrmdm::Mode::bench) {
    const int status = vrmdm::run_bench({options.json, options.short_run, options.completion, options.usbip},
                                        std::cout, std::cerr);
    return options.peer && status == 0 ? run_peer_bench() : status;
  }
  emu::clock::set_default_tick(std::chrono::duration_cast<emu::clock::duration>(
      std::chrono::duration<double, std::milli>(options.tick_ms)));
  if (options.mode == vrmdm::Mode::export_device) return run_export(options);
  // Started before the modem is plugged: the descriptor reads at its start
  // tell Wireshark which interfaces are CDC.
  vrmdm::UsbCapture capture;
  if (options.pcap) {
    std::string error;
    if (!capture.open(*options.pcap, error)) {
      std::cerr << "vrmdm: " << error << '\n';
      return 1;
    }
  }
  if (options.mode == vrmdm::Mode::script) return run_script(options);
  // On a faithful host's timing the driver's real-time threads run before
  // ordinary ones, as on Windows (where this process may).
  emu::set_realtime_priorities(emu::usb::parse_completion_timing(options.completion) ==
                                   emu::usb::CompletionTiming::end_of_frame &&
                               emu::usb::parse_speed(options.modem_speed) != emu::usb::Speed::unlimited);

  vrmdm::StopSignal stop;
  vrmdm::SessionConfig config;
  config.port = options.port;
  config.modem = options.modem;
  config.speed = options.modem_speed;
  config.zlp = options.modem_zlp;
  config.downlink = options.modem_downlink;
  config.completion = options.completion;
  auto backend = make_backend(options);
  if (!backend) return 1;
  vrmdm::PortBackend* port = backend.get();
  std::ofstream record_file;
  std::unique_ptr<vrmdm::RecordingBackend> recorder;
  std::unique_ptr<vrmdm::BusWatch> modem_events;
  if (options.record) {
    record_file.open(*options.record, std::ios::binary | std::ios::trunc);
    if (!record_file) {
      std::cerr << "vrmdm: cannot create " << *options.record << '\n';
      return 1;
    }
    recorder = std::make_unique<vrmdm::RecordingBackend>(
        *backend, record_file, options.mode == vrmdm::Mode::pty ? "vrmdm pty" : "vrmdm");
    // The modem's line changes, as comments among the requests.
    modem_events = std::make_unique<vrmdm::BusWatch>([&recorder](const emu::usb::UrbEvent& e) {
      if (auto state = vrmdm::serial_state_of(e))
        recorder->note("modem: " + vrmdm::describe_serial_state(*state));
    });
    port = recorder.get();
  }
  if (options.mode == vrmdm::Mode::pty)
    return vrmdm::run_pty(*port, config, options.link, options.verbose, stop.fd(), std::cout, std::cerr);
  return vrmdm::run_terminal(*port, config, STDIN_FILENO, STDOUT_FILENO, stop.fd(), std::cerr);
}
