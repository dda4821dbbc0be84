// The terminal and pty front ends against a fake port: bytes both ways, one
// read in flight at a time, the client's termios and flushes turned into
// requests with the right payloads, and clean ends.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli.h"
#include "fake_backend.h"
#include "line_settings.h"
#include "port_bridge.h"
#include "pty_server.h"
#include "session.h"
#include "test_helpers.h"

namespace vrmdm {
namespace {

using testing::FakeBackend;
using vrmdm_test::AsBytes;
using vrmdm_test::WaitUntil;
using namespace std::chrono_literals;

constexpr uint32_t kSetBaudRate = 0x1B0004;
constexpr uint32_t kSetLineControl = 0x1B000C;
constexpr uint32_t kPurge = 0x1B004C;
constexpr uint32_t kSetTimeouts = 0x1B001C;

// The inputs of the requests with `code`, in order.
std::vector<Bytes> inputs_of(const FakeBackend& b, uint32_t code) {
  std::vector<Bytes> out;
  for (const auto& c : b.ioctls())
    if (c.code == code) out.push_back(c.input);
  return out;
}

// Reads from `fd` until `want` has been seen or the time is up.
std::string read_until(int fd, std::string_view want, std::chrono::milliseconds limit = 5s) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (got.find(want) == std::string::npos && std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

TEST(LineSettings, FromTermiosFlags) {
  EXPECT_EQ(line_settings_from(CS8, 115200), (LineSettings{115200, 0, 0, 8}));
  EXPECT_EQ(line_settings_from(CS7 | PARENB, 9600), (LineSettings{9600, 0, 2, 7}));
  EXPECT_EQ(line_settings_from(CS7 | PARENB | PARODD, 9600), (LineSettings{9600, 0, 1, 7}));
  EXPECT_EQ(line_settings_from(CS8 | PARENB | CMSPAR | PARODD, 300), (LineSettings{300, 0, 3, 8}));
  EXPECT_EQ(line_settings_from(CS8 | PARENB | CMSPAR, 300), (LineSettings{300, 0, 4, 8}));
  EXPECT_EQ(line_settings_from(CS8 | CSTOPB, 57600), (LineSettings{57600, 2, 0, 8}));
  EXPECT_EQ(line_settings_from(CS5 | CSTOPB, 50), (LineSettings{50, 1, 0, 5}));
  EXPECT_EQ(line_settings_from(CS6 | CMSPAR, 1200), (LineSettings{1200, 0, 0, 6})) << "CMSPAR without PARENB";
  // Payloads as the requests carry them: a little-endian ULONG; StopBits, Parity, WordLength.
  const LineSettings s{921600, 2, 1, 7};
  EXPECT_EQ(s.baud_payload(), (std::array<uint8_t, 4>{0x00, 0x10, 0x0E, 0x00}));
  EXPECT_EQ(s.line_control_payload(), (std::array<uint8_t, 3>{2, 1, 7}));
  EXPECT_EQ(s.describe(), "921600 7O2");
  EXPECT_EQ(purge_mask_for_flush(true, false), 0x0Au);
  EXPECT_EQ(purge_mask_for_flush(false, true), 0x05u);
  EXPECT_EQ(purge_mask_for_flush(true, true), 0x0Fu);
  EXPECT_EQ(purge_mask_for_flush(false, false), 0u);
}

TEST(Bridge, KeepsExactlyOneReadInFlightAndStopsCleanly) {
  FakeBackend b;
  std::mutex m;
  std::string got;
  PortBridge bridge(b, [&](std::span<const uint8_t> bytes) {
    std::lock_guard lock(m);
    got.append(bytes.begin(), bytes.end());
  });
  bridge.start();
  // Time-outs first: a read idles for a quarter second at most.
  auto timeouts = inputs_of(b, kSetTimeouts);
  ASSERT_EQ(timeouts.size(), 1u);
  ASSERT_EQ(timeouts[0].size(), 20u);
  EXPECT_EQ(timeouts[0][8], 250);  // ReadTotalTimeoutConstant, low byte

  for (int i = 0; i < 200; ++i) b.to_host(std::string(1, static_cast<char>('a' + i % 26)));
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(m);
    return got.size() == 200;
  }));
  {
    std::lock_guard lock(m);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(got[i], 'a' + i % 26) << "at " << i;
  }
  EXPECT_EQ(b.max_reads_outstanding(), 1);
  EXPECT_EQ(bridge.bytes_received(), 200u);

