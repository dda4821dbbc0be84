// Recording a client's session: the scenario it becomes replays with the
// same answers however the bytes were cut up by timing.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "fake_backend.h"
#include "nt_names.h"
#include "test_helpers.h"
#include "recorder.h"
#include "scenario_runner.h"

namespace vrmdm {
namespace {

using testing::FakeBackend;
using vrmdm_test::AsBytes;

// Commands only, without comments and expect lines.
std::vector<std::string> commands_of(const std::string& text) {
  std::vector<std::string> out;
  for (const auto& l : vrmdm_test::LinesOf(text))
    if (!l.starts_with("#") && !l.starts_with("expect")) out.push_back(l);
  return out;
}

// A client as the bridges are one: a read always outstanding, writes and
// settings in between.  The modem's answers arrive cut up in pieces.
std::string record_session() {
  FakeBackend live;
  live.hold_writes = true;
  std::ostringstream file;
  {
    RecordingBackend rec(live, file, "test");
    EXPECT_EQ(rec.plug({}), 0u);
    EXPECT_EQ(rec.open(), 0u);
    // Reads return after 250 ms; the write time-out (5 s) stays.
    const Bytes timeouts = {0, 0, 0, 0, 0, 0, 0, 0, 0xFA, 0, 0, 0, 0, 0, 0, 0, 0x88, 0x13, 0, 0};
    EXPECT_TRUE(rec.ioctl(kIoctlSetTimeouts, timeouts, 0)->wait(std::chrono::seconds(1)));

    PendingPtr idle = rec.read(4096);
    EXPECT_TRUE(idle->cancel());  // an idle read that got nothing
    EXPECT_TRUE(idle->wait(std::chrono::seconds(1)));

    PendingPtr first = rec.read(4096);
    PendingPtr write = rec.write(AsBytes("AT\r"));
    // The echo arrives while the write is still running: the read completes
    // first, yet the replay must send before it reads.
    live.to_host("AT\r");
    EXPECT_TRUE(first->wait(std::chrono::seconds(1)));
    EXPECT_TRUE(live.pending_writes().at(0)->complete({0, 3, {}}));
    EXPECT_TRUE(write->wait(std::chrono::seconds(1)));

    PendingPtr second = rec.read(4096);
    live.to_host("\r\n");
    EXPECT_TRUE(second->wait(std::chrono::seconds(1)));
    PendingPtr third = rec.read(4096);
    live.to_host("OK\r\n");
    EXPECT_TRUE(third->completed());
    EXPECT_EQ(third->outcome().output, AsBytes("OK\r\n"));
    rec.note("modem: serial state 0x0003");
    rec.shutdown();  // closes the handle, as the client's close
  }
  return file.str();
}

TEST(Recorder, WritesTheSessionSoThatItReplaysDeterministically) {
  const std::string text = record_session();
  EXPECT_EQ(commands_of(text),
            (std::vector<std::string>{"plug port=COM5 modem=acm", "open",
                                      "ioctl SET_TIMEOUTS in=0000000000000000000000000000000088130000",
                                      "write \"AT\\r\"", "read 3", "read 2", "read 4", "close"}))
      << text;
  EXPECT_NE(text.find("# the client's time-outs: in=0000000000000000fa0000000000000088130000"),
            std::string::npos);
  EXPECT_NE(text.find("# modem: serial state 0x0003"), std::string::npos);
  EXPECT_NE(text.find(R"(expect ^read 4 -> STATUS_SUCCESS info=4 data="OK\\r\\n"$)"), std::string::npos)
      << text;

  // The replay gets the modem's answer in one piece: each read still takes
  // exactly the bytes it got back then, and every expect holds.
  for (bool one_piece : {true, false}) {
    FakeBackend replay;
    if (one_piece) replay.to_host("AT\r\r\nOK\r\n");
    std::ostringstream out, err;
    ScenarioRunner runner(
        replay, out, err,
        {std::chrono::milliseconds(200), std::chrono::milliseconds(200), std::chrono::milliseconds(200)});
    const int status = runner.run(parse_script(text));
    if (one_piece) {
      EXPECT_EQ(status, kRunPassed) << out.str() << err.str();
      EXPECT_EQ(replay.written(), AsBytes("AT\r"));
    } else {
      // A modem that never answers: the first read's expect names its line.
      EXPECT_EQ(status, kRunFailed);
      EXPECT_NE(err.str().find("expect ^read 3"), std::string::npos) << err.str();
    }
  }
}

TEST(Recorder, NotesACancelWhereItHappened) {
  FakeBackend live;
  live.hold_writes = true;
  std::ostringstream file;
  {
    RecordingBackend rec(live, file, "test");
    rec.open();
    PendingPtr stuck = rec.write(AsBytes("ATD\r"));
    EXPECT_TRUE(stuck->cancel());
    EXPECT_TRUE(stuck->wait(std::chrono::seconds(1)));
    EXPECT_FALSE(stuck->cancel());  // already over: nothing more to note
  }
  const std::string text = file.str();
  EXPECT_EQ(commands_of(text), (std::vector<std::string>{"open", "write \"ATD\\r\""})) << text;
  const auto cancel = text.find("# the client cancels: write \"ATD\\r\"");
  ASSERT_NE(cancel, std::string::npos) << text;
  EXPECT_EQ(text.find("# the client cancels", cancel + 1), std::string::npos) << text;
  EXPECT_NE(text.find("-> STATUS_CANCELLED info=0$"), std::string::npos) << text;
}

// The expect line of any result matches that result and nothing else,
// whatever bytes a read brought (regex characters, quotes, every byte value).
TEST(Recorder, ExpectPatternsMatchExactlyTheirResult) {
  std::mt19937 rng(17);
  int cases = 0;
  for (std::size_t length : {0, 1, 7, 64, 300, 4096}) {
    for (int round = 0; round < 4; ++round, ++cases) {
      Bytes data(length);
      for (auto& b : data) b = static_cast<uint8_t>(round == 0 ? "^$\\.*+?()[]{}|/\"x"[rng() % 17] : rng());
      const std::string line = format_result("read " + std::to_string(length), Op::read, {0, length, data});
      const std::regex pattern(exact_pattern(line), std::regex::ECMAScript);
      ASSERT_TRUE(std::regex_search(line, pattern)) << "seed 17 case " << cases;
      std::string changed = line;
      changed[rng() % changed.size()] ^= 0x01;
      EXPECT_FALSE(std::regex_search(changed, pattern)) << "seed 17 case " << cases;
      EXPECT_FALSE(std::regex_search(line + " ", pattern)) << "seed 17 case " << cases;
    }
  }
  std::printf("expect patterns checked: %d results up to 4096 bytes (seed 17)\n", cases);
}

}  // namespace
}  // namespace vrmdm
