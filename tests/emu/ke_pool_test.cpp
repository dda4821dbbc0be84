// Tagged pool, its checks, and fault injection.

#include <emu/kernel.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using emu::verifier::Rule;

namespace {

constexpr ULONG kWdm = emu::pool::tag("Wdm ");
constexpr ULONG kM2k = emu::pool::tag("M2k ");

std::vector<Rule> checks() {
  std::vector<Rule> out;
  for (auto& f : emu::verifier::take_findings()) out.push_back(f.rule);
  return out;
}

TEST(Pool, CountsEachTagSeparately) {
  EXPECT_EQ(kWdm, 0x206D6457u);  // the bytes 'W' 'd' 'm' ' ' in memory
  EXPECT_EQ(emu::pool::tag_text(kWdm), "Wdm ");
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kWdm);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 28, kWdm);
  void* c = ExAllocatePoolWithTag(PagedPool, 64, kM2k);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  EXPECT_EQ(emu::pool::outstanding(kWdm), 2u);
  EXPECT_EQ(emu::pool::stats(kWdm).outstanding_bytes, 128u);
  EXPECT_EQ(emu::pool::outstanding(kM2k), 1u);
  ExFreePoolWithTag(a, kWdm);
  ExFreePool(c);
  EXPECT_EQ(emu::pool::outstanding(kWdm), 1u);
  EXPECT_EQ(emu::pool::outstanding(kM2k), 0u);
  EXPECT_EQ(emu::pool::check_leaks(kM2k), 0u);
  EXPECT_EQ(emu::pool::check_leaks(kWdm, "unload"), 1u);
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rule, Rule::pool_leak);
  EXPECT_EQ(findings[0].routine, "unload");
  EXPECT_EQ(findings[0].object, b);
  ExFreePool(b);
  auto s = emu::pool::stats(kWdm);
  EXPECT_EQ(s.allocations, 2u);
  EXPECT_EQ(s.frees, 2u);
  EXPECT_EQ(s.outstanding, 0u);
}

TEST(Pool, DoubleFreeForeignPointerWrongTagAndNull) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 16, kWdm);
  ExFreePool(a);
  ExFreePool(a);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::pool_double_free});
  int on_stack = 0;
  ExFreePool(&on_stack);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::pool_foreign_pointer});
  void* b = ExAllocatePoolWithTag(NonPagedPool, 16, kWdm);
  ExFreePoolWithTag(b, kM2k);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::pool_wrong_tag});
  EXPECT_FALSE(emu::pool::is_allocated(b));
  ExFreePool(nullptr);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::pool_free_null});
}

TEST(Pool, WritingPastTheEndIsCaughtAtFree) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer catches the overrun itself, at the write";
#else
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 10, kWdm));
  std::memset(p, 0, 11);
  ExFreePool(p);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::pool_corruption});
#endif
}

TEST(Pool, PagedPoolAtDispatchLevel) {
  void* nonpaged = nullptr;
  void* paged = nullptr;
  emu::run_at_irql(DISPATCH_LEVEL, [&] {
    nonpaged = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kWdm);
    EXPECT_TRUE(checks().empty());
    paged = ExAllocatePoolWithTag(PagedPool, 8, kM2k);
  });
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rule, Rule::paged_pool_at_dispatch);
  EXPECT_EQ(findings[0].routine, "ExAllocatePoolWithTag");
  emu::run_at_irql(DISPATCH_LEVEL, [&] { ExFreePool(paged); });
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::paged_pool_at_dispatch});
  ExFreePool(nonpaged);
}

TEST(Pool, ResetReportsAndForgetsLeaks) {
  ExAllocatePoolWithTag(NonPagedPool, 40, kWdm);
  emu::kernel_reset();
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::pool_leak});
  EXPECT_EQ(emu::pool::outstanding_total(), 0u);
}

TEST(Faults, FailTheNthAllocationOnly) {
  emu::faults::fail_nth_allocation(3);
  std::vector<void*> blocks;
  for (int i = 0; i < 5; ++i) blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 8, kWdm));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(blocks[i] == nullptr, i == 2) << i;
  EXPECT_EQ(emu::faults::calls(emu::faults::Site::pool_allocation), 5u);
  EXPECT_EQ(emu::faults::injected(emu::faults::Site::pool_allocation), 1u);
  EXPECT_EQ(emu::pool::stats(kWdm).failed, 1u);
  for (void* p : blocks) {
    if (p) ExFreePool(p);
  }
}

TEST(Faults, FailEveryAllocationOfATag) {
  emu::faults::fail_tag(kM2k);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kM2k), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kM2k), nullptr);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kWdm);
  EXPECT_NE(other, nullptr);
  ExFreePool(other);
  emu::faults::clear();
  void* now = ExAllocatePoolWithTag(PagedPool, 8, kM2k);
  EXPECT_NE(now, nullptr);
  ExFreePool(now);
}

