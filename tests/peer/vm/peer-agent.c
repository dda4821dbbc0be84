/* The peer lab's helper inside the VM, built static on the host.
 *
 *   peer-agent modem TTY        answers AT commands on a serial device and echoes
 *                               data after ATD (the gadget ACM function's tty)
 *   peer-agent relay PORT DEV   serves 127.0.0.1:PORT and carries each connection
 *                               over DEV (a virtio-serial port to the host)
 *   peer-agent chat DEV STEP... drives a serial device and judges every answer
 *
 * chat steps (every wait is bounded by timeout:MS, default 5000):
 *   send:TEXT      write TEXT (\r \n \\ \xNN escapes)
 *   expect:TEXT    wait for a line holding TEXT; consume through its end
 *   echo:N         write N pattern bytes and read exactly them back
 *   rx:N           read N pattern bytes (the modem's downlink source)
 *   tx:N           write N pattern bytes (the modem's uplink check)
 *   dtr:0|1        clear or set DTR (and RTS with it)
 *   carrier:0|1    wait until the device reports DCD so
 *   rtt:N          N round trips of AT -> OK; prints p50 and p99 in ms
 *   sleep:MS       pause
 *   timeout:MS     the bound for the following steps
 *   flush          drop whatever was received so far
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static void die(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fprintf(stderr, "peer-agent: ");
  vfprintf(stderr, fmt, ap);
  fprintf(stderr, "\n");
  va_end(ap);
  exit(1);
}

static void make_raw(int fd) {
  struct termios t;
  if (tcgetattr(fd, &t) != 0) return; /* not a tty: nothing to set */
  cfmakeraw(&t);
  cfsetspeed(&t, B115200);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &t);
}

static int write_all(int fd, const void* buf, size_t len) {
  const unsigned char* p = buf;
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      struct pollfd pfd = {fd, POLLOUT, 0};
      if (poll(&pfd, 1, 5000) <= 0) return -1;
      continue;
    }
    if (n <= 0) return -1;
    p += n;
    len -= (size_t)n;
  }
  return 0;
}

/* ---- modem: the responder on the gadget's tty ---- */

/* What one chunk of input makes the modem say: its echo and any result go
 * out in one write, as one packet, so a host reading as data comes sees them
 * together. */
struct answer {
  char bytes[8192];
  size_t len;
};

static void say(struct answer* a, const void* p, size_t n) {
  if (a->len + n > sizeof a->bytes) n = sizeof a->bytes - a->len;
  memcpy(a->bytes + a->len, p, n);
  a->len += n;
}

static void reply(struct answer* a, const char* text) {
  say(a, "\r\n", 2);
  say(a, text, strlen(text));
  say(a, "\r\n", 2);
}

static void run_command(struct answer* a, char* line, int* echo, int* online) {
  for (char* c = line; *c; ++c)
    if (*c >= 'a' && *c <= 'z') *c = (char)(*c - 'a' + 'A');
  if (line[0] == 0) return;
  if (strncmp(line, "AT", 2) != 0) {
    reply(a, "ERROR");
    return;
  }
  const char* rest = line + 2;
  if (*rest == 'D') {
    *online = 1;
    reply(a, "CONNECT");
    return;
  }
  if (strcmp(rest, "E0") == 0) *echo = 0;
  if (strcmp(rest, "E1") == 0) *echo = 1;
  reply(a, "OK");
}

/* Serves one open of the tty until it hangs up (the USB host went away). */
static void modem_session(int fd) {
  char line[256];
  size_t len = 0;
  int echo = 1, online = 0;
  double last_data = now_ms();
  unsigned char buf[4096];
  struct answer a;
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    a.len = 0;
    if (online) {
      /* "+++" alone after a second of silence leaves the data phase. */
      double t = now_ms();
      if (n == 3 && memcmp(buf, "+++", 3) == 0 && t - last_data >= 1000) {
        online = 0;
        reply(&a, "OK");
      } else {
        say(&a, buf, (size_t)n);
      }
      last_data = t;
    } else {
      for (ssize_t i = 0; i < n; ++i) {
        unsigned char b = buf[i];
        if (echo) say(&a, &b, 1);
        if (b == '\r') {
          line[len] = 0;
          len = 0;
          run_command(&a, line, &echo, &online);
          last_data = now_ms();
          if (online) { /* the rest of the chunk is data */
            say(&a, buf + i + 1, (size_t)(n - i - 1));
            break;
          }
        } else if (b != '\n' && len + 1 < sizeof line) {
          line[len++] = (char)b;
        }
      }
    }
    if (a.len > 0 && write_all(fd, a.bytes, a.len) != 0) return;
  }
}