  const IoOutcome o = bridge.send(AsBytes("AT\r"));
  EXPECT_EQ(o.status, 0u);
  EXPECT_EQ(o.information, 3u);
  EXPECT_EQ(b.written(), AsBytes("AT\r"));

  const auto t0 = std::chrono::steady_clock::now();
  bridge.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s)
      << "stop waited for the idle read instead of cancelling it";
  EXPECT_EQ(b.reads_outstanding(), 0);
  EXPECT_FALSE(bridge.failed());
}

TEST(Bridge, GivesUpOnAPortThatRefusesReads) {
  FakeBackend b;
  std::atomic<uint32_t> reason{0};
  PortBridge bridge(
      b, [](std::span<const uint8_t>) {}, [&](uint32_t status) { reason = status; });
  bridge.start();
  b.fail_reads(0xC00000BB);
  ASSERT_TRUE(WaitUntil([&] { return bridge.failed(); }));
  EXPECT_EQ(reason.load(), 0xC00000BBu);
  const int issued = b.reads_issued();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(b.reads_issued(), issued) << "the reader spins on a dead port";
  bridge.stop();
}

TEST(Terminal, PipedInputIsSentAndAnswersPrinted) {
  FakeBackend b;
  // The modem answers each carriage return.
  int in_pipe[2], out_pipe[2];
  ASSERT_EQ(pipe(in_pipe), 0);
  ASSERT_EQ(pipe(out_pipe), 0);
  std::ostringstream err;
  SessionConfig config;
  config.port = "COM3";
  config.quiet = 100ms;
  int status = -1;
  std::thread session([&] { status = run_terminal(b, config, in_pipe[0], out_pipe[1], -1, err); });
  ASSERT_EQ(write(in_pipe[1], "AT\r", 3), 3);
  ASSERT_TRUE(WaitUntil([&] { return b.written() == AsBytes("AT\r"); }));
  b.to_host("AT\r\r\nOK\r\n");
  close(in_pipe[1]);  // end of input: the session lingers for the answer, then ends
  session.join();
  close(out_pipe[1]);
  EXPECT_EQ(read_until(out_pipe[0], "OK\r\n", 1s), "AT\r\r\nOK\r\n");
  close(in_pipe[0]);
  close(out_pipe[0]);
  EXPECT_EQ(status, 0) << err.str();
  EXPECT_EQ(b.calls(), (std::vector<std::string>{"plug COM3 acm", "open", "shutdown"}));
  // The line is set up as a terminal program would before talking.
  EXPECT_EQ(inputs_of(b, kSetBaudRate), (std::vector<Bytes>{{0x00, 0xC2, 0x01, 0x00}}));
  EXPECT_EQ(inputs_of(b, kSetLineControl), (std::vector<Bytes>{{0, 0, 8}}));
}

TEST(Terminal, FailedOpenAndFindingsGiveExitStatusOne) {
  FakeBackend b;
  b.open_status = 0xC0000034;
  std::ostringstream err;
  EXPECT_EQ(run_terminal(b, {}, STDIN_FILENO, STDOUT_FILENO, -1, err), 1);
  EXPECT_NE(err.str().find("STATUS_OBJECT_NAME_NOT_FOUND"), std::string::npos) << err.str();
  EXPECT_EQ(b.calls().back(), "shutdown");

  FakeBackend b2;
  b2.fake_findings = {"pool-leak: 1 block"};
  int devnull = ::open("/dev/null", O_RDONLY);
  std::ostringstream err2;
  SessionConfig quick;
  quick.quiet = 10ms;
  EXPECT_EQ(run_terminal(b2, quick, devnull, STDOUT_FILENO, -1, err2), 1);
  close(devnull);
  EXPECT_NE(err2.str().find("pool-leak"), std::string::npos);
}

class PtyFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(stop_), 0);
    std::string error;
    ASSERT_TRUE(server_.create(error)) << error;
  }
  void TearDown() override {
    stop();
    if (client_ >= 0) close(client_);
    close(stop_[0]);
    close(stop_[1]);
  }
  void serve() {
    thread_ = std::thread([this] { served_ok_ = server_.serve(stop_[0]); });
  }
  void stop() {
    if (thread_.joinable()) {
      ASSERT_EQ(write(stop_[1], "x", 1), 1);
      thread_.join();
    }
  }
  void open_client() {
    client_ = ::open(server_.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(client_, 0);
  }
  void set_client(speed_t speed, tcflag_t cflag_set, tcflag_t cflag_clear) {
    termios t{};
    ASSERT_EQ(tcgetattr(client_, &t), 0);
    cfmakeraw(&t);
    cfsetspeed(&t, speed);
    t.c_cflag = (t.c_cflag & ~cflag_clear) | cflag_set;
    ASSERT_EQ(tcsetattr(client_, TCSANOW, &t), 0);
  }

  FakeBackend backend_;
  std::ostringstream log_;
  PtyServer server_{backend_, &log_};
  int stop_[2] = {-1, -1};
  int client_ = -1;
  std::thread thread_;
  bool served_ok_ = false;
};

TEST_F(PtyFixture, ClientSettingsBecomeRequestsOnlyWhenTheyChange) {
  serve();
  // The starting settings go out once.
  ASSERT_TRUE(WaitUntil([&] { return inputs_of(backend_, kSetLineControl).size() == 1; }));
  EXPECT_EQ(inputs_of(backend_, kSetBaudRate), (std::vector<Bytes>{{0x80, 0x25, 0, 0}}));  // 9600

  open_client();
  set_client(B115200, CSTOPB, 0);
  ASSERT_TRUE(WaitUntil([&] { return inputs_of(backend_, kSetLineControl).size() == 2; }));

  // Same speed again: nothing new.  Only the framing changes: only SET_LINE_CONTROL.
  set_client(B115200, CSTOPB, 0);
  set_client(B115200, 0, CSTOPB);
  ASSERT_TRUE(WaitUntil([&] { return inputs_of(backend_, kSetLineControl).size() == 3; }));
  std::this_thread::sleep_for(150ms);
  EXPECT_EQ(inputs_of(backend_, kSetBaudRate),
            (std::vector<Bytes>{{0x80, 0x25, 0, 0}, {0x00, 0xC2, 0x01, 0x00}}));
  EXPECT_EQ(inputs_of(backend_, kSetLineControl), (std::vector<Bytes>{{0, 0, 8}, {2, 0, 8}, {0, 0, 8}}));

  // A speed change made just before a write reaches the port before the write.
  set_client(B57600, 0, 0);
  ASSERT_EQ(write(client_, "X", 1), 1);
  ASSERT_TRUE(WaitUntil([&] { return backend_.written() == AsBytes("X"); }));
  EXPECT_EQ(inputs_of(backend_, kSetBaudRate).size(), 3u);
  stop();
  EXPECT_NE(log_.str().find("ioctl SET_BAUD_RATE in=00c20100 -> STATUS_SUCCESS"), std::string::npos)
      << log_.str();
}

// Clients come and go without ending the server; binary data from the port
// arrives unchanged (the slave starts raw: no CR/LF mapping, no XON/XOFF, no
// echo of the client's own bytes back to the port).
TEST_F(PtyFixture, BytesFlowBothWaysAsClientsComeAndGo) {
  serve();
  static constexpr char kAnswer[] = "\r\nCONNECT 7200000\r\n\x00\xff\x11\x13\n";
  const std::string answer(kAnswer, sizeof kAnswer - 1);
  for (int i = 0; i < 3; ++i) {
    open_client();
    const std::string msg = "AT" + std::to_string(i) + "\r";
    ASSERT_EQ(write(client_, msg.data(), msg.size()), static_cast<ssize_t>(msg.size()));
    ASSERT_TRUE(WaitUntil([&] { return backend_.written().size() == 4u * (i + 1); }));
    backend_.to_host(answer);
    EXPECT_EQ(read_until(client_, std::string("\x13\n", 2)), answer);
    close(client_);
    client_ = -1;
  }
  stop();
  EXPECT_EQ(backend_.written(), AsBytes("AT0\rAT1\rAT2\r"));
  EXPECT_TRUE(served_ok_);
}

