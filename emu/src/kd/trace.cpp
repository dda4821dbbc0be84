// DbgPrint into a captured trace (and stderr on request); RtlAssert records.

#include "ke/ke_internal.h"

#include <cstdio>
#include <cstdlib>

namespace emu::ke {
namespace {

struct TraceState {
  std::mutex lock;
  std::vector<std::string> lines;
  bool echo = std::getenv("VRMDM_TRACE") != nullptr;
  std::vector<emu::asserts::Record> asserts;
};

TraceState& trace_state() {
  static TraceState* t = new TraceState;
  return *t;
}

void add_text(const std::string& text) {
  TraceState& t = trace_state();
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) {
      pieces.push_back(text.substr(start));
      break;
    }
    pieces.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  std::lock_guard<std::mutex> g(t.lock);
  for (auto& line : pieces) {
    if (t.echo) std::fprintf(stderr, "DbgPrint: %s\n", line.c_str());
    t.lines.push_back(std::move(line));
  }
}

}  // namespace

void reset_trace() {
  std::lock_guard<std::mutex> g(trace_state().lock);
  trace_state().lines.clear();
  trace_state().asserts.clear();
}

}  // namespace emu::ke

namespace emu::trace {

using namespace emu::ke;

std::vector<std::string> lines() {
  std::lock_guard<std::mutex> g(trace_state().lock);
  return trace_state().lines;
}

bool contains(std::string_view text) { return count(text) != 0; }

std::size_t count(std::string_view text) {
  std::lock_guard<std::mutex> g(trace_state().lock);
  std::size_t n = 0;
  for (const auto& line : trace_state().lines) n += line.find(text) != std::string::npos;
  return n;
}

void clear() {
  std::lock_guard<std::mutex> g(trace_state().lock);
  trace_state().lines.clear();
}

void echo(bool on) {
  std::lock_guard<std::mutex> g(trace_state().lock);
  trace_state().echo = on;
}

}  // namespace emu::trace

namespace emu::asserts {

using namespace emu::ke;

std::vector<Record> records() {
  std::lock_guard<std::mutex> g(trace_state().lock);
  return trace_state().asserts;
}

std::vector<Record> take() {
  std::lock_guard<std::mutex> g(trace_state().lock);
  std::vector<Record> out;
  out.swap(trace_state().asserts);
  return out;
}

void clear() {
  std::lock_guard<std::mutex> g(trace_state().lock);
  trace_state().asserts.clear();
}

}  // namespace emu::asserts

using namespace emu::ke;

EXTERN_C ULONG __cdecl DbgPrint(PCSTR format, ...) {
  if (!format) return STATUS_INVALID_PARAMETER;
  ms_va_list args;
  EMU_MS_VA_START(args, format);
  std::u16string text = format_ms(false, format, args);
  EMU_MS_VA_END(args);
  // The narrow formatter keeps bytes as they are (one byte per unit).
  std::string bytes;
  bytes.reserve(text.size());
  for (char16_t c : text) bytes += static_cast<char>(c);
  add_text(bytes);
  return STATUS_SUCCESS;
}

EXTERN_C void NTAPI RtlAssert(PVOID failed_assertion, PVOID file_name, ULONG line, PSTR message) {
  emu::asserts::Record r{failed_assertion ? static_cast<const char*>(failed_assertion) : "",
                         file_name ? static_cast<const char*>(file_name) : "", line, message ? message : ""};
  std::string text = "*** Assertion failed: " + r.message + (r.message.empty() ? "" : " ") + r.expression +
                     "\n***   Source File: " + r.file + ", line " + std::to_string(line) + "\n";
  add_text(text);
  {
    std::lock_guard<std::mutex> g(trace_state().lock);
    trace_state().asserts.push_back(r);
  }
  report(emu::verifier::Rule::assertion_failed, r.file + ":" + std::to_string(line), nullptr,
         r.expression + (r.message.empty() ? "" : " (" + r.message + ")"));
}