static _Noreturn void cmd_modem(const char* tty) {
  for (;;) {
    int fd = open(tty, O_RDWR | O_NOCTTY);
    if (fd < 0) {
      usleep(100 * 1000);
      continue;
    }
    make_raw(fd);
    modem_session(fd);
    close(fd);
    usleep(100 * 1000);
  }
}

/* ---- relay: a loopback TCP server carried over a virtio-serial port ----
 *
 * A byte stream through virtio-serial cannot tell where one connection ends
 * and the next begins (the host never learns that the guest closed the port),
 * so the stream carries frames: a type byte and a big-endian 32-bit length,
 * 'O' a connection opened here, 'D' its data, 'C' it closed (either way).
 * scripts/peer-lab's bridge makes one connection on the host per 'O'.
 */

static int send_frame(int d, char type, const void* data, uint32_t len) {
  unsigned char head[5] = {(unsigned char)type, (unsigned char)(len >> 24), (unsigned char)(len >> 16),
                           (unsigned char)(len >> 8), (unsigned char)len};
  return write_all(d, head, sizeof head) == 0 && write_all(d, data, len) == 0 ? 0 : -1;
}

struct frames {
  unsigned char head[5];
  size_t head_have;
  uint32_t data_left;
};

/* Feeds bytes from the host; data goes to *client, a close frame closes it. */
static void host_bytes(struct frames* f, const unsigned char* p, size_t n, int* client) {
  while (n > 0) {
    if (f->data_left > 0) {
      size_t k = n < f->data_left ? n : f->data_left;
      if (*client >= 0 && write_all(*client, p, k) != 0) {
        close(*client);
        *client = -1;
      }
      p += k;
      n -= k;
      f->data_left -= (uint32_t)k;
      continue;
    }
    f->head[f->head_have++] = *p++;
    --n;
    if (f->head_have < sizeof f->head) continue;
    f->head_have = 0;
    uint32_t len =
        (uint32_t)f->head[1] << 24 | (uint32_t)f->head[2] << 16 | (uint32_t)f->head[3] << 8 | f->head[4];
    if (f->head[0] == 'D') {
      f->data_left = len;
    } else if (f->head[0] == 'C' && *client >= 0) {
      close(*client);
      *client = -1;
    }
  }
}

static _Noreturn void cmd_relay(int port, const char* dev) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a = {0};
  a.sin_family = AF_INET;
  a.sin_port = htons((unsigned short)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(ls, (struct sockaddr*)&a, sizeof a) != 0 || listen(ls, 4) != 0)
    die("relay: cannot serve port %d", port);
  int d = open(dev, O_RDWR | O_NONBLOCK);
  if (d < 0) die("relay: cannot open %s: %s", dev, strerror(errno));
  static unsigned char buf[65536];
  struct frames f = {{0}, 0, 0};
  int client = -1;
  for (;;) {
    struct pollfd p[2] = {{client >= 0 ? client : ls, POLLIN, 0}, {d, POLLIN, 0}};
    if (poll(p, 2, 1000) < 0) continue;
    if (p[1].revents & POLLIN) {
      ssize_t n = read(d, buf, sizeof buf);
      if (n > 0) host_bytes(&f, buf, (size_t)n, &client);
    } else if (p[1].revents & POLLHUP) {
      /* The host's end went away: so did the connection it carried. */
      memset(&f, 0, sizeof f);
      if (client >= 0) {
        close(client);
        client = -1;
      }
      usleep(20 * 1000);
      continue;
    }
    if (client < 0) {
      if (p[0].revents & POLLIN) {
        client = accept(ls, NULL, NULL);
        if (client < 0) continue;
        setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (send_frame(d, 'O', "", 0) != 0) {
          close(client);
          client = -1;
        }
      }
    } else if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = read(client, buf, sizeof buf);
      if (n <= 0 || send_frame(d, 'D', buf, (uint32_t)n) != 0) {
        send_frame(d, 'C', "", 0);
        close(client);
        client = -1;
      }
    }
  }
}

/* ---- chat: the judge on the host driver's side ---- */

struct chat {
  int fd;
  int timeout_ms;
  unsigned char in[1 << 16];
  size_t have;
  uint64_t tx_counter, rx_counter;
};