TEST_F(PtyFixture, FailingPortEndsServing) {
  serve();
  backend_.fail_reads(0xC00000BB);
  thread_.join();
  EXPECT_FALSE(served_ok_);
}

TEST_F(PtyFixture, LinkIsMadeReplacedAndRemoved) {
  const auto dir = std::filesystem::temp_directory_path() / ("vrmdm-link-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const auto link = (dir / "COM5").string();
  std::string error;
  {
    PtyServer first(backend_, nullptr);
    ASSERT_TRUE(first.create(error)) << error;
    ASSERT_TRUE(first.make_link(link, error)) << error;
    // A link left by another (or a dead) server is replaced.
    ASSERT_TRUE(server_.make_link(link, error)) << error;
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), server_.slave_path());
  }
  // The first server leaves a link that is no longer its own alone.
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), server_.slave_path());
  const auto link2 = (dir / "COM6").string();
  {
    PtyServer second(backend_, nullptr);
    ASSERT_TRUE(second.create(error)) << error;
    ASSERT_TRUE(second.make_link(link2, error)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(link2));
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link2))) << "link outlived its server";
  // A regular file is never replaced.
  const auto file = (dir / "notalink").string();
  { std::ofstream(file) << "keep"; }
  EXPECT_FALSE(server_.make_link(file, error));
  EXPECT_TRUE(std::filesystem::is_regular_file(file));
  std::filesystem::remove_all(dir);
}

// Options as the settings that are not their defaults, in command_lines.txt's order.
std::string describe(const Options& o) {
  static const char* const modes[] = {"terminal", "pty", "script", "bench", "export", "help"};
  std::ostringstream d;
  if (o.mode != Mode::terminal) d << " mode=" << modes[static_cast<int>(o.mode)];
  if (o.port != "COM5") d << " port=" << o.port;
  if (o.modem != "acm") d << " modem=" << o.modem;
  if (o.modem_speed != "high") d << " speed=" << o.modem_speed;
  if (!o.modem_zlp) d << " zlp=off";
  if (o.modem_downlink != 0) d << " downlink=" << o.modem_downlink;
  if (o.completion != "end-of-frame") d << " completion=" << o.completion;
  if (o.tick_ms != 15.625) d << " tick=" << o.tick_ms;
  for (auto [on, name] : {std::pair{o.json, "json"},
                          {o.short_run, "short"},
                          {o.usbip, "usbip"},
                          {o.peer, "peer"},
                          {o.trace, "trace"},
                          {o.verbose, "verbose"}})
    if (on) d << " " << name;
  if (o.listen != "127.0.0.1:3240") d << " listen=" << o.listen;
  for (auto [value, name] : {std::pair{o.link, "link"}, {o.pcap, "pcap"}, {o.record, "record"}})
    if (value) d << " " << name << "=" << *value;
  if (!o.script.empty()) d << " script=" << o.script;
  if (o.driver) d << " driver=" << *o.driver;
  return d.str();
}

TEST(Options, EveryCommandLineOfTheTable) {
  const auto rows = vrmdm_test::ReadTable(VRMDM_HOST_TESTS "/command_lines.txt");
  for (const auto& [line, w] : rows) {
    SCOPED_TRACE("command_lines.txt:" + std::to_string(line));
    const auto arrow = std::find(w.begin(), w.end(), "=>");
    ASSERT_NE(arrow, w.end());
    const std::vector<std::string> args(w.begin(), arrow);
    std::string want;
    for (auto i = arrow + 1; i != w.end(); ++i) want += " " + *i;
    if (want == " error") {
      EXPECT_THROW(parse_options(args), std::invalid_argument);
    } else {
      EXPECT_EQ(describe(parse_options(args)), want);
    }
  }
  EXPECT_GE(rows.size(), 35u);
}

}  // namespace
}  // namespace vrmdm
