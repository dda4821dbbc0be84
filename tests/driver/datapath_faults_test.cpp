// Faults of the data path that ordinary clients run into: a failing bulk-IN
// pipe, long time-outs, cancelled immediate characters, the CONNECT filter
// against user data, and line settings the modem refused.  Everything goes through the I/O manager as a
// client's requests would; long time-outs run on the frozen clock.
#include <future>
#include <random>

#include "datapath_support.h"

namespace vrmdm_test {
namespace {

class DataPathFaultTest : public DataPathTest {
 protected:
  size_t FailedReadPasses() { return emu::trace::count("pPollingFunction USB Access Fail"); }
  // Reads everything the ring holds, through the port.
  std::string ReadAll() {
    std::string got;
    while (RingCount() != 0) {
      auto r = port_->read(4096);
      EXPECT_EQ(r.status, STATUS_SUCCESS);
      got += AsText(r.output);
    }
    return got;
  }
  ULONG BaudRate() {
    return FromBytes<ULONG>(port_->ioctl(IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG)).output);
  }
  // A request whose dispatch waits for the bus is sent from a thread of its
  // own; true once its transfer is on `endpoint` and that very thread waits
  // for it until `timeout` past the clock's reading (other threads' 1 ms
  // waits come and go, so a count of timed waiters cannot tell), or, for a
  // `timeout` of 0, waits at all.
  bool SendWaiting(ULONG code, std::vector<uint8_t> input, uint8_t endpoint, emu::clock::duration timeout) {
    const emu::clock::duration ends = emu::clock::now() + timeout;
    std::promise<PKTHREAD> sender;
    auto sender_known = sender.get_future();
    sending_ = std::async(std::launch::async, [this, code, input, &sender] {
      sender.set_value(KeGetCurrentThread());
      return port_->ioctl_async(code, input, 0);
    });
    PKTHREAD thread = sender_known.get();
    if (!usb::wait_pending(dev_->pdo, endpoint, 1)) return false;
    if (timeout == 0ms) return emu::ke::wait_thread_blocked(thread);
    return emu::ke::wait_thread_timed_wait(thread, [&](emu::clock::duration due) { return due == ends; });
  }
  emu::RequestPtr Sent() {
    if (sending_.wait_for(5s) != std::future_status::ready) return nullptr;
    return sending_.get();
  }

