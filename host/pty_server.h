// The port served on a pseudo-terminal: what a client writes to the slave
// goes to the port, what the port reads comes out of the slave, the client's
// termios speed and framing become SET_BAUD_RATE and SET_LINE_CONTROL, and a
// tcflush() becomes a PURGE.
#pragma once

#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>

#include "line_settings.h"
#include "port_backend.h"
#include "session.h"

namespace vrmdm {

class PortBridge;

class PtyServer {
 public:
  // `log` (may be null) gets one result line per request the client's
  // settings and flushes cause.
  PtyServer(PortBackend& backend, std::ostream* log);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Opens the master in packet mode and holds the slave open, raw, so the
  // master never sees a hang-up between clients.
  bool create(std::string& error);
  const std::string& slave_path() const { return slave_path_; }
  // A symbolic link to the slave; an existing link at `path` is replaced,
  // anything else there is left alone and refused.  The destructor removes
  // the link while it still points to this server.
  bool make_link(const std::string& path, std::string& error);

  // Serves the open port until `stop_fd` turns readable or the port fails.
  // Returns false when the port failed.
  bool serve(int stop_fd);

  // Bytes dropped because no client read them and the terminal's queue was full.
  uint64_t dropped() const { return dropped_; }

 private:
  void apply_settings(PortBridge& bridge);
  void log_request(PortBridge& bridge, uint32_t code, std::span<const uint8_t> input);
  void to_client(std::span<const uint8_t> bytes);

  PortBackend& backend_;
  std::ostream* log_;
  std::mutex log_mutex_;
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
  std::string link_;
  std::optional<LineSettings> applied_;
  uint64_t dropped_ = 0;
};

// `vrmdm pty`: brings the port up, prints the slave's path on `out`, serves
// until `stop_fd` turns readable, brings it down.  Exit status as bring_down.
int run_pty(PortBackend& backend, const SessionConfig& config, const std::optional<std::string>& link,
            bool verbose, int stop_fd, std::ostream& out, std::ostream& err);

}  // namespace vrmdm
