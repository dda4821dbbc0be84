// Thread names as top -H, ps -L and gdb show them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "io_test_util.h"
#include "test_helpers.h"

namespace {

// The rows of thread_names.txt: a start routine's symbol, the name its thread gets.
TEST(ThreadNames, FromTheStartRoutinesSymbol) {
  for (const auto& [line, words] : vrmdm_test::ReadTable(VRMDM_SOURCE_DIR "/tests/emu/thread_names.txt")) {
    ASSERT_EQ(words.size(), 2u) << "thread_names.txt:" << line;
    EXPECT_EQ(emu::thread_name_from_symbol(words[0]), words[1]) << "thread_names.txt:" << line;
  }
}

std::multiset<std::string> task_names() {
  std::multiset<std::string> names;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    names.insert(name);
  }
  return names;
}

KEVENT g_release;

VOID NTAPI ThreadNameProbeRoutine(PVOID) {
  KeWaitForSingleObject(&g_release, Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI count_dpc(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

// While they run, the system thread, the DPC thread, the clock and a work
// item's worker show their names in /proc.
TEST(ThreadNames, SeenInProcWhileTheThreadsRun) {
  KeInitializeEvent(&g_release, NotificationEvent, FALSE);
  PVOID thread = iotest::start_thread(ThreadNameProbeRoutine, nullptr);
  ASSERT_TRUE(emu::ke::wait_for_waiters(&g_release, 1));

  std::atomic<int> dpcs{0};
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, count_dpc, &dpcs);
  KeInitializeTimer(&timer);
  // The clock thread expires it, the DPC thread runs the DPC.
  KeSetTimer(&timer, iotest::relative(std::chrono::milliseconds(1)), &dpc);

  KEVENT in_item, item_release;
  KeInitializeEvent(&in_item, NotificationEvent, FALSE);
  KeInitializeEvent(&item_release, NotificationEvent, FALSE);
  emu::ke::queue_work_item([&] {
    KeSetEvent(&in_item, 0, FALSE);
    KeWaitForSingleObject(&item_release, Executive, KernelMode, FALSE, nullptr);
  });
  KeWaitForSingleObject(&in_item, Executive, KernelMode, FALSE, nullptr);
  emu::ke::flush_dpcs();
  ASSERT_TRUE(vrmdm_test::WaitUntil([&] { return dpcs.load() != 0; }));
  ASSERT_EQ(dpcs.load(), 1);

  const auto names = task_names();
  EXPECT_TRUE(names.contains("ThreadNameProbe")) << "the system thread, by its start routine";
  EXPECT_TRUE(names.contains("emu-dpc"));
  EXPECT_TRUE(names.contains("emu-clock"));
  EXPECT_TRUE(std::any_of(names.begin(), names.end(), [](auto& n) { return n.starts_with("emu-worker-"); }));

  KeSetEvent(&item_release, 0, FALSE);
  KeSetEvent(&g_release, 0, FALSE);
  iotest::join(thread);
  EXPECT_TRUE(emu::wait_quiescent());
}

}  // namespace