VOID NTAPI ends_at_once(PVOID) {}

TEST(Faults, FailThreadCreationAndTheOtherSites) {
  emu::faults::fail_thread_creation(2);
  HANDLE first = nullptr, second = nullptr, third = nullptr;
  EXPECT_EQ(PsCreateSystemThread(&first, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ends_at_once, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(
      PsCreateSystemThread(&second, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ends_at_once, nullptr),
      STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(PsCreateSystemThread(&third, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ends_at_once, nullptr),
            STATUS_SUCCESS);
  ZwClose(first);
  ZwClose(third);
  ASSERT_TRUE(emu::wait_quiescent());

  using emu::faults::Site;
  emu::faults::fail_irp_allocation();
  EXPECT_TRUE(emu::faults::should_fail(Site::irp_allocation));
  EXPECT_TRUE(emu::faults::should_fail(Site::irp_allocation));
  EXPECT_FALSE(emu::faults::should_fail(Site::work_item_allocation));
  emu::faults::fail_work_item(2);
  EXPECT_FALSE(emu::faults::should_fail(Site::work_item_allocation));
  EXPECT_TRUE(emu::faults::should_fail(Site::work_item_allocation));
  EXPECT_FALSE(emu::faults::should_fail(Site::work_item_allocation));
  EXPECT_EQ(emu::faults::calls(Site::irp_allocation), 2u);
  EXPECT_EQ(emu::faults::injected(Site::work_item_allocation), 1u);
}

// A routine in the style of a driver's start-up: three resources, unwound in
// reverse on failure.  `leak_on_second` plants the classic bug.
struct Resources {
  void* a = nullptr;
  void* b = nullptr;
  HANDLE thread = nullptr;
};

NTSTATUS start_up(Resources& r, bool leak_on_second) {
  r.a = ExAllocatePoolWithTag(NonPagedPool, 32, kWdm);
  if (!r.a) return STATUS_INSUFFICIENT_RESOURCES;
  r.b = ExAllocatePoolWithTag(PagedPool, 32, kM2k);
  if (!r.b) {
    if (!leak_on_second) ExFreePool(r.a);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status =
      PsCreateSystemThread(&r.thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ends_at_once, nullptr);
  if (!NT_SUCCESS(status)) {
    ExFreePool(r.b);
    ExFreePool(r.a);
    return status;
  }
  return STATUS_SUCCESS;
}

void shut_down(Resources& r) {
  ZwClose(r.thread);
  ExFreePool(r.b);
  ExFreePool(r.a);
}

TEST(Faults, SystematicModeFailsEachAllocationSiteInTurn) {
  std::vector<NTSTATUS> statuses;
  std::vector<emu::faults::SiteRun> runs;
  std::vector<std::size_t> left_over;
  auto scenario = [&] {
    Resources r;
    NTSTATUS status = start_up(r, false);
    statuses.push_back(status);
    if (NT_SUCCESS(status)) shut_down(r);
    emu::wait_quiescent();
  };
  std::size_t n = emu::faults::for_each_allocation_site(scenario, [&](const emu::faults::SiteRun& run) {
    runs.push_back(run);
    left_over.push_back(emu::pool::outstanding_total());
  });
  ASSERT_EQ(n, 3u);
  ASSERT_EQ(statuses.size(), 4u);
  EXPECT_EQ(statuses[0], STATUS_SUCCESS);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(statuses[i], STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].site, emu::faults::Site::pool_allocation);
  EXPECT_EQ(runs[0].tag, kWdm);
  EXPECT_EQ(runs[1].tag, kM2k);
  EXPECT_EQ(runs[2].site, emu::faults::Site::thread_creation);
  for (auto& run : runs) EXPECT_TRUE(run.hit);
  EXPECT_EQ(left_over, (std::vector<std::size_t>{0, 0, 0}));
  // After the sweep nothing fails any more.
  Resources r;
  EXPECT_EQ(start_up(r, false), STATUS_SUCCESS);
  shut_down(r);
}

TEST(Faults, SystematicModeExposesAnUnwindingLeak) {
  std::vector<std::size_t> leaked_at;
  emu::faults::for_each_allocation_site(
      [&] {
        Resources r;
        if (NT_SUCCESS(start_up(r, true))) shut_down(r);
        emu::wait_quiescent();
      },
      [&](const emu::faults::SiteRun& run) {
        if (emu::pool::outstanding(kWdm) != 0) leaked_at.push_back(run.index);
        for (auto& b : emu::pool::blocks()) ExFreePool(const_cast<void*>(b.address));
      });
  EXPECT_EQ(leaked_at, std::vector<std::size_t>{2});
}

}  // namespace