  std::future<emu::RequestPtr> sending_;
};

// ---- The bulk-IN polling thread on a failing pipe ----------------------------

struct FailingReadRow {
  const char* name;
  DEVICE_POWER_STATE power;
  enum { error, stall, zero_length } kind;
  USBD_STATUS usbd;
  NTSTATUS status;
  size_t resets;         // pipe resets the failure should cost
  size_t invalidations;  // device-state queries it should cause
};

class FailingReadTest : public DataPathFaultTest, public ::testing::WithParamInterface<FailingReadRow> {};

// Reads that bring nothing are paced by the 10 ms pause, on the frozen clock:
// one pass per 10 ms, never thousands.  A halted pipe in D0 is reset once and
// data flows again; the device state is asked for once per run of failures,
// not on every pass.
TEST_P(FailingReadTest, FailedReadsArePacedAndThePortRecovers) {
  const FailingReadRow& row = GetParam();
  OpenScripted();
  ASSERT_TRUE(usb::wait_pending(dev_->pdo, kBulkIn, 1));
  FreezeClock();
  emu::trace::clear();
  const size_t resets = PipeResets(*model_, kBulkIn);
  const size_t invalidations = dev_->node->state_invalidations();
  // The polling thread is in its pause when it waits, with a time-out, for
  // exactly 10 ms from the clock's reading: only the test moves the frozen
  // clock, so no pass can come until it does, and a pause begun at an
  // earlier reading (a step missed) or a wait for another length fails.
  auto paused_after = [&](size_t passes) {
    PKTHREAD poller = (PKTHREAD)InterlockedCompareExchangePointer(
        (PVOID volatile*)&ext_->pPollingFunctionThread, NULL, NULL);
    const emu::clock::duration pause_ends = emu::clock::now() + 10ms;
    return poller != NULL &&
           emu::ke::wait_thread_timed_wait(poller,
                                           [&](emu::clock::duration due) { return due == pause_ends; }) &&
           FailedReadPasses() == passes;
  };

  SetPowerState(row.power);
  size_t passes = 1;
  switch (row.kind) {
    case FailingReadRow::error:
      usb::inject_fault(dev_->pdo, kBulkIn, usb::Fault::error(row.usbd, row.status, -1));
      Queue("!");  // re-offers the pending read, which now fails, as will every later one
      break;
    case FailingReadRow::stall:
      usb::inject_fault(dev_->pdo, kBulkIn, usb::Fault::stall());
      Queue("data");
      break;
    case FailingReadRow::zero_length:
      Queue("x");
      for (int i = 0; i < 20; i++) Queue("");
      passes = 2;  // the one right after data is read past at once
      break;
  }
  ASSERT_TRUE(paused_after(passes)) << FailedReadPasses() << " passes: the thread spins";
  if (row.kind == FailingReadRow::stall) {
    emu::clock::advance(10ms);  // the pipe was reset: the next read takes the data
    ASSERT_TRUE(WaitRing(4));
  } else {
    for (int step = 1; step <= 10; step++) {
      emu::clock::advance(10ms);
      ASSERT_TRUE(paused_after(++passes)) << "step " << step << ": " << FailedReadPasses() << " passes";
    }
  }
  EXPECT_EQ(PipeResets(*model_, kBulkIn) - resets, row.resets);
  EXPECT_EQ(dev_->node->state_invalidations() - invalidations, row.invalidations);

  SetPowerState(PowerDeviceD0);
  usb::clear_faults(dev_->pdo);
  // The failed reads took nothing: every byte queued comes through.
  const char* const queued[] = {"!", "data", "x"};
  std::string expected = std::string(queued[row.kind]) + "ok";
  Queue("ok");
  ASSERT_TRUE(StepUntil([&] { return RingCount() == expected.size(); }, 10ms, 20)) << RingCount();
  EXPECT_EQ(ReadAll(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FailingReadTest,
    ::testing::Values(FailingReadRow{"FailureInD0", PowerDeviceD0, FailingReadRow::error,
                                     USBD_STATUS_INTERNAL_HC_ERROR, STATUS_UNSUCCESSFUL, 0, 1},
                      FailingReadRow{"NotReadyInD2", PowerDeviceD2, FailingReadRow::error,
                                     USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_READY, 0, 1},
                      FailingReadRow{"AnyFailureInD1", PowerDeviceD1, FailingReadRow::error,
                                     USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_POWERED_OFF, 0, 1},
                      FailingReadRow{"HaltedInD0", PowerDeviceD0, FailingReadRow::stall, 0, 0, 1, 1},
                      FailingReadRow{"ZeroLengthTransfers", PowerDeviceD0, FailingReadRow::zero_length, 0, 0,
                                     0, 0}),
    [](const ::testing::TestParamInfo<FailingReadRow>& info) { return std::string(info.param.name); });

// ---- Time-outs beyond 32 bits ------------------------------------------------

// Every constant is a wait of that many milliseconds, however large: five
// minutes waiting for RING, and MAXULONG, which clients use for "no limit";
// none set is the default of 100 s.
TEST_F(DataPathFaultTest, LongTimeOutsWaitTheirFullLength) {
  OpenScripted();
  model_->limit_out(kBulkOut, 0);  // the device takes no data
  FreezeClock();
  const ULONG constants[] = {0, 214'749, 300'000, 429'496, 500'000, MAXULONG};
  for (ULONG constant : constants) {
    SCOPED_TRACE(constant);
    const ULONG ms = constant == 0 ? 100'000 : constant;
    if (constant != 0) SetTimeouts(constant, 0);  // 0: never set, the first row
    auto r = port_->read_async(8);
    emu::clock::jump(std::chrono::milliseconds(ms - 1));
    EXPECT_FALSE(r->completed());
    emu::clock::jump(1ms);
    ASSERT_TRUE(Ends(r, STATUS_SUCCESS, 0u, 5000ms));

    if (constant != 0) SetTimeouts(0, constant);
    // The write thread, woken by the queued write (not by the clock), arms
    // the write's time-out at this reading, exactly `ms` ahead, before it
    // sends it.  The jumps start only once the write is on the bus and the
    // thread waits for it.
    const emu::clock::duration times_out = emu::clock::now() + std::chrono::milliseconds(ms);
    auto w = port_->write_async("w");
    PKTHREAD writer =
        (PKTHREAD)InterlockedCompareExchangePointer((PVOID volatile*)&ext_->pWriteFunctionThread, NULL, NULL);
    ASSERT_NE(writer, nullptr);
    ASSERT_TRUE(usb::wait_pending(dev_->pdo, kBulkOut, 1));
    ASSERT_TRUE(emu::ke::wait_for_waiters(&ext_->evWriteDone, 1));
    ASSERT_TRUE(emu::ke::wait_thread_blocked(writer));
    emu::clock::jump(times_out - emu::clock::now() - 1ms);
    EXPECT_FALSE(w->completed());
    emu::clock::jump(1ms);
    ASSERT_TRUE(Ends(w, STATUS_TIMEOUT, std::nullopt, 5000ms));
  }
  EXPECT_EQ(OnTheWire(), "");
}

// ---- The CONNECT filter ----------------------------------------------------------

class ConnectFilterTest : public DataPathFaultTest {
 protected:
  void SetCarrier(bool on) {
    uint16_t state = usb::cdc::SERIAL_STATE_DSR | (on ? usb::cdc::SERIAL_STATE_DCD : 0);
    model_->notify_serial_state(state);
    ASSERT_TRUE(WaitUntil([&] { return ((ModemStatus() & 0x80) != 0) == on; })) << "carrier " << on;
  }
  // Sends the transfers and then "|", and reads until as many bytes as
  // `kept` and the "|" have come (or a bounded wait ran out): what a client
  // reads, to be compared with `kept` + "|".
  std::string Receive(const std::vector<std::string>& transfers, const std::string& kept) {
    for (const auto& t : transfers) Queue(t);
    Queue("|");
    std::string got;
    WaitUntil([&] {
      got += ReadAll();
      return got.size() >= kept.size() + 1;
    });
    return got;
  }
};

// After a dial with the filter on, the modem's result line goes, from
// "CONNECT" to its line end, whether the carrier comes before the line or
// after it, and on a modem that reports no carrier at all; every other byte
// stays, byte for byte.  Only that one line goes: the data phase that
// follows may carry "CONNECT" itself, and keeps it until the client's next
// command line.  The switch outlives the handle.  (Line ends of every kind,
// cut anywhere, are the exploring case's below.)
TEST_F(ConnectFilterTest, DropsTheResultLineOfEachDialOnly) {
  struct Row {
    const char* name;
    bool dial;     // the client sends a command line first
    bool carrier;  // DCD rises before the transfers (with an interrupt pipe)
    std::vector<std::string> transfers;
    std::string kept;
  };
  const Row rows[] = {
      {"ResultLineAlone", true, false, {"\r\nCONNECT 115200\r\n"}, "\r\n"},
      {"BinaryByteEndsTheLine", true, false, {std::string("CONNECT 12\x01~", 12)}, std::string("\x01~", 2)},
      {"OnlyTheFirstLineGoes", true, false, {"CONNECT 1\r\nmid CONNECT 2\r\nend"}, "mid CONNECT 2\r\nend"},
      {"DataPhaseKeepsConnect", false, false, {"CONNECT 3\r\n"}, "CONNECT 3\r\n"},
      {"WordCutByATransferIsKept", true, false, {"text CONN", "ECT 9600\r\n"}, "text CONNECT 9600\r\n"},
      {"LowerCaseIsData", true, false, {"connect 9600\r\n"}, "connect 9600\r\n"},
      {"CarrierBeforeTheLine", true, true, {"CONNECT 115200\r\ndata CONNECT x\r\n"}, "data CONNECT x\r\n"},
      {"CarrierStaysUpInTheDataPhase", false, true, {"CONNECT 4\r\n"}, "CONNECT 4\r\n"},
  };
  for (auto variant : {usb::cdc::Variant::acm, usb::cdc::Variant::acm_nointr}) {
    const bool lines = variant == usb::cdc::Variant::acm;
    SCOPED_TRACE(lines ? "with an interrupt pipe" : "without an interrupt pipe");
    OpenScripted(variant);
    ASSERT_EQ(port_->write("ATS7=1\r").status, STATUS_SUCCESS);
    for (const Row& row : rows) {
      SCOPED_TRACE(row.name);
      if (row.dial) {
        if (lines) SetCarrier(false);
        ASSERT_EQ(port_->write("ATD*99#\r").status, STATUS_SUCCESS);
      }
      if (lines) SetCarrier(row.carrier);
      EXPECT_EQ(Receive(row.transfers, row.kept), row.kept + "|");
    }

    // The switch outlives the handle: a new client's dial still has its
    // line dropped.
    port_->close();
    port_ = &Open();
    ASSERT_TRUE(port_->is_open());
    ASSERT_EQ(port_->write("ATD*99#\r").status, STATUS_SUCCESS);
    EXPECT_EQ(Receive({"CONNECT 5\r\nz"}, "z"), "z|");
    port_->close();
    port_ = nullptr;
    Remove(*dev_);
  }
}

// Each round a dial, then random bytes with the dial's result line among
// them and, after it, random data that may hold "CONNECT" lines of its own
// (a data phase's bytes); the stream cut into transfers anywhere but inside
// the result line's word "CONNECT": the client reads exactly the user data.
TEST_F(ConnectFilterTest, LosesNoUserData) {
  OpenScripted();
  ASSERT_EQ(port_->write("ATS7=1\r").status, STATUS_SUCCESS);
  const uint32_t seed = 0xC044EC7;
  const int rounds = kSanitized ? 40 : 150;
  std::mt19937 rng(seed);
  const std::string printable = "0123456789 ABDEFGHIJKLMNOPQRSTUVWXYZ/";
  const char* const endings[] = {"\r\n", "\n", "\r"};
  auto random_bytes = [&](bool allow_c) {
    std::string data(rng() % 64, '\0');
    for (char& c : data) {
      do c = char(rng() % 256);
      while (!allow_c && c == 'C');
    }
    return data;
  };
  auto result_line = [&](const char** ending) {
    std::string line = "CONNECT";
    for (int n = rng() % 20; n > 0; n--) line += printable[rng() % printable.size()];
    *ending = endings[rng() % 3];
    return line + *ending;
  };
  size_t dropped = 0, kept_lines = 0, bytes = 0, cuts = 0;
  for (int round = 0; round < rounds; round++) {
    ASSERT_EQ(port_->write("ATD*99#\r").status, STATUS_SUCCESS);
    std::string stream = random_bytes(false);  // nothing before the result line looks like it
    std::string user = stream;
    size_t word_at = std::string::npos;
    if (rng() % 4 != 0) {
      const char* ending;
      word_at = stream.size();
      stream += result_line(&ending);
      dropped++;
      // The data phase: its own bytes and lines, kept whole.
      std::string data;
      for (int part = 0, parts = rng() % 4; part < parts; part++) {
        data += random_bytes(true);
        if (rng() % 2) {
          data += result_line(&ending);
          kept_lines++;
        }
      }
      if (std::string(ending) == "\r" && !data.empty() && data[0] == '\n')
        data[0] = 'x';  // would end the line
      stream += data;
      user += data;
    }
    std::vector<std::string> transfers;
    size_t start = 0;
    for (size_t i = 1; i < stream.size(); i++) {
      const bool in_word = word_at != std::string::npos && i > word_at && i < word_at + 7;
      if (!in_word && rng() % 24 == 0) {
        transfers.push_back(stream.substr(start, i - start));
        start = i;
      }
    }
    transfers.push_back(stream.substr(start));
    std::string got = Receive(transfers, user);
    ASSERT_EQ(got, user + "|") << "round " << round << " seed " << seed;
    bytes += user.size();
    cuts += transfers.size() - 1;
  }
  printf(
      "[ connect ] %d dials: %zu result lines dropped, %zu data-phase lines kept, %zu user bytes, %zu "
      "transfer cuts, seed %#x\n",
      rounds, dropped, kept_lines, bytes, cuts, seed);
}

// ---- Line settings the modem did not take ------------------------------------------

// A request that waits for the modem holds no request for good: a class
// request gives up after five seconds with STATUS_IO_TIMEOUT, an immediate
// character at its write time-out (100 s by default) with STATUS_TIMEOUT,
// or either as soon as the client cancels it with STATUS_CANCELLED; its
// transfer is cancelled on the bus.  A line coding the modem refused (a
// stall), or that could not be sent for lack of memory, fails too.  None
// answers a byte or stores a setting: the client's retry goes out.
TEST_F(DataPathFaultTest, RequestsForTheModemAreBoundedCancellableAndStoreOnlyWhatItTook) {
  OpenScripted();
  constexpr auto kClassRequestTimeout = 5000ms;
  struct Row {
    const char* name;
    ULONG code;
    std::vector<uint8_t> input;
    std::vector<uint8_t> undo;  // sent after a success, so that the row sends again
    bool coding = false;        // also refused by the modem, and without memory
    uint8_t endpoint = 0;
  };
  SERIAL_HANDFLOW handflow{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0x800, 0x200};
  const Row rows[] = {
      {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(ULONG(57600)), AsBytes(ULONG(0)), true},
      {"SET_LINE_CONTROL",
       IOCTL_SERIAL_SET_LINE_CONTROL,
       {STOP_BITS_2, EVEN_PARITY, 7},
       {STOP_BIT_1, NO_PARITY, 8},
       true},
      {"SET_DTR", IOCTL_SERIAL_SET_DTR, {}, {}},
      {"CLR_DTR", IOCTL_SERIAL_CLR_DTR, {}, {}},
      {"SET_RTS", IOCTL_SERIAL_SET_RTS, {}, {}},
      {"CLR_RTS", IOCTL_SERIAL_CLR_RTS, {}, {}},
      {"SET_MODEM_CONTROL", IOCTL_SERIAL_SET_MODEM_CONTROL, AsBytes(ULONG(1)), {}},
      {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, AsBytes(handflow), {}},
      {"IMMEDIATE_CHAR", IOCTL_SERIAL_IMMEDIATE_CHAR, {'Q'}, {}, false, kBulkOut},
  };
  enum Kind { cancelled, timed_out, refused, no_memory };
  const char* const kinds[] = {"cancelled", "timed out", "refused", "without memory"};
  auto sent = [&] { return model_->control_requests().size() + model_->out_data(kBulkOut).size(); };
  FreezeClock();
  int cases = 0;
  for (const Row& row : rows) {
    for (Kind kind : {cancelled, timed_out, refused, no_memory}) {
      if (kind >= refused && !row.coding) continue;
      SCOPED_TRACE(std::string(row.name) + ", " + kinds[kind]);
      const size_t taken = sent();
      const size_t on_bus = usb::info(dev_->pdo).cancelled;
      emu::RequestPtr r;
      if (kind >= refused) {
        if (kind == refused) {
          usb::inject_fault(dev_->pdo, 0, usb::Fault::stall());
        } else {
          emu::faults::fail_tag(POOL_TAG_DRIVER);
        }
        r = port_->ioctl_async(row.code, row.input, 0);
        ASSERT_TRUE(r->wait(5000ms));
        emu::faults::clear();
        EXPECT_FALSE(NT_SUCCESS(r->status())) << std::hex << r->status();
      } else {
        // The character is cancelled under the default time-out, then times
        // out under one of 50 ms.
        if (row.endpoint != 0 && kind == timed_out) SetTimeouts(0, 50);
        const auto timeout = row.endpoint == 0 ? kClassRequestTimeout : kind == cancelled ? 100s : 50ms;
        usb::inject_fault(dev_->pdo, row.endpoint, usb::Fault::never_complete());
        ASSERT_TRUE(SendWaiting(row.code, row.input, row.endpoint, timeout))
            << "the request does not wait its time-out";
        if (kind == cancelled) {
          EXPECT_EQ(port_->cancel_io(), 1u);
        } else {
          emu::clock::jump(timeout - 1ms);
          EXPECT_NE(sending_.wait_for(0s), std::future_status::ready);
          emu::clock::jump(1ms);
        }
        r = Sent();
        ASSERT_NE(r, nullptr) << "the request still waits";
        EXPECT_EQ(r->status(), kind == cancelled   ? STATUS_CANCELLED
                               : row.endpoint == 0 ? STATUS_IO_TIMEOUT
                                                   : STATUS_TIMEOUT);
        EXPECT_EQ(usb::info(dev_->pdo).cancelled, on_bus + 1) << "the transfer was left on the bus";
      }
      EXPECT_EQ(r->information(), 0u);
      EXPECT_EQ(sent(), taken) << "the modem never took it";
      EXPECT_EQ(BaudRate(), 0u) << "a rate the modem never took is stored";

      EXPECT_EQ(port_->ioctl(row.code, row.input, 0).status, STATUS_SUCCESS)
          << "the next request does not go out";
      EXPECT_GT(sent(), taken) << "the retry did not reach the modem";
      if (!row.undo.empty()) {
        ASSERT_EQ(port_->ioctl(row.code, row.undo, 0).status, STATUS_SUCCESS);
      }
      cases++;
    }
  }
  EXPECT_EQ(cases, 22);

  // A character the bus fails answers the bus's status, with no byte.
  usb::inject_fault(dev_->pdo, kBulkOut,
                    usb::Fault::error(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_CONNECTED));
  auto failed = port_->ioctl(IOCTL_SERIAL_IMMEDIATE_CHAR, AsBytes("F"), 1);
  EXPECT_TRUE(Answers(failed, STATUS_DEVICE_NOT_CONNECTED, 0u));
  EXPECT_EQ(OnTheWire(), "QQ");
}

// A baud rate and a line control set at once from two threads: whichever
// order they take, the modem ends with the line coding that is stored,
// which holds both.  The rate's coding is held on the bus while the line
// control is sent, the order in which they once disagreed.
TEST_F(DataPathFaultTest, ConcurrentRateAndLineControlLeaveTheModemAsStored) {
  OpenScripted();
  FreezeClock();
  usb::inject_fault(dev_->pdo, 0, usb::Fault::delayed(10ms));
  ASSERT_TRUE(SendWaiting(IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(ULONG(115200)), 0, 0ms));
  std::promise<PKTHREAD> other;
  auto other_known = other.get_future();
  auto line = std::async(std::launch::async, [this, &other] {
    other.set_value(KeGetCurrentThread());
    SERIAL_LINE_CONTROL lc{STOP_BITS_2, EVEN_PARITY, 7};
    return port_->ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, AsBytes(lc), 0).status;
  });
  // A failed check must not leave the line control waiting on the frozen
  // clock for good.
  struct Thaw {
    ~Thaw() {
      if (emu::clock::frozen()) emu::clock::unfreeze();
    }
  } thaw;
  ASSERT_TRUE(emu::ke::wait_thread_blocked(other_known.get()));
  // The bus holds the rate's coding 10 ms from when it takes it up.
  ASSERT_TRUE(StepUntil([&] { return sending_.wait_for(0s) == std::future_status::ready; }));
  auto rate = Sent();
  ASSERT_NE(rate, nullptr);
  EXPECT_EQ(rate->status(), STATUS_SUCCESS);
  ASSERT_EQ(line.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(line.get(), STATUS_SUCCESS);

  auto modem = model_->line_coding();
  ASSERT_TRUE(modem.has_value());
  EXPECT_EQ(modem->dte_rate, 115200u);
  EXPECT_EQ(BaudRate(), 115200u);
  EXPECT_EQ(modem->char_format, STOP_BITS_2);
  EXPECT_EQ(modem->parity, EVEN_PARITY);
  EXPECT_EQ(modem->data_bits, 7);
  EXPECT_EQ(Locked([&] { return ext_->StopBits * 0x10000 + ext_->Parity * 0x100 + ext_->WordLength; }),
            STOP_BITS_2 * 0x10000 + EVEN_PARITY * 0x100 + 7);
}

}  // namespace
}  // namespace vrmdm_test