static size_t unescape(const char* s, char* out) {
  size_t n = 0;
  for (; *s; ++s) {
    if (*s != '\\' || !s[1]) {
      out[n++] = *s;
      continue;
    }
    ++s;
    if (*s == 'r')
      out[n++] = '\r';
    else if (*s == 'n')
      out[n++] = '\n';
    else if (*s == 'x' && s[1] && s[2]) {
      char hex[3] = {s[1], s[2], 0};
      out[n++] = (char)strtol(hex, NULL, 16);
      s += 2;
    } else
      out[n++] = *s;
  }
  return n;
}

/* Reads what is there, waiting at most until the deadline; 0 on time-out. */
static int fill(struct chat* c, double deadline) {
  int left = (int)(deadline - now_ms());
  if (left <= 0) return 0;
  struct pollfd p = {c->fd, POLLIN, 0};
  if (poll(&p, 1, left) <= 0) return 0;
  if (c->have == sizeof c->in) die("chat: input overflow");
  ssize_t n = read(c->fd, c->in + c->have, sizeof c->in - c->have);
  if (n <= 0) die("chat: read: %s", n == 0 ? "end of file" : strerror(errno));
  c->have += (size_t)n;
  return 1;
}

static void consume(struct chat* c, size_t n) {
  memmove(c->in, c->in + n, c->have - n);
  c->have -= n;
}

static void show(const struct chat* c) {
  fprintf(stderr, "  received so far (%zu bytes): \"", c->have);
  for (size_t i = 0; i < c->have && i < 200; ++i) {
    unsigned char b = c->in[i];
    if (b >= 32 && b < 127)
      fputc(b, stderr);
    else
      fprintf(stderr, "\\x%02x", b);
  }
  fprintf(stderr, "\"\n");
}

static int expect(struct chat* c, const char* text, double* at) {
  double deadline = now_ms() + c->timeout_ms;
  for (;;) {
    unsigned char* hit = memmem(c->in, c->have, text, strlen(text));
    if (hit) {
      unsigned char* nl = memchr(hit, '\n', c->have - (size_t)(hit - c->in));
      if (nl) {
        if (at) *at = now_ms();
        consume(c, (size_t)(nl - c->in) + 1);
        return 0;
      }
    }
    if (!fill(c, deadline)) return -1;
  }
}

/* The simulated modem's data pattern (its downlink source sends it and its
 * uplink check expects it): each 256-byte block is its offset's low byte plus
 * a key hashed from the block number. */
static unsigned char pattern(uint64_t offset) {
  uint64_t x = (offset >> 8) + 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return (unsigned char)(offset + (unsigned char)(x ^ (x >> 31)));
}

static int rx_pattern(struct chat* c, size_t n, uint64_t* counter, const char* what) {
  double deadline = now_ms() + c->timeout_ms;
  size_t got = 0;
  while (got < n) {
    if (c->have == 0 && !fill(c, deadline)) {
      fprintf(stderr, "chat: %s: %zu of %zu bytes before the time-out\n", what, got, n);
      return -1;
    }
    size_t take = c->have < n - got ? c->have : n - got;
    for (size_t i = 0; i < take; ++i, ++*counter) {
      if (c->in[i] != pattern(*counter)) {
        fprintf(stderr, "chat: %s: byte %zu is 0x%02x, expected 0x%02x\n", what, got + i, c->in[i],
                pattern(*counter));
        return -1;
      }
    }
    consume(c, take);
    got += take;
  }
  return 0;
}

static int cmp_double(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return x < y ? -1 : x > y;
}

