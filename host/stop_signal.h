// SIGINT and SIGTERM turned into a readable descriptor, so the front ends can
// wait for input and for a stop in one poll().
#pragma once

namespace vrmdm {

class StopSignal {
 public:
  // Installs the handlers (once per process) and ignores SIGPIPE, so a
  // vanished reader shows up as EPIPE instead of killing the process.
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  int fd() const;  // readable once a stop was asked for
  bool requested() const;
  void request();  // asks for a stop from inside the program
};

}  // namespace vrmdm
