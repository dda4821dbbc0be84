// Shared by the data-path suites: a fixture with one open port on a device of
// the emulated bus, and small helpers around the serial requests the tests
// use to drive the reads, writes and wait-on-mask requests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>
#include <emu/verifier.h>

#include "driver_fixture.h"
#include "test_helpers.h"
#include "serial/read.h"
#include "serial/request_list.h"
#include "serial/ringbuf.h"
#include "serial/waitmask.h"

namespace vrmdm_test {

using namespace std::chrono_literals;
namespace usb = emu::usb;

constexpr uint8_t kBulkIn = usb::cdc::BULK_IN_ENDPOINT;
constexpr uint8_t kBulkOut = usb::cdc::BULK_OUT_ENDPOINT;

class DataPathTest : public DriverFixture {
 protected:
  // Freezes the clock and brings every worker thread into step with it: a
  // thread still on its way to its first timed wait (or held off the
  // processor) when the clock stops would otherwise arm that wait a step late.
  // Each advance waits for the threads it wakes to block again, so after two
  // full periods of the slowest (5 ms) every thread is in step.
  void FreezeClock() {
    emu::clock::freeze();
    emu::clock::advance(5ms);
    emu::clock::advance(5ms);
  }

  // Waits until each worker thread of the port blocks in a kernel wait.  A
  // thread that an event, not the clock, woke last is then never still on
  // its way to its timed wait when the clock steps, however late the machine
  // gives it a processor.
  void SettleWorkers() {
    for (PKTHREAD t : {ext_->pReadFunctionThread, ext_->pWaitMaskFunctionThread, ext_->pPollingFunctionThread,
                       ext_->pWriteFunctionThread, ext_->pInterruptPollingFunctionThread}) {
      if (t != nullptr) {
        ASSERT_TRUE(emu::ke::wait_thread_blocked(t, 60s)) << "a worker thread never blocks";
      }
    }
  }

  // Advances a frozen clock `step` at a time until `done` holds, at most
  // `max_steps` times.  Each step waits for the workers to block first, so a
  // thread an event woke last arms its timed wait before the step, not after.
  template <class Pred>
  bool StepUntil(Pred done, emu::clock::duration step = 1ms, int max_steps = 100) {
    for (int i = 0; i < max_steps; i++) {
      SettleWorkers();
      emu::clock::advance(step);
      if (WaitUntil(done, 20ms)) return true;
    }
    return false;
  }

  // The scripted CDC device, started and opened.  Without an interrupt pipe
  // by default, so only the test moves the modem lines.
  void OpenScripted(usb::cdc::Variant variant = usb::cdc::Variant::acm_nointr) {
    ASSERT_NO_FATAL_FAILURE(SetUpScripted(Stage::open, variant));
  }

  // Reads a field the driver guards with SpinLock.
  template <class F>
  auto Locked(F f) {
    KIRQL irql;
    KeAcquireSpinLock(&ext_->SpinLock, &irql);
    auto value = f();
    KeReleaseSpinLock(&ext_->SpinLock, irql);
    return value;
  }
  ULONG RingCount() const { return RingBufferCount(ext_->RingBuffer); }
  bool WaitRing(ULONG count) {
    return WaitUntil([&] { return RingCount() == count; });
  }
  // Queues one bulk-IN transfer and waits until the polling thread has
  // stored it.  A transfer the thread drops is checked by delivering a stored
  // one behind it: the thread handles transfers in order.
  void Queue(std::string_view bytes) {
    model_->queue_packet(kBulkIn, std::span<const uint8_t>((const uint8_t*)bytes.data(), bytes.size()));
  }
  void Deliver(std::string_view bytes) {
    ULONG before = RingCount();
    Queue(bytes);
    ASSERT_TRUE(WaitRing(before + (ULONG)bytes.size())) << "ring holds " << RingCount();
  }
  std::string TakeRing() {
    std::string out(RingCount(), '\0');
    out.resize(Locked([&] {
      return out.empty() ? 0 : RingBufferGet(ext_->RingBuffer, (PUCHAR)out.data(), (ULONG)out.size());
    }));
    return out;
  }

  NTSTATUS Ioctl(ULONG code, const void* input, size_t length) {
    auto r = port_->ioctl(code, std::span<const uint8_t>((const uint8_t*)input, length), 0);
    return r.status;
  }
  void SetTimeouts(ULONG read_constant, ULONG write_constant, ULONG read_interval = 0) {
    SERIAL_TIMEOUTS t{};
    t.ReadIntervalTimeout = read_interval;
    t.ReadTotalTimeoutConstant = read_constant;
    t.WriteTotalTimeoutConstant = write_constant;
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof(t)), STATUS_SUCCESS);
  }
  void SetWaitMask(ULONG mask) {
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask)), STATUS_SUCCESS);
  }
  void SetEventChar(UCHAR c) {
    SERIAL_CHARS chars{};
    chars.EventChar = c;
    ASSERT_EQ(Ioctl(IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)), STATUS_SUCCESS);
  }
  void Purge(ULONG mask) { ASSERT_EQ(Ioctl(IOCTL_SERIAL_PURGE, &mask, sizeof(mask)), STATUS_SUCCESS); }
  emu::RequestPtr WaitOnMask() { return port_->ioctl_async(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)); }
  static ULONG EventsOf(const emu::RequestPtr& r) {
    auto out = r->output();
    ULONG events = 0;
    if (out.size() >= sizeof(events)) std::memcpy(&events, out.data(), sizeof(events));
    return events;
  }

  ULONG ModemStatus() {
    return Locked([&] { return ext_->ModemStatus; });
  }
  BOOLEAN RxFlagSeen() {
    return Locked([&] { return ext_->RxFlagSeen; });
  }
  ULONG QueuedWaits() {
    return Locked([&] { return WaitQueueCount(ext_); });
  }
  std::string OnTheWire() { return AsText(model_->out_data(kBulkOut)); }
  LONG PendingWrites() { return InterlockedCompareExchange(&ext_->PendingWriteCount, 0, 0); }
  LONG ArmedTimers() { return InterlockedCompareExchange(&ext_->ArmedTimerCount, 0, 0); }
};

// The same with the scripted device's port open (no interrupt pipe).
class OpenDataPathTest : public DataPathTest {
 protected:
  void SetUp() override {
    DataPathTest::SetUp();
    OpenScripted();
  }
};

}  // namespace vrmdm_test
