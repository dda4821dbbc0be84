// Events, mutexes, semaphores and the waits on them.

#include <emu/kernel.h>
#include <emu/verifier.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <cstring>
#include <thread>
#include <vector>

using emu::verifier::Rule;

namespace {

LARGE_INTEGER relative_ms(int64_t ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

LARGE_INTEGER no_wait() {
  LARGE_INTEGER t;
  t.QuadPart = 0;
  return t;
}

NTSTATUS wait_now(PVOID object) {
  LARGE_INTEGER zero = no_wait();
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

bool has(const std::vector<emu::verifier::Finding>& findings, Rule check) {
  for (const auto& f : findings) {
    if (f.rule == check) return true;
  }
  return false;
}

TEST(KeEvents, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&] {
      if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) ++released;
    });
  }
  ASSERT_TRUE(emu::ke::wait_for_waiters(&event, 3));
  EXPECT_EQ(released.load(), 0);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(wait_now(&event), STATUS_SUCCESS);
  EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(wait_now(&event), STATUS_TIMEOUT);
}

TEST(KeEvents, SynchronizationEventReleasesExactlyOneWaiterPerSignal) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i) {
    waiters.emplace_back([&] {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      ++released;
    });
  }
  ASSERT_TRUE(emu::ke::wait_for_waiters(&event, 2));
  KeSetEvent(&event, 0, FALSE);
  // The signal went to one waiter and was consumed by it.
  EXPECT_EQ(emu::ke::waiter_count(&event), 1u);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  KeSetEvent(&event, 0, FALSE);
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 2);
  EXPECT_EQ(KeReadStateEvent(&event), 0);

  // Without a waiter the signal stays until one wait takes it.
  KeSetEvent(&event, 0, FALSE);
  EXPECT_EQ(wait_now(&event), STATUS_SUCCESS);
  EXPECT_EQ(wait_now(&event), STATUS_TIMEOUT);
}

TEST(KeEvents, ResetRightAfterSetDoesNotTakeTheSignalFromABlockedWaiter) {
  for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
    KEVENT event;
    KeInitializeEvent(&event, type, FALSE);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread waiter(
        [&] { status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    ASSERT_TRUE(emu::ke::wait_for_waiters(&event, 1));
    KeSetEvent(&event, 0, FALSE);
    KeResetEvent(&event);
    waiter.join();
    EXPECT_EQ(status.load(), STATUS_SUCCESS);
  }
}

TEST(KeEvents, PulseReleasesWaitersAndLeavesTheEventClear) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::thread waiter([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
  ASSERT_TRUE(emu::ke::wait_for_waiters(&event, 1));
  KePulseEvent(&event, 0, FALSE);
  waiter.join();
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(KeWaits, WaitAnyReportsTheLowestSignalledIndex) {
  KEVENT events[3];
  PVOID objects[3];
  for (int i = 0; i < 3; ++i) {
    KeInitializeEvent(&events[i], SynchronizationEvent, FALSE);
    objects[i] = &events[i];
  }
  KeSetEvent(&events[2], 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_0 + 2);
  KeSetEvent(&events[1], 0, FALSE);
  KeSetEvent(&events[2], 0, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr),
            STATUS_WAIT_0 + 1);
  // Only the object that satisfied the wait was consumed.
  EXPECT_EQ(KeReadStateEvent(&events[1]), 0);
  EXPECT_EQ(KeReadStateEvent(&events[2]), 1);
}

TEST(KeWaits, WaitAllTakesNothingUntilEveryObjectIsSignalled) {
  KEVENT a, b;
  KeInitializeEvent(&a, SynchronizationEvent, FALSE);
  KeInitializeEvent(&b, SynchronizationEvent, FALSE);
  PVOID objects[2] = {&a, &b};
  std::atomic<NTSTATUS> status{STATUS_PENDING};
  std::thread waiter([&] {
    status = KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr);
  });
  ASSERT_TRUE(emu::ke::wait_for_waiters(&a, 1));
  KeSetEvent(&a, 0, FALSE);
  // `a` alone does not satisfy the wait and is not consumed by it.
  EXPECT_EQ(KeReadStateEvent(&a), 1);
  EXPECT_EQ(emu::ke::waiter_count(&b), 1u);
  EXPECT_EQ(status.load(), STATUS_PENDING);
  KeSetEvent(&b, 0, FALSE);
  waiter.join();
  EXPECT_EQ(status.load(), STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&a), 0);
  EXPECT_EQ(KeReadStateEvent(&b), 0);
}

TEST(KeWaits, ZeroTimeoutNeverBlocksEvenAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  emu::run_at_irql(DISPATCH_LEVEL, [&] { EXPECT_EQ(wait_now(&event), STATUS_TIMEOUT); });
  EXPECT_EQ(emu::verifier::count(), 0u);
}

TEST(KeWaits, NonZeroTimeoutAtDispatchLevelIsAFinding) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);  // signalled: the wait itself returns at once
  emu::run_at_irql(DISPATCH_LEVEL, [&] {
    LARGE_INTEGER t = relative_ms(10);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
  });
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rule, Rule::wait_at_dispatch);
  EXPECT_EQ(findings[0].routine, "KeWaitForSingleObject");
}

