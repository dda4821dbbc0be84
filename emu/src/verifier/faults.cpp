// Fault injection: allocation-type calls that a test makes fail, by count, by
// pool tag, or systematically one call at a time.

#include "ke/ke_internal.h"

#include <array>
#include <unordered_set>

namespace emu::faults {
namespace {

constexpr std::size_t kSites = 6;

struct FaultState {
  std::mutex lock;
  std::array<std::size_t, kSites> calls{};
  std::array<std::size_t, kSites> injected{};
  std::array<bool, kSites> fail_all{};
  std::array<std::size_t, kSites> nth{};          // 0: not armed
  std::array<std::size_t, kSites> since_armed{};  // calls counted towards nth
  std::unordered_set<ULONG> tags;
  // Systematic mode.
  bool systematic = false;
  std::size_t sequence = 0;    // allocation-type calls in this run
  std::size_t fail_index = 0;  // 0: count only
  std::vector<SiteRun> seen;   // counting run: every call
  std::optional<SiteRun> hit;  // faulted run: the call that failed
};

FaultState& state() {
  static FaultState* s = new FaultState;
  return *s;
}

std::size_t index(Site site) { return static_cast<std::size_t>(site); }

}  // namespace

std::string_view site_name(Site site) {
  switch (site) {
    case Site::pool_allocation:
      return "pool allocation";
    case Site::irp_allocation:
      return "IRP allocation";
    case Site::work_item_allocation:
      return "work item allocation";
    case Site::thread_creation:
      return "thread creation";
    case Site::mdl_allocation:
      return "MDL allocation";
    case Site::other_allocation:
      return "allocation";
  }
  return "allocation";
}

void fail_nth_allocation(std::size_t n) { fail_nth(Site::pool_allocation, n); }

void fail_tag(ULONG tag) {
  std::lock_guard<std::mutex> g(state().lock);
  state().tags.insert(tag);
}

void fail_nth(Site site, std::size_t n) {
  std::lock_guard<std::mutex> g(state().lock);
  FaultState& s = state();
  if (n == 0) {
    s.fail_all[index(site)] = true;
  } else {
    s.nth[index(site)] = n;
    s.since_armed[index(site)] = 0;
  }
}

bool should_fail(Site site, ULONG tag, const void* caller) {
  std::lock_guard<std::mutex> g(state().lock);
  FaultState& s = state();
  const std::size_t i = index(site);
  s.calls[i]++;
  bool fail = false;
  if (s.fail_all[i]) fail = true;
  if (s.nth[i] != 0 && ++s.since_armed[i] == s.nth[i]) {
    fail = true;
    s.nth[i] = 0;
  }
  if (site == Site::pool_allocation && s.tags.count(tag)) fail = true;
  if (s.systematic) {
    ++s.sequence;
    SiteRun run{s.sequence, site, tag, caller, false};
    if (s.fail_index == 0) {
      s.seen.push_back(run);
    } else if (s.sequence == s.fail_index) {
      run.hit = true;
      s.hit = run;
      fail = true;
    }
  }
  if (fail) s.injected[i]++;
  return fail;
}

std::size_t calls(Site site) {
  std::lock_guard<std::mutex> g(state().lock);
  return state().calls[index(site)];
}

std::size_t injected(Site site) {
  std::lock_guard<std::mutex> g(state().lock);
  return state().injected[index(site)];
}

void clear() {
  std::lock_guard<std::mutex> g(state().lock);
  FaultState& s = state();
  s.calls = {};
  s.injected = {};
  s.fail_all = {};
  s.nth = {};
  s.since_armed = {};
  s.tags.clear();
  s.systematic = false;
  s.sequence = 0;
  s.fail_index = 0;
  s.seen.clear();
  s.hit.reset();
}

std::size_t for_each_allocation_site(const std::function<void()>& scenario,
                                     const std::function<void(const SiteRun&)>& after_each,
                                     const std::function<bool(const SiteRun&)>& select) {
  {
    std::lock_guard<std::mutex> g(state().lock);
    FaultState& s = state();
    s.systematic = true;
    s.sequence = 0;
    s.fail_index = 0;
    s.seen.clear();
    s.hit.reset();
  }
  scenario();
  std::vector<SiteRun> sites;
  {
    std::lock_guard<std::mutex> g(state().lock);
    sites = state().seen;
  }
  for (std::size_t i = 1; i <= sites.size(); ++i) {
    if (select && !select(sites[i - 1])) continue;
    {
      std::lock_guard<std::mutex> g(state().lock);
      FaultState& s = state();
      s.sequence = 0;
      s.fail_index = i;
      s.hit.reset();
    }
    scenario();
    SiteRun run = sites[i - 1];
    {
      std::lock_guard<std::mutex> g(state().lock);
      if (state().hit) run = *state().hit;
    }
    if (after_each) after_each(run);
  }
  {
    std::lock_guard<std::mutex> g(state().lock);
    state().systematic = false;
    state().fail_index = 0;
  }
  return sites.size();
}

}  // namespace emu::faults

namespace emu::ke {
void reset_faults() { emu::faults::clear(); }
}  // namespace emu::ke
