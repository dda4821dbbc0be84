// The command line of vrmdm.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vrmdm {

enum class Mode { terminal, pty, script, help };

struct Options {
  Mode mode = Mode::terminal;
  std::string port = "COM5";
  std::string modem = "acm";
  bool trace = false;                 // echo the driver's debug output to stderr
  bool verbose = false;               // pty: log the requests the client's settings cause
  std::optional<std::string> link;    // pty: symbolic link to the slave
  std::string script;                 // script: a file, or "-" for standard input
  std::optional<std::string> driver;  // a vr_mdm.sys to run instead of the linked driver
};

// Parses argv[1..]; throws std::invalid_argument with a message for the user.
Options parse_options(const std::vector<std::string>& args);

extern const char* const kUsage;

}  // namespace vrmdm
