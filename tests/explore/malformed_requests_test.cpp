// Every control request malformed: each serial control code and a set of odd
// ones (other functions, methods, access bits, device types, 0, 0xFFFFFFFF,
// the removal notification) with input and output lengths from none to far
// too many and several fills; reads and writes from 0 bytes to far beyond any
// buffer.  Every request completes, no answer claims more bytes than its
// buffer holds (the emulator's I/O manager reports that as a finding), and
// the port still answers AT afterwards.
#include <map>

#include "explore.h"
#include "port_test_helpers.h"

namespace {

using namespace explore;

struct Case {
  ULONG code;
  ULONG in;
  ULONG out;
  uint8_t fill;
};

constexpr ULONG kLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 15, 16, 17, 20, 24, 63, 64, 65, 4096};
constexpr uint8_t kFills[] = {0x00, 0xFF, 0xA5};

std::vector<ULONG> odd_codes() {
  std::vector<ULONG> codes = {0,        0xFFFFFFFF, 0x222000 /* removal notification */,
                              0x222004, 0x1B0002,   0x1B0049,
                              0x1B004A, 0x1B0101,   0x1B0FFC,
                              0x1BFFFC, 0x7FFFFFFF, 0x80000000};
  for (ULONG function : {1u, 0x12u, 0x13u, 0x27u}) {
    for (ULONG method = 0; method < 4; ++method) {
      for (ULONG access = 0; access < 4; ++access) {
        if (method == METHOD_BUFFERED && access == FILE_ANY_ACCESS) continue;
        codes.push_back(CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, method, access));
      }
    }
    for (ULONG type : {0x01u, 0x22u, 0x2Bu, 0xFFFFu})
      codes.push_back(CTL_CODE(type, function, METHOD_BUFFERED, FILE_ANY_ACCESS));
  }
  return codes;
}

class MalformedRequests : public vrmdm_test::OpenPortTest {
 protected:
  // Sends one request; returns what went wrong (empty: clean).
  std::string send(const Case& c) {
    std::vector<uint8_t> input(c.in, c.fill);
    const ULONG method = METHOD_FROM_CTL_CODE(c.code);
    if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
      // Handles have no MDLs here; a kernel component's packet carries it.
      emu::IoResult r = vrmdm_test::SendIoctlDirect(dev_->fdo(), c.code, input, c.out);
      if (r.information > c.out && !NT_ERROR(r.status))
        return "answered " + std::to_string(r.information) + " bytes for " + std::to_string(c.out);
      return take_findings_text();
    }
    // Only a wait-on-mask or a removal notification may wait; both end when
    // cancelled.  Everything else is answered inside the dispatch routine.
    const bool may_wait = c.code == IOCTL_SERIAL_WAIT_ON_MASK || c.code == 0x222000;
    emu::RequestPtr r = port_->ioctl_async(c.code, input, c.out);
    if (!r->completed()) {
      if (!may_wait && !r->wait(2s)) return "waited although it has nothing to wait for";
      r->cancel();
      if (!r->wait(2s)) return "never completed, not even when cancelled";
    }
    statuses_[r->status()]++;
    return take_findings_text();
  }

  WaitLimit limit_{5s};
  std::map<NTSTATUS, std::size_t> statuses_;
};