TEST(KeWaits, WaitOnGarbageIsAFindingNotAHang) {
  alignas(16) unsigned char junk[sizeof(KEVENT)];
  std::memset(junk, 0xA5, sizeof junk);
  EXPECT_EQ(KeWaitForSingleObject(junk, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(has(emu::verifier::take_findings(), Rule::wait_on_invalid_object));
}

TEST(KeWaits, ElapsedRelativeTimeoutReturnsTimeout) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER t = relative_ms(2);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2));
  // An absolute time already past ends the wait at once.
  LARGE_INTEGER past;
  KeQuerySystemTime(&past);
  past.QuadPart -= 10000;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
}

TEST(KeMutex, OwnerMayAcquireRecursivelyAndMustReleaseAsOften) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateMutex(&mutex), -1);
  EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());

  std::atomic<NTSTATUS> other{STATUS_PENDING};
  std::thread contender([&] {
    EXPECT_EQ(wait_now(&mutex), STATUS_TIMEOUT);
    other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&mutex, FALSE);
  });
  ASSERT_TRUE(emu::ke::wait_for_waiters(&mutex, 1));
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
  EXPECT_EQ(other.load(), STATUS_PENDING);  // still held once
  EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
  contender.join();
  EXPECT_EQ(other.load(), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateMutex(&mutex), 1);
  EXPECT_EQ(mutex.OwnerThread, nullptr);
}

TEST(KeMutex, ReleaseByAThreadThatDoesNotOwnItIsAFinding) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  emu::run_on_system_thread(PASSIVE_LEVEL, [&] { KeReleaseMutex(&mutex, FALSE); });
  auto findings = emu::verifier::take_findings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].rule, Rule::mutex_not_owned);
  EXPECT_NE(findings[0].detail.find("STATUS_MUTANT_NOT_OWNED"), std::string::npos);
  // The misuse changed nothing: the owner still holds it.
  EXPECT_EQ(KeReadStateMutex(&mutex), 0);
  EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
  KeReleaseMutex(&mutex, FALSE);
  KeReleaseMutex(&mutex, FALSE);  // not owned any more
  EXPECT_TRUE(has(emu::verifier::take_findings(), Rule::mutex_not_owned));
}

TEST(KeMutex, ThreadEndingWhileOwningAMutexAbandonsIt) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  emu::run_on_system_thread(PASSIVE_LEVEL,
                            [&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); });
  EXPECT_TRUE(has(emu::verifier::take_findings(), Rule::thread_exit_holding_mutex));
  EXPECT_EQ(wait_now(&mutex), STATUS_SUCCESS);
  EXPECT_TRUE(mutex.Abandoned);
  KeReleaseMutex(&mutex, FALSE);
}

TEST(KeSemaphore, CountsAndRefusesToExceedItsLimit) {
  KSEMAPHORE sem;
  KeInitializeSemaphore(&sem, 1, 2);
  EXPECT_EQ(wait_now(&sem), STATUS_SUCCESS);
  EXPECT_EQ(wait_now(&sem), STATUS_TIMEOUT);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 2, FALSE), 0);
  EXPECT_EQ(KeReadStateSemaphore(&sem), 2);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 2);
  EXPECT_TRUE(has(emu::verifier::take_findings(), Rule::semaphore_limit_exceeded));
  EXPECT_EQ(KeReadStateSemaphore(&sem), 2);
}

}  // namespace

// Two ways Windows crashes or deadlocks that a user-mode kernel would let
// pass: an object used without its initialisation (zeroed memory looks like a
// notification event), and a release with Wait TRUE whose caller does not wait
// next.  Each row is one use; nullopt means no finding.
TEST(KeWaits, UninitialisedObjectsAndOwedWaitsAreFindings) {
  struct Row {
    const char* what;
    std::function<void(KEVENT&)> use;
    std::optional<Rule> rule;
  };
  auto zero = [](KEVENT& e) { std::memset(&e, 0, sizeof e); };
  auto init = [](KEVENT& e) { KeInitializeEvent(&e, NotificationEvent, FALSE); };
  const Row rows[] = {
      {"wait on zeroed memory", [&](KEVENT& e) { zero(e), wait_now(&e); }, Rule::object_not_initialized},
      {"set of zeroed memory", [&](KEVENT& e) { zero(e), KeSetEvent(&e, 0, FALSE); },
       Rule::object_not_initialized},
      {"set with Wait, then a wait", [&](KEVENT& e) { init(e), KeSetEvent(&e, 0, TRUE), wait_now(&e); }, {}},
      {"set with Wait, then another set",
       [&](KEVENT& e) { init(e), KeSetEvent(&e, 0, TRUE), KeClearEvent(&e); },
       Rule::release_wait_not_followed},
      {"mutex released with Wait, then a reset",
       [&](KEVENT& e) {
         KMUTEX m;
         KeInitializeMutex(&m, 0);
         init(e), wait_now(&m), KeReleaseMutex(&m, TRUE), KeResetEvent(&e);
       },
       Rule::release_wait_not_followed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    KEVENT event;
    row.use(event);
    auto findings = emu::verifier::take_findings();
    if (!row.rule) {
      EXPECT_TRUE(findings.empty());
    } else {
      ASSERT_FALSE(findings.empty());
      EXPECT_EQ(findings[0].rule, *row.rule);
    }
  }
}
