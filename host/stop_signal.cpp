#include "stop_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace vrmdm {

namespace {

int g_pipe[2] = {-1, -1};

void on_signal(int) {
  const int saved = errno;
  const char c = 1;
  if (g_pipe[1] >= 0) (void)!write(g_pipe[1], &c, 1);
  errno = saved;
}

}  // namespace

StopSignal::StopSignal() {
  if (g_pipe[0] < 0) {
    if (pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_pipe[0] = g_pipe[1] = -1;
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

StopSignal::~StopSignal() {
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
}

int StopSignal::fd() const { return g_pipe[0]; }

bool StopSignal::requested() const {
  pollfd p{g_pipe[0], POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

void StopSignal::request() { on_signal(0); }

}  // namespace vrmdm
