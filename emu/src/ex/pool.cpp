// Tagged pool with per-tag accounting.  Blocks are filled with a pattern when
// allocated (nothing is zeroed for free), guarded by red zones checked at
// free time (AddressSanitizer builds use its own), and freeing checks for
// double frees, foreign pointers, wrong tags and objects still live inside.

#include "ke/ke_internal.h"

#include <cstdlib>
#include <cstring>
#include <unordered_set>

#if defined(__SANITIZE_ADDRESS__)
#define EMU_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EMU_POOL_ASAN 1
#endif
#endif

namespace emu::ke {
namespace {

#ifdef EMU_POOL_ASAN
constexpr std::size_t kRedZone = 0;
#else
constexpr std::size_t kRedZone = 32;
#endif
constexpr uint8_t kRedZoneByte = 0xFD;
constexpr uint8_t kFreshByte = 0xA5;
constexpr uint8_t kFreedByte = 0xDD;
constexpr std::size_t kRecentlyFreed = 8192;

struct BlockInfo {
  std::size_t size;
  ULONG tag;
  POOL_TYPE type;
  const void* caller;
  uint8_t* raw;
};

struct PoolState {
  std::mutex lock;
  std::unordered_map<const void*, BlockInfo> blocks;
  std::unordered_map<ULONG, emu::pool::TagStats> stats;
  std::unordered_set<const void*> recently_freed;
  std::deque<const void*> freed_order;
  std::vector<uint8_t*> graveyard;  // leaked blocks of finished tests, kept reachable
};

PoolState& pool_state() {
  static PoolState* p = new PoolState;
  return *p;
}

bool is_paged(POOL_TYPE type) { return (static_cast<int>(type) & 1) != 0; }

void note_freed_locked(PoolState& p, const void* address) {
  if (p.recently_freed.insert(address).second) p.freed_order.push_back(address);
  while (p.freed_order.size() > kRecentlyFreed) {
    p.recently_freed.erase(p.freed_order.front());
    p.freed_order.pop_front();
  }
}

std::string block_text(const BlockInfo& b) {
  return std::to_string(b.size) + " bytes, tag '" + emu::pool::tag_text(b.tag) + "', allocated from " +
         hex(b.caller);
}

void check_red_zones(const void* address, const BlockInfo& b, const char* routine) {
  if (kRedZone == 0) return;
  const uint8_t* before = b.raw;
  const uint8_t* after = b.raw + kRedZone + b.size;
  for (std::size_t i = 0; i < kRedZone; ++i) {
    if (before[i] != kRedZoneByte) {
      report(emu::verifier::Rule::pool_corruption, routine, address,
             "bytes before the block were overwritten (" + block_text(b) + ")");
      break;
    }
  }
  for (std::size_t i = 0; i < kRedZone; ++i) {
    if (after[i] != kRedZoneByte) {
      report(emu::verifier::Rule::pool_corruption, routine, address,
             "bytes after the block were overwritten at offset " + std::to_string(b.size + i) + " (" +
                 block_text(b) + ")");
      break;
    }
  }
}

PVOID allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller, const char* routine) {
  const KIRQL irql = current_irql();
  if (irql > DISPATCH_LEVEL) {
    report(emu::verifier::Rule::pool_irql, routine, nullptr,
           "pool allocated at IRQL " + std::to_string(irql));
  } else if (irql == DISPATCH_LEVEL && is_paged(type)) {
    report(emu::verifier::Rule::paged_pool_at_dispatch, routine, nullptr,
           "paged pool (tag '" + emu::pool::tag_text(tag) + "') allocated at DISPATCH_LEVEL");
  }
  PoolState& p = pool_state();
  if (emu::faults::should_fail(emu::faults::Site::pool_allocation, tag, caller)) {
    std::lock_guard<std::mutex> g(p.lock);
    p.stats[tag].failed++;
    return nullptr;
  }
  auto* raw = static_cast<uint8_t*>(std::malloc(bytes + 2 * kRedZone + (bytes == 0 ? 1 : 0)));
  if (!raw) return nullptr;
  uint8_t* block = raw + kRedZone;
  if (kRedZone) {
    std::memset(raw, kRedZoneByte, kRedZone);
    std::memset(block + bytes, kRedZoneByte, kRedZone);
  }
  std::memset(block, kFreshByte, bytes);
  std::lock_guard<std::mutex> g(p.lock);
  p.blocks[block] = BlockInfo{bytes, tag, type, caller, raw};
  p.recently_freed.erase(block);
  auto& s = p.stats[tag];
  s.allocations++;
  s.outstanding++;
  s.outstanding_bytes += bytes;
  return block;
}

void release(PVOID address, ULONG tag, const char* routine) {
  const KIRQL irql = current_irql();
  if (irql > DISPATCH_LEVEL) {
    report(emu::verifier::Rule::pool_irql, routine, address, "pool freed at IRQL " + std::to_string(irql));
  }
  if (!address) {
    report(emu::verifier::Rule::pool_free_null, routine, nullptr, "freeing a null pointer");
    return;
  }
  PoolState& p = pool_state();
  BlockInfo b;
  {
    std::lock_guard<std::mutex> g(p.lock);
    auto it = p.blocks.find(address);
    if (it == p.blocks.end()) {
      bool twice = p.recently_freed.count(address) != 0;
      report(twice ? emu::verifier::Rule::pool_double_free : emu::verifier::Rule::pool_foreign_pointer,
             routine, address,
             twice ? "the block was already freed" : "not the address of an allocated pool block");
      return;
    }
    b = it->second;
    p.blocks.erase(it);
    note_freed_locked(p, address);
    auto& s = p.stats[b.tag];
    s.frees++;
    s.outstanding--;
    s.outstanding_bytes -= b.size;
  }
  if (tag != 0 && tag != b.tag) {
    report(emu::verifier::Rule::pool_wrong_tag, routine, address,
           "freed with tag '" + emu::pool::tag_text(tag) + "' but allocated with '" +
               emu::pool::tag_text(b.tag) + "'");
  }
  if (irql == DISPATCH_LEVEL && is_paged(b.type)) {
    report(emu::verifier::Rule::paged_pool_at_dispatch, routine, address,
           "paged pool freed at DISPATCH_LEVEL");
  }
  check_no_live_objects(address, b.size, routine);
  check_red_zones(address, b, routine);
  std::memset(b.raw + kRedZone, kFreedByte, b.size);
  std::free(b.raw);
}

}  // namespace

