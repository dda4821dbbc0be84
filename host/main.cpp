// vrmdm: the vr_mdm driver running in the emulator, behind the user's
// terminal, a pseudo-terminal, or a scenario.
#include <emu/kernel.h>
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
    return vrmdm::make_emu_backend({options.trace, options.driver.value_or("")});
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
  if (options.mode == vrmdm::Mode::bench)
    return vrmdm::run_bench({options.json, options.short_run, options.completion}, std::cout, std::cerr);
  emu::clock::set_default_tick(std::chrono::duration_cast<emu::clock::duration>(
      std::chrono::duration<double, std::milli>(options.tick_ms)));
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
