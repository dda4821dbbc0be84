// Running scenarios: the result lines, tagged requests answered later, expect,
// teardown and the exit status.  The port is a fake, so each outcome is chosen.
#include <gtest/gtest.h>

#include <sstream>

#include "fake_backend.h"
#include "scenario_runner.h"
#include "test_helpers.h"

namespace vrmdm {
namespace {

using testing::FakeBackend;
using testing::IoctlCall;
using vrmdm_test::WaitUntil;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

struct RunResult {
  int status;
  std::vector<std::string> out;
  std::string err;
};

RunResult run(FakeBackend& backend, std::string_view script,
              RunnerLimits limits = {std::chrono::milliseconds(200), std::chrono::milliseconds(200),
                                     std::chrono::milliseconds(200)}) {
  std::ostringstream out, err;
  ScenarioRunner runner(backend, out, err, limits);
  const int status = runner.run(parse_script(script));
  return {status, lines_of(out.str()), err.str()};
}

TEST(ResultLine, Format) {
  EXPECT_EQ(format_result("open", Op::open, {0, 0, {}}), "open -> STATUS_SUCCESS info=0");
  EXPECT_EQ(format_result("read 8", Op::read, {0, 6, {'\r', '\n', 'O', 'K', '\r', '\n'}}),
            R"(read 8 -> STATUS_SUCCESS info=6 data="\r\nOK\r\n")");
  EXPECT_EQ(format_result("ioctl GET_BAUD_RATE", Op::ioctl, {0, 4, {0x00, 0xC2, 0x01, 0x00}}),
            "ioctl GET_BAUD_RATE -> STATUS_SUCCESS info=4 out=00c20100");
  // No output, no data= or out= part, even when Information says otherwise.
  EXPECT_EQ(format_result("ioctl SET_BAUD_RATE in=80250000", Op::ioctl, {0, 4, {}}),
            "ioctl SET_BAUD_RATE in=80250000 -> STATUS_SUCCESS info=4");
  EXPECT_EQ(format_result("read 4", Op::read, {0xC0000120, 0, {}}), "read 4 -> STATUS_CANCELLED info=0");
  EXPECT_EQ(format_result("write \"x\"", Op::write, {0xC0001234, 1, {}}), "write \"x\" -> 0xC0001234 info=1");
}

TEST(Runner, OneLinePerRequestInOrder) {
  FakeBackend b;
  b.to_host("\r\nOK\r\n");
  b.ioctl_answer = [](const IoctlCall& c) {
    if (c.code == 0x1B0050) return IoOutcome{0, 4, {0x80, 0x25, 0, 0}};
    return IoOutcome{0, 0, {}};
  };
  RunResult r = run(b, R"(plug port=COM7 modem=acm-nointr
open
write "AT\r"   # hello
read 16
ioctl GET_BAUD_RATE
ioctl SET_BAUD_RATE in=00c20100
close
)");
  EXPECT_EQ(r.status, kRunPassed) << r.err;
  ASSERT_EQ(r.out.size(), 7u);
  EXPECT_EQ(r.out[0], "plug port=COM7 modem=acm-nointr -> STATUS_SUCCESS info=0");
  EXPECT_EQ(r.out[2], R"(write "AT\r" -> STATUS_SUCCESS info=3)");
  EXPECT_EQ(r.out[3], R"(read 16 -> STATUS_SUCCESS info=6 data="\r\nOK\r\n")");
  EXPECT_EQ(r.out[4], "ioctl GET_BAUD_RATE -> STATUS_SUCCESS info=4 out=80250000");
  EXPECT_EQ(r.out[6], "close -> STATUS_SUCCESS info=0");
  // What went to the port.
  EXPECT_EQ(b.written(), (Bytes{'A', 'T', '\r'}));
  auto ioctls = b.ioctls();
  ASSERT_EQ(ioctls.size(), 2u);
  EXPECT_EQ(ioctls[0].output_length, 4u);
  EXPECT_EQ(ioctls[1].input, (Bytes{0x00, 0xC2, 0x01, 0x00}));
  EXPECT_EQ(b.calls(), (std::vector<std::string>{"plug COM7 acm-nointr", "open", "close", "shutdown"}));
}

TEST(Runner, TaggedRequestIsAnsweredAtItsWait) {
  FakeBackend b;
  RunResult r = run(b, R"(open
read 10 &R
wait &R 20
expect ^wait &R 20 -> STATUS_TIMEOUT info=0$
modem send "x"
write "ping"
wait &R
)");
  // Nothing arrives: both waits time out, and the read's own line comes
  // after the teardown, which cancels it.
  EXPECT_EQ(r.status, kRunPassed) << r.err;
  ASSERT_EQ(r.out.size(), 5u);
  EXPECT_EQ(r.out[1], "wait &R 20 -> STATUS_TIMEOUT info=0");
  EXPECT_EQ(r.out[2], "write \"ping\" -> STATUS_SUCCESS info=4");
  EXPECT_EQ(r.out[3], "wait &R -> STATUS_TIMEOUT info=0");
  EXPECT_EQ(r.out[4], "read 10 &R -> STATUS_CANCELLED info=0");
}

TEST(Runner, DataArrivingCompletesTheTaggedRead) {
  FakeBackend b;
  std::ostringstream out, err;
  ScenarioRunner runner(b, out, err, {std::chrono::milliseconds(200), std::chrono::seconds(5), {}});
  std::thread feeder([&] {
    WaitUntil([&] { return b.reads_outstanding() == 1; });
    b.to_host("CONNECT");
  });
  const int status = runner.run(parse_script("open\nread 32 &R\nwait &R\nexpect data=\"CONNECT\"\n"));
  feeder.join();
  EXPECT_EQ(status, kRunPassed) << err.str();
  auto lines = lines_of(out.str());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], R"(read 32 &R -> STATUS_SUCCESS info=7 data="CONNECT")");
}

