// The emulator's Driver Verifier: a thread-safe list of findings.

#include <emu/verifier.h>

#include <cstdio>
#include <mutex>
#include <ostream>

namespace emu::verifier {
namespace {

struct State {
  std::mutex lock;
  std::vector<Finding> findings;
};

// Never destroyed: threads that outlive main() may still report.
State& state() {
  static State* s = new State;
  return *s;
}

}  // namespace

std::string describe(const Finding& f) {
  std::string text(id(f.rule));
  if (!f.routine.empty()) text += " in " + f.routine;
  if (f.object) {
    char buf[32];
    std::snprintf(buf, sizeof buf, " [%p]", f.object);
    text += buf;
  }
  if (!f.detail.empty()) text += ": " + f.detail;
  return text;
}

std::optional<Rule> find_rule(std::string_view id) {
  for (const RuleEntry& entry : rules) {
    if (entry.id == id) return entry.rule;
  }
  return std::nullopt;
}

std::ostream& operator<<(std::ostream& out, Rule rule) { return out << id(rule); }

void report(Rule rule, std::string_view routine, const void* object, std::string detail) {
  Finding f{rule, std::string(routine), object, std::move(detail)};
  std::string line = "VERIFIER: " + describe(f) + "\n";
  std::fputs(line.c_str(), stderr);
  std::lock_guard<std::mutex> guard(state().lock);
  state().findings.push_back(std::move(f));
}

std::vector<Finding> findings() {
  std::lock_guard<std::mutex> guard(state().lock);
  return state().findings;
}

std::vector<Finding> take_findings() {
  std::lock_guard<std::mutex> guard(state().lock);
  std::vector<Finding> out;
  out.swap(state().findings);
  return out;
}

std::size_t count() {
  std::lock_guard<std::mutex> guard(state().lock);
  return state().findings.size();
}

void clear() {
  std::lock_guard<std::mutex> guard(state().lock);
  state().findings.clear();
}

}  // namespace emu::verifier
