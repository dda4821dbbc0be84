// The kernel as a whole: its state, the quiescence checks and the reset that
// tests run between cases.

#include "ke/ke_internal.h"

#include <cstdio>

namespace emu::ke {

Kernel& kernel() {
  // Never destroyed: the DPC, clock and worker threads outlive main().
  static Kernel* k = [] {
    auto* made = new Kernel;
    // Held for microseconds, and wanted at once by every thread a clock
    // tick releases: a waiter spins a little before it sleeps, which spares
    // each of them a second thread switch.
    const pthread_mutex_t adaptive = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
    *made->lock.native_handle() = adaptive;
    return made;
  }();
  return *k;
}

std::string hex(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

std::string narrow(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

namespace {

bool quiescent_locked() {
  Kernel& k = kernel();
  return k.system_running.empty() && k.timers.empty() && dpc_idle_locked() &&
         pending_work_items_locked() == 0;
}

struct ResetHooks {
  std::mutex lock;
  std::vector<std::function<void()>> hooks;
};

ResetHooks& reset_hooks() {
  static ResetHooks* h = new ResetHooks;
  return *h;
}

std::atomic<bool> g_auto_reset{true};

}  // namespace
}  // namespace emu::ke

namespace emu {

using namespace emu::ke;

bool is_quiescent() {
  Guard g(kernel().lock);
  return quiescent_locked();
}

bool check_quiescent(std::string_view context) {
  std::vector<std::pair<emu::verifier::Rule, std::pair<const void*, std::string>>> live;
  {
    Kernel& k = kernel();
    Guard g(k.lock);
    for (PKTHREAD t : k.system_running) {
      live.push_back({emu::verifier::Rule::thread_still_running,
                      {t, t->name.empty() ? hex(reinterpret_cast<const void*>(t->start_routine)) : t->name}});
    }
    for (auto& [due, timer] : k.timers)
      live.push_back({emu::verifier::Rule::timer_still_queued, {timer, "a timer is still set"}});
    for (PKDPC dpc : k.dpc_queue)
      live.push_back({emu::verifier::Rule::dpc_still_queued, {dpc, "a DPC is still queued"}});
    if (std::size_t n = pending_work_items_locked()) {
      live.push_back({emu::verifier::Rule::work_item_pending,
                      {nullptr, std::to_string(n) + " work item(s) queued or running"}});
    }
  }
  for (auto& [check, what] : live) report(check, context, what.first, what.second);
  return live.empty();
}

bool wait_quiescent(std::chrono::milliseconds limit) {
  Kernel& k = kernel();
  Guard g(k.lock);
  return k.idle_cv.wait_for(g, limit, [] { return quiescent_locked(); });
}

void add_reset_hook(std::function<void()> hook) {
  std::lock_guard<std::mutex> g(reset_hooks().lock);
  reset_hooks().hooks.push_back(std::move(hook));
}

void kernel_reset() {
  std::vector<std::function<void()>> hooks;
  {
    std::lock_guard<std::mutex> g(reset_hooks().lock);
    hooks = reset_hooks().hooks;
  }
  for (auto& hook : hooks) hook();

  // Threads get a moment to end by themselves before they are reported.
  {
    Kernel& k = kernel();
    Guard g(k.lock);
    k.idle_cv.wait_for(g, std::chrono::milliseconds(200), [&] {
      return k.system_running.empty() && dpc_idle_locked() && pending_work_items_locked() == 0;
    });
    if (std::size_t n = pending_work_items_locked()) {
      g.unlock();
      report(emu::verifier::Rule::work_item_pending, "kernel_reset", nullptr,
             std::to_string(n) + " work item(s) still queued or running at the end of the test");
    }
  }
  reset_timers_and_dpcs("kernel_reset", true);
  reset_handles("kernel_reset");
  reset_threads();
  reset_pool("kernel_reset");
  reset_registry("kernel_reset");
  reset_faults();
  reset_trace();
  reset_dispatcher();
  reset_clock();
}

void set_auto_reset(bool on) { g_auto_reset = on; }
bool auto_reset() { return g_auto_reset; }

}  // namespace emu