TEST_F(MalformedRequests, EveryControlCodeWithEveryShapeOfBuffer) {
  std::vector<Case> cases;
  for (ULONG code = 0x1B0000; code <= 0x1B00A0; code += 4) {
    for (ULONG in : kLengths)
      for (ULONG out : kLengths)
        for (uint8_t fill : kFills) cases.push_back({code, in, out, fill});
  }
  for (ULONG code : odd_codes()) {
    for (ULONG in : {0u, 1u, 4u, 64u})
      for (ULONG out : {0u, 3u, 4u, 4096u}) cases.push_back({code, in, out, 0xFF});
  }
  // Sanitizer builds take every k-th case.
  const std::size_t n = std::min(cases.size(), rounds(cases.size(), cases.size()));
  const std::size_t stride = cases.size() / n;
  Tally tally("malformed control requests");
  for (std::size_t i = 0; i < cases.size(); i += stride) {
    const Case& c = cases[i];
    tally.record("code " + hex(c.code) + " in " + std::to_string(c.in) + " out " + std::to_string(c.out) +
                     " fill " + hex(c.fill),
                 send(c));
  }
  std::string answers;
  for (auto [status, count] : statuses_)
    answers += (answers.empty() ? "" : ", ") + hex(static_cast<ULONG>(status)) + " x" + std::to_string(count);
  tally.note("answers: " + answers);
  // Back to a usable state, then the modem must still answer.
  SERIAL_CHARS chars{};
  Ioctl(IOCTL_SERIAL_SET_CHARS, vrmdm_test::AsBytes(chars));
  Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, vrmdm_test::AsBytes<ULONG>(0));
  Ioctl(IOCTL_SERIAL_SET_DTR);
  Ioctl(IOCTL_SERIAL_SET_RTS);
  Ioctl(IOCTL_SERIAL_PURGE, vrmdm_test::AsBytes<ULONG>(0xF));
  set_short_read_timeouts(*port_);
  vrmdm_test::ExpectAtOk(*port_, model());
}

TEST_F(MalformedRequests, ReadsAndWritesFromNothingToFarTooMuch) {
  set_short_read_timeouts(*port_, 1);
  Tally tally("reads and writes of every size");
  for (ULONG length : {0u, 1u, 2u, 255u, 256u, 4095u, 4096u, 4097u, 65535u, 65536u, 1u << 20, 16u << 20}) {
    model().queue_in(emu::usb::cdc::BULK_IN_ENDPOINT, std::string(std::min<ULONG>(length, 300000), 'r'));
    emu::RequestPtr r = port_->read_async(length);
    std::string what;
    if (!r->wait(3s)) {
      r->cancel();
      r->wait(2s);
      what = "a read of " + std::to_string(length) + " never completed";
    } else if (r->information() > length) {
      what = "a read of " + std::to_string(length) + " answered " + std::to_string(r->information());
    }
    tally.record("read " + std::to_string(length), what + take_findings_text());
    Ioctl(IOCTL_SERIAL_PURGE, vrmdm_test::AsBytes<ULONG>(SERIAL_PURGE_RXCLEAR));
  }
  for (ULONG length : {0u, 1u, 2u, 63u, 64u, 65u, 4095u, 4096u, 4097u, 65536u, 1u << 20}) {
    model().take_out_data(emu::usb::cdc::BULK_OUT_ENDPOINT);
    emu::IoResult w = port_->write(std::vector<uint8_t>(length, static_cast<uint8_t>(length)));
    // However long, a write the modem takes goes out whole; one of nothing
    // succeeds or fails with an error.
    const std::size_t got = model().take_out_data(emu::usb::cdc::BULK_OUT_ENDPOINT).size();
    const bool honest = w.status == STATUS_SUCCESS ? w.information == length && got == length
                                                   : length == 0 && NT_ERROR(w.status);
    const std::string what = honest ? ""
                                    : "answered " + hex(w.status) + " info " + std::to_string(w.information) +
                                          ", the modem got " + std::to_string(got);
    tally.note("write " + std::to_string(length) + ": " + hex(static_cast<ULONG>(w.status)) + " info " +
               std::to_string(w.information));
    tally.record("write " + std::to_string(length), what + take_findings_text());
  }
  set_short_read_timeouts(*port_);
  model().queue_in(emu::usb::cdc::BULK_IN_ENDPOINT, "OK\r\n");
  EXPECT_NE(read_until(*port_, "OK\r\n").find("OK\r\n"), std::string::npos);
}

}  // namespace