TEST(Runner, CancelEndsTheRequestOnceAndWaitReportsIt) {
  FakeBackend b;
  b.ioctl_answer = [](const IoctlCall&) { return IoOutcome{0x103, 0, {}}; };
  RunResult r = run(b, "open\nioctl WAIT_ON_MASK &E\ncancel &E\nwait &E\ncancel &E\n");
  EXPECT_EQ(r.status, kRunPassed) << r.err;
  ASSERT_EQ(r.out.size(), 2u);
  EXPECT_EQ(r.out[1], "ioctl WAIT_ON_MASK &E -> STATUS_CANCELLED info=0");
}

TEST(Runner, UntaggedRequestThatNeverEndsReportsPending) {
  FakeBackend b;
  b.ioctl_answer = [](const IoctlCall&) { return IoOutcome{0x103, 0, {}}; };
  RunResult r = run(b, "open\nioctl WAIT_ON_MASK\nexpect STATUS_PENDING\n");
  EXPECT_EQ(r.status, kRunPassed) << r.err;
  ASSERT_EQ(r.out.size(), 2u);  // exactly one line for it, not a second at teardown
  EXPECT_EQ(r.out[1], "ioctl WAIT_ON_MASK -> STATUS_PENDING info=0");
}

TEST(Runner, ReusingAnOutstandingTagIsAScriptError) {
  FakeBackend b;
  RunResult r = run(b, "open\nread 1 &R\nread 1 &R\nwrite \"never\"\n");
  EXPECT_EQ(r.status, kRunScriptError);
  EXPECT_NE(r.err.find("line 3"), std::string::npos) << r.err;
  EXPECT_TRUE(b.written().empty()) << "the run went on after the error";
  // The first read still gets its line, after the teardown.
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.back(), "read 1 &R -> STATUS_CANCELLED info=0");
  // Reusing a tag once its request was reported is fine.
  FakeBackend b2;
  b2.to_host("ab");
  RunResult r2 = run(b2, "open\nread 1 &R\nwait &R\nread 1 &R\nwait &R\n");
  EXPECT_EQ(r2.status, kRunPassed) << r2.err;
  ASSERT_EQ(r2.out.size(), 3u);
  EXPECT_EQ(r2.out[2], R"(read 1 &R -> STATUS_SUCCESS info=1 data="b")");
  // Waiting twice for the same request is an error.
  FakeBackend b3;
  b3.to_host("a");
  EXPECT_EQ(run(b3, "open\nread 1 &R\nwait &R\nwait &R\n").status, kRunScriptError);
}

TEST(Runner, FailedExpectStopsTheRunButStillTearsDown) {
  FakeBackend b;
  b.open_status = 0xC0000022;
  RunResult r = run(b, "plug\nopen\nexpect STATUS_SUCCESS\nwrite \"AT\\r\"\n");
  EXPECT_EQ(r.status, kRunFailed);
  EXPECT_NE(r.err.find("line 3"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("open -> STATUS_ACCESS_DENIED info=0"), std::string::npos) << r.err;
  EXPECT_TRUE(b.written().empty());
  EXPECT_EQ(b.calls().back(), "shutdown");
}

TEST(Runner, ExpectSeesOnlyThePreviousResultLine) {
  FakeBackend b;
  // The open line mentions SUCCESS, the close line too, but expect applies to
  // the last line printed before it; sleeps and modem commands print none.
  EXPECT_EQ(run(b, "open\nsleep 5\nmodem lines dcd=1\nexpect ^open -> STATUS_SUCCESS info=0$\n").status,
            kRunPassed);
  FakeBackend b2;
  EXPECT_EQ(run(b2, "expect .*\n").status, kRunFailed);  // no line yet
  FakeBackend b3;
  EXPECT_EQ(run(b3, "open\nclose\nexpect ^open\n").status, kRunFailed);
}

TEST(Runner, VerifierFindingsFailTheRun) {
  FakeBackend b;
  b.fake_findings = {"irp-completed-twice: DispatchRead"};
  RunResult r = run(b, "open\nclose\n");
  EXPECT_EQ(r.status, kRunFailed);
  EXPECT_NE(r.err.find("irp-completed-twice"), std::string::npos);
}

TEST(Runner, EveryCommandReachesTheBackend) {
  FakeBackend b;
  RunResult r = run(b, R"(plug
modem send "RING\r\n"
modem lines dcd=1 dsr=0
device surprise-remove
power device D2
power system S3
clock freeze
sleep 100
clock run
modem unplug
device remove
)");
  EXPECT_EQ(r.status, kRunPassed) << r.err;
  EXPECT_EQ(b.calls(),
            (std::vector<std::string>{"plug COM5 acm", "modem send RING\r\n", "modem lines dcd=1 dsr=0",
                                      "surprise-remove", "power device D2", "power system S3", "clock freeze",
                                      "sleep 100", "clock run", "modem unplug", "remove", "shutdown"}));
  // Results only for the requests to the device stack.
  ASSERT_EQ(r.out.size(), 5u);
  EXPECT_EQ(r.out[1], "device surprise-remove -> STATUS_SUCCESS info=0");
  EXPECT_EQ(r.out[2], "power device D2 -> STATUS_SUCCESS info=0");
}

}  // namespace
}  // namespace vrmdm
