#include "scenario_runner.h"

#include <map>
#include <optional>
#include <vector>

#include "nt_names.h"

namespace vrmdm {

namespace {

struct Tagged {
  const Command* command;
  PendingPtr request;
  bool reported = false;
};

}  // namespace

std::string format_result(std::string_view command, Op op, const IoOutcome& outcome) {
  std::string line(command);
  line += " -> ";
  line += status_name(outcome.status);
  line += " info=";
  line += std::to_string(outcome.information);
  if (!outcome.output.empty()) {
    if (op == Op::read) {
      line += " data=\"" + escape_bytes(outcome.output) + "\"";
    } else if (op == Op::ioctl) {
      line += " out=" + to_hex(outcome.output);
    }
  }
  return line;
}

ScenarioRunner::ScenarioRunner(PortBackend& backend, std::ostream& out, std::ostream& err,
                               RunnerLimits limits)
    : backend_(backend), out_(out), err_(err), limits_(limits) {}

int ScenarioRunner::run(const Script& script) {
  std::map<std::string, Tagged> tags;
  std::vector<std::string> issue_order;  // tags, for the lines printed at teardown
  std::optional<std::string> last_line;
  int result = kRunPassed;

  auto emit = [&](std::string line) {
    out_ << line << '\n';
    out_.flush();
    last_line = std::move(line);
  };
  auto emit_status = [&](const Command& c, uint32_t status) {
    emit(format_result(c.text, c.op, {status, 0, {}}));
  };

  for (const Command& c : script.commands) {
    if (result != kRunPassed) break;
    switch (c.op) {
      case Op::plug:
        emit_status(c, backend_.plug({c.port, c.modem}));
        break;
      case Op::open:
        emit_status(c, backend_.open());
        break;
      case Op::close:
        emit_status(c, backend_.close());
        break;
      case Op::read:
      case Op::write:
      case Op::ioctl: {
        if (!c.tag.empty()) {
          auto it = tags.find(c.tag);
          if (it != tags.end() && !it->second.reported) {
            err_ << "line " << c.line << ": " << c.tag << " is still outstanding (wait for it first)\n";
            result = kRunScriptError;
            break;
          }
        }
        PendingPtr p = c.op == Op::read    ? backend_.read(c.number)
                       : c.op == Op::write ? backend_.write(c.data)
                                           : backend_.ioctl(c.code, c.data, c.out_length);
        if (!c.tag.empty()) {
          tags[c.tag] = Tagged{&c, p, false};
          issue_order.push_back(c.tag);
        } else if (p->wait(limits_.request)) {
          emit(format_result(c.text, c.op, p->outcome()));
        } else {
          emit(format_result(c.text, c.op, {kStatusPending, 0, {}}));
        }
        break;
      }
      case Op::cancel: {
        auto& t = tags.at(c.tag);
        if (!t.reported) t.request->cancel();
        break;
      }
      case Op::wait: {
        auto& t = tags.at(c.tag);
        if (t.reported) {
          err_ << "line " << c.line << ": " << c.tag << " was already waited for\n";
          result = kRunScriptError;
          break;
        }
        if (t.request->wait(c.wait_ms ? std::chrono::milliseconds(*c.wait_ms) : limits_.wait)) {
          t.reported = true;
          emit(format_result(t.command->text, t.command->op, t.request->outcome()));
        } else {
          emit_status(c, kStatusTimeout);
        }
        break;
      }
      case Op::modem_send:
        backend_.modem_send(c.data);
        break;
      case Op::modem_lines:
        backend_.modem_lines(c.dcd, c.dsr);
        break;
      case Op::modem_unplug:
        backend_.modem_unplug();
        break;
      case Op::surprise_remove:
        emit_status(c, backend_.surprise_remove());
        break;
      case Op::remove:
        emit_status(c, backend_.remove());
        break;
      case Op::power_device:
        emit_status(c, backend_.power_device(static_cast<int>(c.number)));
        break;
      case Op::power_system:
        emit_status(c, backend_.power_system(static_cast<int>(c.number)));
        break;
      case Op::sleep:
        backend_.sleep(std::chrono::milliseconds(c.number));
        break;
      case Op::clock_freeze:
        backend_.freeze_clock();
        break;
      case Op::clock_run:
        backend_.run_clock();
        break;
      case Op::expect:
        if (!last_line || !std::regex_search(*last_line, c.regex)) {
          err_ << "line " << c.line << ": expect " << c.pattern
               << " failed; the last result was: " << (last_line ? *last_line : std::string("(none)"))
               << '\n';
          result = kRunFailed;
        }
        break;
    }
  }

  // Teardown completes whatever is still pending (cleanup, removal); every
  // request still gets its one line.
  backend_.shutdown();
  for (const std::string& tag : issue_order) {
    auto& t = tags.at(tag);
    if (t.reported) continue;
    t.reported = true;
    if (t.request->wait(limits_.teardown)) {
      emit(format_result(t.command->text, t.command->op, t.request->outcome()));
    } else {
      emit(format_result(t.command->text, t.command->op, {kStatusPending, 0, {}}));
    }
  }

  const auto findings = backend_.findings();
  for (const auto& f : findings) err_ << "verifier: " << f << '\n';
  if (!findings.empty() && result == kRunPassed) result = kRunFailed;
  return result;
}

}  // namespace vrmdm