static int step(struct chat* c, const char* s) {
  const char* arg = strchr(s, ':');
  arg = arg ? arg + 1 : "";
  if (strncmp(s, "send:", 5) == 0) {
    char buf[1024];
    size_t n = unescape(arg, buf);
    return write_all(c->fd, buf, n);
  }
  if (strncmp(s, "expect:", 7) == 0) return expect(c, arg, NULL);
  if (strncmp(s, "timeout:", 8) == 0) {
    c->timeout_ms = atoi(arg);
    return 0;
  }
  if (strncmp(s, "sleep:", 6) == 0) {
    usleep((useconds_t)atoi(arg) * 1000);
    return 0;
  }
  if (strcmp(s, "flush") == 0) {
    while (fill(c, now_ms() + 200)) {
    }
    c->have = 0;
    return 0;
  }
  if (strncmp(s, "dtr:", 4) == 0) {
    int bits = TIOCM_DTR | TIOCM_RTS;
    return ioctl(c->fd, atoi(arg) ? TIOCMBIS : TIOCMBIC, &bits);
  }
  if (strncmp(s, "carrier:", 8) == 0) {
    double deadline = now_ms() + c->timeout_ms;
    for (;;) {
      int bits = 0;
      if (ioctl(c->fd, TIOCMGET, &bits) != 0) return -1;
      if (!!(bits & TIOCM_CD) == !!atoi(arg)) return 0;
      if (now_ms() > deadline) return -1;
      usleep(10 * 1000);
    }
  }
  if (strncmp(s, "echo:", 5) == 0 || strncmp(s, "rx:", 3) == 0 || strncmp(s, "tx:", 3) == 0) {
    size_t n = (size_t)atol(arg);
    int echo = s[0] == 'e';
    double t0 = now_ms();
    if (s[0] == 't') {
      unsigned char buf[4096];
      for (size_t sent = 0; sent < n;) {
        size_t k = n - sent < sizeof buf ? n - sent : sizeof buf;
        for (size_t i = 0; i < k; ++i) buf[i] = pattern(c->tx_counter++);
        if (write_all(c->fd, buf, k) != 0) return -1;
        sent += k;
      }
      tcdrain(c->fd);
    } else if (echo) {
      /* Write in pieces and read back as it comes, so neither side's buffer fills. */
      size_t sent = 0;
      while (sent < n) {
        unsigned char buf[512];
        size_t k = n - sent < sizeof buf ? n - sent : sizeof buf;
        for (size_t i = 0; i < k; ++i) buf[i] = pattern(c->tx_counter++);
        if (write_all(c->fd, buf, k) != 0) return -1;
        sent += k;
        if (rx_pattern(c, k, &c->rx_counter, "echo") != 0) return -1;
      }
    } else if (rx_pattern(c, n, &c->rx_counter, "rx") != 0) {
      return -1;
    }
    double ms = now_ms() - t0;
    printf("%s %zu bytes in %.1f ms: %.3f MB/s\n",
           echo          ? "echo"
           : s[0] == 't' ? "tx"
                         : "rx",
           n, ms, ms > 0 ? n / ms / 1e3 : 0.0);
    return 0;
  }
  if (strncmp(s, "rtt:", 4) == 0) {
    int n = atoi(arg);
    if (n <= 0 || n > 100000) return -1;
    double* t = calloc((size_t)n, sizeof *t);
    for (int i = 0; i < n; ++i) {
      double t0 = now_ms(), t1;
      if (write_all(c->fd, "AT\r", 3) != 0 || expect(c, "OK", &t1) != 0) {
        free(t);
        return -1;
      }
      t[i] = t1 - t0;
    }
    qsort(t, (size_t)n, sizeof *t, cmp_double);
    printf("rtt %d: p50 %.3f ms p99 %.3f ms max %.3f ms\n", n, t[n / 2],
           t[(n * 99) / 100 < n ? (n * 99) / 100 : n - 1], t[n - 1]);
    free(t);
    return 0;
  }
  fprintf(stderr, "chat: unknown step '%s'\n", s);
  return -2;
}

static int cmd_chat(const char* dev, int argc, char** argv) {
  static struct chat c;
  c.timeout_ms = 5000;
  double deadline = now_ms() + 10000;
  while ((c.fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK)) < 0) {
    if (now_ms() > deadline) die("chat: cannot open %s: %s", dev, strerror(errno));
    usleep(50 * 1000);
  }
  make_raw(c.fd);
  for (int i = 0; i < argc; ++i) {
    double t0 = now_ms();
    int rc = step(&c, argv[i]);
    if (rc != 0) {
      fprintf(stderr, "chat: step %d '%s' failed after %.0f ms\n", i + 1, argv[i], now_ms() - t0);
      show(&c);
      return 1;
    }
    printf("ok %s\n", argv[i]);
    fflush(stdout);
  }
  close(c.fd);
  return 0;
}

int main(int argc, char** argv) {
  setvbuf(stdout, NULL, _IOLBF, 0);
  if (argc >= 3 && strcmp(argv[1], "modem") == 0) cmd_modem(argv[2]);
  if (argc >= 4 && strcmp(argv[1], "relay") == 0) cmd_relay(atoi(argv[2]), argv[3]);
  if (argc >= 3 && strcmp(argv[1], "chat") == 0) return cmd_chat(argv[2], argc - 3, argv + 3);
  fprintf(stderr, "usage: peer-agent modem TTY | relay PORT DEV | chat DEV STEP...\n");
  return 2;
}
