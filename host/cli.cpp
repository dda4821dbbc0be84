#include "cli.h"

#include <stdexcept>

namespace vrmdm {

const char* const kUsage =
    "usage: vrmdm [--port COMn] [--modem acm|acm-nointr|acm-datafirst] [--driver SYS] [--trace]\n"
    "       vrmdm pty [--link PATH] [--port COMn] [--modem VARIANT] [--driver SYS] [--verbose] [--trace]\n"
    "       vrmdm script FILE|- [--driver SYS] [--trace]\n"
    "\n"
    "  --driver SYS  run this x64 driver image (vr_mdm.sys) instead of the built-in driver\n"
    "  (no command)  the simulated modem on COMn, attached to this terminal; Ctrl-] quits.\n"
    "                Without a terminal, standard input is sent and the answers printed.\n"
    "  pty           serve the port on a pseudo-terminal until SIGINT or SIGTERM\n"
    "  script        run a scenario, one result line per request\n";

namespace {

bool valid_port(const std::string& port) {
  if (port.empty() || port.size() > 32) return false;
  for (char c : port) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

}  // namespace

Options parse_options(const std::vector<std::string>& args) {
  Options o;
  std::size_t i = 0;
  if (i < args.size() && (args[i] == "pty" || args[i] == "script")) {
    o.mode = args[i] == "pty" ? Mode::pty : Mode::script;
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
    } else if (a == "--driver") {
      o.driver = value(a);
      if (o.driver->empty()) throw std::invalid_argument("--driver needs a file");
    } else if (a == "--port" && o.mode != Mode::script) {
      o.port = value(a);
      if (!valid_port(o.port)) throw std::invalid_argument("bad port name '" + o.port + "'");
    } else if (a == "--modem" && o.mode != Mode::script) {
      o.modem = value(a);
      if (o.modem != "acm" && o.modem != "acm-nointr" && o.modem != "acm-datafirst")
        throw std::invalid_argument("--modem must be acm, acm-nointr or acm-datafirst");
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