void reset_pool(std::string_view context) {
  emu::pool::check_all_leaks(context);
  PoolState& p = pool_state();
  std::lock_guard<std::mutex> g(p.lock);
  // Leaked blocks stay allocated (a thread of the failed test may still use
  // them) but are forgotten, so the next test starts from zero.
  for (auto& [address, b] : p.blocks) p.graveyard.push_back(b.raw);
  p.blocks.clear();
  p.stats.clear();
  p.recently_freed.clear();
  p.freed_order.clear();
}

}  // namespace emu::ke

namespace emu::pool {

using namespace emu::ke;

std::string tag_text(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return text;
}

std::size_t outstanding(ULONG tag) {
  std::lock_guard<std::mutex> g(pool_state().lock);
  auto it = pool_state().stats.find(tag);
  return it == pool_state().stats.end() ? 0 : it->second.outstanding;
}

std::size_t outstanding_total() {
  std::lock_guard<std::mutex> g(pool_state().lock);
  return pool_state().blocks.size();
}

TagStats stats(ULONG tag) {
  std::lock_guard<std::mutex> g(pool_state().lock);
  auto it = pool_state().stats.find(tag);
  return it == pool_state().stats.end() ? TagStats{} : it->second;
}

std::vector<Block> blocks(std::optional<ULONG> tag) {
  std::lock_guard<std::mutex> g(pool_state().lock);
  std::vector<Block> out;
  for (auto& [address, b] : pool_state().blocks) {
    if (!tag || *tag == b.tag) out.push_back(Block{address, b.size, b.tag, b.type, b.caller});
  }
  return out;
}

bool is_allocated(const void* address) {
  std::lock_guard<std::mutex> g(pool_state().lock);
  return pool_state().blocks.count(address) != 0;
}

namespace {
std::size_t report_leaks(const std::vector<Block>& leaked, std::string_view context) {
  constexpr std::size_t kMaxReported = 16;
  std::size_t n = 0;
  for (const Block& b : leaked) {
    if (n++ == kMaxReported) {
      report(emu::verifier::Rule::pool_leak, context, nullptr,
             std::to_string(leaked.size() - kMaxReported) + " more leaked block(s)");
      break;
    }
    report(emu::verifier::Rule::pool_leak, context, b.address,
           std::to_string(b.size) + " bytes, tag '" + tag_text(b.tag) + "', allocated from " + hex(b.caller));
  }
  return leaked.size();
}
}  // namespace

std::size_t check_leaks(ULONG tag, std::string_view context) {
  return report_leaks(blocks(tag), context.empty() ? "check_leaks" : context);
}

std::size_t check_all_leaks(std::string_view context) {
  return report_leaks(blocks(std::nullopt), context.empty() ? "check_all_leaks" : context);
}

}  // namespace emu::pool

using namespace emu::ke;

EXTERN_C PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0), "ExAllocatePoolWithTag");
}

EXTERN_C PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return allocate(PoolType, NumberOfBytes, emu::pool::tag("None"), __builtin_return_address(0),
                  "ExAllocatePool");
}

EXTERN_C VOID NTAPI ExFreePool(PVOID P) { release(P, 0, "ExFreePool"); }

EXTERN_C VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { release(P, Tag, "ExFreePoolWithTag"); }
