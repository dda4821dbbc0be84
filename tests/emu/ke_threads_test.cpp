// System threads, their objects and handles, work items.

#include <emu/kernel.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using emu::verifier::Rule;

namespace {

std::vector<Rule> checks() {
  std::vector<Rule> out;
  for (auto& f : emu::verifier::take_findings()) out.push_back(f.rule);
  return out;
}

bool has(const std::vector<Rule>& list, Rule check) {
  for (auto& c : list) {
    if (c == check) return true;
  }
  return false;
}

struct Worker {
  KEVENT go;
  std::atomic<KIRQL> irql{0xFF};
  std::atomic<KPRIORITY> old_priority{-1};
  std::atomic<bool> system{false};
  std::atomic<bool> after_terminate{false};
  std::atomic<PKTHREAD> self{nullptr};
};

VOID NTAPI worker_body(PVOID context) {
  auto* w = static_cast<Worker*>(context);
  w->irql = KeGetCurrentIrql();
  w->system = emu::ke::on_system_thread();
  w->self = KeGetCurrentThread();
  w->old_priority = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  KeWaitForSingleObject(&w->go, Executive, KernelMode, FALSE, nullptr);
  PsTerminateSystemThread(STATUS_SUCCESS);
  w->after_terminate = true;
}

TEST(KeThreads, ThreadObjectIsSignalledWhenTheThreadEnds) {
  Worker w;
  KeInitializeEvent(&w.go, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  CLIENT_ID id{};
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, &id, worker_body, &w),
            STATUS_SUCCESS);
  EXPECT_NE(handle, nullptr);
  EXPECT_NE(id.UniqueThread, nullptr);
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  ASSERT_TRUE(emu::ke::wait_for_waiters(&w.go, 1));
  EXPECT_EQ(object, w.self.load());
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  KeSetEvent(&w.go, 0, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(w.irql.load(), PASSIVE_LEVEL);
  EXPECT_TRUE(w.system.load());
  EXPECT_EQ(w.old_priority.load(), 8);
  EXPECT_EQ(KeQueryPriorityThread(static_cast<PKTHREAD>(object)), LOW_REALTIME_PRIORITY);
  EXPECT_FALSE(w.after_terminate.load());
  ObDereferenceObject(object);
  EXPECT_TRUE(checks().empty());
}

TEST(KeThreads, HandlesAreCheckedOnUse) {
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(
                &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) NTAPI {}, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::invalid_handle});
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(object, nullptr);
  HANDLE key = nullptr;
  ASSERT_EQ(emu::registry::open_key(u"\\REGISTRY\\MACHINE\\HARDWARE", false, &key), STATUS_SUCCESS);
  EXPECT_EQ(ObReferenceObjectByHandle(key, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  ZwClose(key);
  ASSERT_TRUE(emu::wait_quiescent());
}

// Frames built as the driver is built: without exceptions.  PsTerminateSystemThread
// must leave through them.
#pragma GCC push_options
#pragma GCC optimize("no-exceptions")
extern "C" {
static std::atomic<int> g_depth_reached{0};
static std::atomic<bool> g_returned{false};
__attribute__((noinline)) static void innermost(int depth) {
  g_depth_reached = depth;
  PsTerminateSystemThread(static_cast<NTSTATUS>(0x1234));
  g_returned = true;
}
__attribute__((noinline)) static void nested(int depth) {
  volatile char frame[64];
  frame[0] = static_cast<char>(depth);
  if (depth < 5) {
    nested(depth + 1);
  } else {
    innermost(depth + frame[0] - depth);
  }
  g_returned = true;
}
static VOID NTAPI terminating_thread(PVOID) {
  nested(1);
  g_returned = true;
}
}
#pragma GCC pop_options

TEST(KeThreads, TerminateUnwindsThroughFramesBuiltWithoutExceptions) {
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, terminating_thread,
                                 nullptr),
            STATUS_SUCCESS);
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &object, nullptr),
            STATUS_SUCCESS);
  ZwClose(handle);
  EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ObDereferenceObject(object);
  EXPECT_EQ(g_depth_reached.load(), 5);
  EXPECT_FALSE(g_returned.load());
  EXPECT_TRUE(checks().empty());
}

TEST(KeThreads, TerminateFromANonSystemThreadIsRefused) {
  EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::terminate_non_system_thread});
}

VOID NTAPI waits_for_event(PVOID context) {
  KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
}

TEST(KeThreads, ThreadStillRunningAtResetIsReported) {
  static KEVENT release;  // outlives the test body: the thread may see it after the reset
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  ASSERT_EQ(
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, waits_for_event, &release),
      STATUS_SUCCESS);
  PVOID object = nullptr;
  ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr);
  ZwClose(handle);
  emu::kernel_reset();
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::thread_still_running});
  KeSetEvent(&release, 0, FALSE);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
}

