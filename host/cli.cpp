#include "cli.h"

#include <emu/usb/usbip.h>

#include <stdexcept>

namespace vrmdm {

const char* const kUsage =
    "usage: vrmdm [--port COMn] [--modem MODEM] [--completion WHEN] [--driver SYS] [--tick MS] [--trace]\n"
    "             [--pcap FILE] [--record FILE]\n"
    "       vrmdm pty [--link PATH] [--port COMn] [--modem MODEM] [--completion WHEN] [--driver SYS]\n"
    "                 [--tick MS] [--verbose] [--trace] [--pcap FILE] [--record FILE]\n"
    "       vrmdm script FILE|- [--driver SYS] [--tick MS] [--trace] [--pcap FILE]\n"
    "       vrmdm bench [--json] [--short] [--completion WHEN] [--usbip] [--peer]\n"
    "       vrmdm export [--listen HOST:PORT] [--modem MODEM] [--tick MS]\n"
    "\n"
    "  --driver SYS  run this x64 driver image (vr_mdm.sys) instead of the built-in driver\n"
    "  (no command)  the simulated modem on COMn, attached to this terminal; Ctrl-] quits.\n"
    "                Without a terminal, standard input is sent and the answers printed.\n"
    "  pty           serve the port on a pseudo-terminal until SIGINT or SIGTERM\n"
    "  script        run a scenario, one result line per request\n"
    "  bench         measure throughput, write rate, latency and idle cost against their ceilings;\n"
    "                --usbip: throughput and AT round trip through USB/IP on loopback beside the local "
    "modem\n"
    "                --peer: then the same exported modem driven by Linux's cdc_acm in the peer lab's VM\n"
    "                and by our driver, side by side (scripts/peer-lab bench)\n"
    "  export        serve the simulated modem to USB/IP clients (default 127.0.0.1:3240) until SIGINT\n"
    "\n"
    "  MODEM is VARIANT[,speed=full|high|unlimited][,zlp=on|off][,downlink=BITS]: the\n"
    "  variant acm, acm-nointr or acm-datafirst; the USB speed (default high); whether\n"
    "  the modem ends transfers of whole packets with a zero-length packet (default on);\n"
    "  and, with downlink, a data source after CONNECT at BITS per second instead of the\n"
    "  echo.  MODEM may also be usbip:HOST:PORT[/BUSID]: a device a USB/IP server exports\n"
    "  (without BUSID its first), e.g. usbip:127.0.0.1:3240 for `vrmdm export`.\n"
    "  --tick is the emulated clock tick in milliseconds (default 15.625, Windows'\n"
    "  own; 1 is what a raised timer resolution gives).\n"
    "  --completion WHEN  when the emulated host controller reports a transfer done:\n"
    "  end-of-frame (default: at the end of the (micro)frame of its last packet, as EHCI\n"
    "  and xHCI do) or on-answer (as soon as the device answered: a kinder bus than any).\n"
    "\n"
    "  --pcap FILE    write every URB and its completion as a Linux usbmon capture (Wireshark, tshark)\n"
    "  --record FILE  write the session as a scenario that `vrmdm script FILE` replays and checks\n";

namespace {

bool valid_port(const std::string& port) {
  if (port.empty() || port.size() > 32) return false;
  for (char c : port) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

void parse_modem(const std::string& spec, Options& o) {
  if (spec.starts_with("usbip:") && o.mode != Mode::export_device) {
    std::string error;
    if (!emu::usb::usbip::parse_import_target(spec.substr(6), error))
      throw std::invalid_argument("--modem " + spec + ": " + error);
    o.modem = spec;
    return;
  }
  std::size_t at = spec.find(',');
  o.modem = spec.substr(0, at);
  if (o.modem != "acm" && o.modem != "acm-nointr" && o.modem != "acm-datafirst")
    throw std::invalid_argument("--modem must be acm, acm-nointr or acm-datafirst");
  while (at != std::string::npos) {
    const std::size_t next = spec.find(',', at + 1);
    const std::string item =
        spec.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
    at = next;
    const std::size_t eq = item.find('=');
    const std::string key = item.substr(0, eq);
    const std::string val = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    if (key == "speed" && (val == "full" || val == "high" || val == "unlimited")) {
      o.modem_speed = val;
    } else if (key == "zlp" && (val == "on" || val == "off")) {
      o.modem_zlp = val == "on";
    } else if (key == "downlink" && !val.empty() &&
               val.find_first_not_of("0123456789") == std::string::npos && val.size() <= 12) {
      o.modem_downlink = std::stoull(val);
    } else {
      throw std::invalid_argument("bad --modem option '" + item +
                                  "' (speed=full|high|unlimited, zlp=on|off, downlink=BITS)");
    }
  }
}

double parse_tick(const std::string& text) {
  std::size_t used = 0;
  double ms = 0;
  try {
    ms = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || !(ms >= 0.0001 && ms <= 10000))
    throw std::invalid_argument("--tick needs milliseconds between 0.0001 and 10000");
  return ms;
}

}  // namespace

Options parse_options(const std::vector<std::string>& args) {
  Options o;
  std::size_t i = 0;
  if (i < args.size() &&
      (args[i] == "pty" || args[i] == "script" || args[i] == "bench" || args[i] == "export")) {
    o.mode = args[i] == "pty"      ? Mode::pty
             : args[i] == "script" ? Mode::script
             : args[i] == "bench"  ? Mode::bench
                                   : Mode::export_device;
    ++i;
  }
  auto value = [&](const std::string& flag) -> std::string {
    if (i + 1 >= args.size()) throw std::invalid_argument(flag + " needs a value");
    return args[++i];
  };
  bool have_script = false;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      o.mode = Mode::help;
      return o;
    } else if (a == "--trace") {
      o.trace = true;
    } else if (a == "--driver" && o.mode != Mode::export_device) {
      o.driver = value(a);
      if (o.driver->empty()) throw std::invalid_argument("--driver needs a file");
    } else if (a == "--port" && o.mode != Mode::script && o.mode != Mode::export_device) {
      o.port = value(a);
      if (!valid_port(o.port)) throw std::invalid_argument("bad port name '" + o.port + "'");
    } else if (a == "--modem" &&
               (o.mode == Mode::terminal || o.mode == Mode::pty || o.mode == Mode::export_device)) {
      parse_modem(value(a), o);
    } else if (a == "--completion" && o.mode != Mode::script) {
      o.completion = value(a);
      if (o.completion != "end-of-frame" && o.completion != "on-answer")
        throw std::invalid_argument("--completion is end-of-frame or on-answer");
    } else if (a == "--tick" && o.mode != Mode::bench) {
      o.tick_ms = parse_tick(value(a));
    } else if (a == "--json" && o.mode == Mode::bench) {
      o.json = true;
    } else if (a == "--short" && o.mode == Mode::bench) {
      o.short_run = true;
    } else if (a == "--usbip" && o.mode == Mode::bench) {
      o.usbip = true;
    } else if (a == "--peer" && o.mode == Mode::bench) {
      o.peer = true;
    } else if (a == "--listen" && o.mode == Mode::export_device) {
      o.listen = value(a);
      std::string error;
      if (!emu::usb::usbip::parse_endpoint(o.listen, error))
        throw std::invalid_argument("--listen: " + error);
    } else if (a == "--pcap" && o.mode != Mode::bench && o.mode != Mode::export_device) {
      o.pcap = value(a);
    } else if (a == "--record" && (o.mode == Mode::terminal || o.mode == Mode::pty)) {
      o.record = value(a);
    } else if (a == "--link" && o.mode == Mode::pty) {
      o.link = value(a);
    } else if ((a == "-v" || a == "--verbose") && o.mode == Mode::pty) {
      o.verbose = true;
    } else if (o.mode == Mode::script && !have_script && (a == "-" || !a.starts_with("-"))) {
      o.script = a;
      have_script = true;
    } else {
      throw std::invalid_argument("unexpected argument '" + a + "'");
    }
  }
  if (o.mode == Mode::script && !have_script) throw std::invalid_argument("script needs a FILE or -");
  return o;
}

}  // namespace vrmdm
