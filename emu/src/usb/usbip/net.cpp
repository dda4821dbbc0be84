// TCP for USB/IP.  Numeric addresses only (no name lookups): IPv4 or IPv6.
#include "usb/usbip/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace emu::usb::usbip::net {

namespace {

struct Address {
  sockaddr_storage storage{};
  socklen_t length = 0;
};

std::optional<Address> resolve(const Endpoint& e, std::string& error) {
  Address a;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&a.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
  if (inet_pton(AF_INET, e.host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(e.port);
    a.length = sizeof *v4;
  } else if (inet_pton(AF_INET6, e.host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(e.port);
    a.length = sizeof *v6;
  } else {
    error = "'" + e.host + "' is not a numeric IP address";
    return std::nullopt;
  }
  return a;
}

int poll_one(int fd, short events, std::optional<milliseconds> wait) {
  pollfd p{fd, events, 0};
  for (;;) {
    const int n = poll(&p, 1, wait ? static_cast<int>(wait->count()) : -1);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

void no_delay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace

int connect_to(const Endpoint& to, milliseconds timeout, std::string& error) {
  auto a = resolve(to, error);
  if (!a) return -1;
  const int fd = socket(a->storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  if (connect(fd, reinterpret_cast<sockaddr*>(&a->storage), a->length) != 0) {
    if (errno != EINPROGRESS || poll_one(fd, POLLOUT, timeout) <= 0) {
      error = errno == EINPROGRESS ? "connection timed out" : std::string(strerror(errno));
      close(fd);
      return -1;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
    if (so_error != 0) {
      error = std::string("connect: ") + strerror(so_error);
      close(fd);
      return -1;
    }
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  no_delay(fd);
  return fd;
}

int listen_on(const Endpoint& at, uint16_t& port, std::string& error) {
  auto a = resolve(at, error);
  if (!a) return -1;
  const int fd = socket(a->storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a->storage), a->length) != 0 || listen(fd, 8) != 0) {
    error = "cannot listen on " + at.host + ":" + std::to_string(at.port) + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  port = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                          : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  return fd;
}

int accept_from(int listener) {
  for (;;) {
    const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      no_delay(fd);
      return fd;
    }
    if (errno != EINTR && errno != ECONNABORTED) return -1;
  }
}

Stream::~Stream() {
  if (fd_ >= 0) close(fd_);
}

void Stream::consume(std::size_t n) {
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(std::min(n, buffer_.size())));
}

bool Stream::fill(std::size_t want, std::optional<milliseconds> wait, std::string& error) {
  const int ready = poll_one(fd_, POLLIN, wait);
  if (ready == 0) {
    error = kIdleTimedOut;
    return false;
  }
  if (ready < 0) {
    error = std::string("poll: ") + strerror(errno);
    return false;
  }
  const std::size_t have = buffer_.size();
  buffer_.resize(have + std::max<std::size_t>(want, 4096));
  const ssize_t n = recv(fd_, buffer_.data() + have, buffer_.size() - have, 0);
  buffer_.resize(have + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  if (n > 0) return true;
  error = n == 0 ? kClosed : std::string("recv: ") + strerror(errno);
  return false;
}

bool Stream::send(std::span<const uint8_t> bytes, milliseconds timeout) {
  std::lock_guard lock(send_mutex_);
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!bytes.empty()) {
    const auto left = std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || poll_one(fd_, POLLOUT, left) <= 0) break;
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  if (bytes.empty()) return true;
  ::shutdown(fd_, SHUT_RDWR);
  return false;
}

void Stream::shutdown() { ::shutdown(fd_, SHUT_RDWR); }

}  // namespace emu::usb::usbip::net