TEST(KeThreads, ForgottenHandleAndReferenceAreReported) {
  HANDLE handle = nullptr;
  ASSERT_EQ(PsCreateSystemThread(
                &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) NTAPI {}, nullptr),
            STATUS_SUCCESS);
  PVOID object = nullptr;
  ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  emu::kernel_reset();
  auto found = checks();
  EXPECT_TRUE(has(found, Rule::handle_leak));
  EXPECT_TRUE(has(found, Rule::object_reference_leak));
  EXPECT_EQ(found.size(), 2u);
}

TEST(KeThreads, EndingAtRaisedIrqlIsAFinding) {
  HANDLE handle = nullptr;
  PsCreateSystemThread(
      &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
      [](PVOID) NTAPI {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
      },
      nullptr);
  PVOID object = nullptr;
  ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr);
  ZwClose(handle);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
  EXPECT_EQ(checks(), std::vector<Rule>{Rule::thread_exit_at_raised_irql});
}

TEST(KeThreads, DeletingTheContextOfARunningThreadIsAFinding) {
  struct Extension {
    KEVENT stop;
    int other;
  };
  static Extension ext;
  KeInitializeEvent(&ext.stop, NotificationEvent, FALSE);
  HANDLE handle = nullptr;
  PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, waits_for_event, &ext.stop);
  PVOID object = nullptr;
  ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr);
  ZwClose(handle);
  ASSERT_TRUE(emu::ke::wait_for_waiters(&ext.stop, 1));
  EXPECT_EQ(emu::ke::check_no_live_objects(&ext, sizeof ext, "IoDeleteDevice"), 2u);
  auto found = checks();
  EXPECT_TRUE(has(found, Rule::thread_outlives_object));
  EXPECT_TRUE(has(found, Rule::object_freed_while_waited));
  KeSetEvent(&ext.stop, 0, FALSE);
  KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(object);
  EXPECT_EQ(emu::ke::check_no_live_objects(&ext, sizeof ext, "IoDeleteDevice"), 0u);
}

TEST(KeWorkItems, RunAtPassiveLevelOnAWorkerEvenWhenQueuedFromDispatch) {
  std::atomic<KIRQL> irql{0xFF};
  std::atomic<bool> other_thread{false}, system{true};
  const auto me = std::this_thread::get_id();
  emu::run_at_irql(DISPATCH_LEVEL, [&] {
    emu::ke::queue_work_item([&] {
      irql = KeGetCurrentIrql();
      other_thread = std::this_thread::get_id() != me;
      system = emu::ke::on_system_thread();
    });
  });
  ASSERT_TRUE(emu::wait_quiescent());
  EXPECT_EQ(irql.load(), PASSIVE_LEVEL);
  EXPECT_TRUE(other_thread.load());
  EXPECT_FALSE(system.load());
  EXPECT_EQ(emu::ke::pending_work_items(), 0u);
}

TEST(KeWorkItems, AWorkItemWaitingForAnotherDoesNotDeadlock) {
  KEVENT second_ran;
  KeInitializeEvent(&second_ran, NotificationEvent, FALSE);
  std::atomic<bool> first_done{false};
  emu::ke::queue_work_item([&] {
    KeWaitForSingleObject(&second_ran, Executive, KernelMode, FALSE, nullptr);
    first_done = true;
  });
  emu::ke::queue_work_item([&] { KeSetEvent(&second_ran, 0, FALSE); });
  ASSERT_TRUE(emu::wait_quiescent());
  EXPECT_TRUE(first_done.load());
}

TEST(KeWorkItems, ReturningAtRaisedIrqlIsNamed) {
  emu::ke::queue_work_item(
      [] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
      },
      "SloppyWorkRoutine");
  ASSERT_TRUE(emu::wait_quiescent());
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rule, Rule::irql_changed);
  EXPECT_EQ(findings[0].routine, "SloppyWorkRoutine");
}

TEST(KeThreads, RunOnSystemThreadAtEitherLevel) {
  for (KIRQL level : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
    KIRQL seen = 0xFF;
    bool system = false;
    std::thread::id id;
    emu::run_on_system_thread(level, [&] {
      seen = KeGetCurrentIrql();
      system = emu::ke::on_system_thread();
      id = std::this_thread::get_id();
    });
    EXPECT_EQ(seen, level);
    EXPECT_TRUE(system);
    EXPECT_NE(id, std::this_thread::get_id());
  }
  EXPECT_TRUE(emu::is_quiescent());
}

}  // namespace
