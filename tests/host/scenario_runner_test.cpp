// Running scenarios: the result lines, tagged requests answered later, expect,
// teardown and the exit status.  The port is a fake, so each outcome is chosen.
#include <gtest/gtest.h>

#include <list>
#include <map>
#include <sstream>

#include "fake_backend.h"
#include "scenario_runner.h"
#include "text_codec.h"
#include "test_helpers.h"

namespace vrmdm {
namespace {

using testing::FakeBackend;
using testing::IoctlCall;
using vrmdm_test::AsText;
using vrmdm_test::WaitUntil;

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
  return {status, vrmdm_test::LinesOf(out.str()), err.str()};
}

// One case of runner_cases.txt: the fake's set-up, the script, and what
// must come of it.
struct Case {
  std::string name;
  FakeBackend backend;
  std::map<uint32_t, Bytes> answers;
  std::string later;  // data for the first read that waits
  std::string script;
  std::map<std::string, std::vector<std::string>> want;  // status, out, err, written, ioctls, calls
};

void check(Case& k) {
  SCOPED_TRACE("runner_cases.txt: " + k.name);
  if (!k.answers.empty()) {
    k.backend.ioctl_answer = [&k](const IoctlCall& c) {
      const Bytes out = k.answers.count(c.code) ? k.answers[c.code] : Bytes{};
      return IoOutcome{0, out.size(), out};
    };
  }
  std::thread feeder;
  if (!k.later.empty()) {
    feeder = std::thread([&k] {
      WaitUntil([&] { return k.backend.reads_outstanding() == 1; });
      k.backend.to_host(k.later);
    });
  }
  const RunResult r = run(k.backend, k.script);
  if (feeder.joinable()) feeder.join();
  const std::map<std::string, int> statuses = {
      {"passed", kRunPassed}, {"failed", kRunFailed}, {"error", kRunScriptError}};
  EXPECT_EQ(r.status, statuses.at(k.want["status"].at(0))) << r.err;
  for (const auto& part : k.want["err"]) EXPECT_NE(r.err.find(part), std::string::npos) << r.err;
  if (k.want.count("out")) {
    EXPECT_EQ(r.out, k.want["out"]);
  }
  if (k.want.count("written")) {
    EXPECT_EQ(AsText(k.backend.written()), k.want["written"].at(0));
  }
  if (k.want.count("calls")) {
    EXPECT_EQ(k.backend.calls(), k.want["calls"]);
  }
  if (k.want.count("ioctls")) {
    std::vector<std::string> seen;
    for (const IoctlCall& c : k.backend.ioctls())
      seen.push_back((std::ostringstream() << std::hex << c.code).str() +
                     (c.input.empty() ? "" : " in=" + to_hex(c.input)) +
                     (c.output_length ? " out=" + std::to_string(c.output_length) : ""));
    EXPECT_EQ(seen, k.want["ioctls"]);
  }
}

TEST(Runner, EveryCaseOfTheTable) {
  std::list<Case> cases;
  for (const auto& [line, w] : vrmdm_test::ReadTable(VRMDM_HOST_TESTS "/runner_cases.txt")) {
    const std::string& key = w[0];
    if (key == "case") {
      cases.emplace_back().name = w.at(1);
    } else if (key == "later") {
      cases.back().later = w.at(1);
    } else if (key == "to-host") {
      cases.back().backend.to_host(w.at(1));
    } else if (key == "answer") {
      cases.back().answers[parse_u32("0x" + w.at(1))] = parse_hex(w.at(2));
    } else if (key == "pending") {
      cases.back().backend.ioctl_answer = [](const IoctlCall&) { return IoOutcome{0x103, 0, {}}; };
    } else if (key == "open-status") {
      cases.back().backend.open_status = parse_u32(w.at(1));
    } else if (key == "finding") {
      cases.back().backend.fake_findings.push_back(w.at(1));
    } else if (key == "run") {
      cases.back().script += w.at(1) + "\n";
    } else {
      auto& want = cases.back().want[key];
      want.insert(want.end(), w.begin() + 1, w.end());
    }
  }
  for (Case& k : cases) check(k);
  EXPECT_GE(cases.size(), 13u);
}

}  // namespace
}  // namespace vrmdm
