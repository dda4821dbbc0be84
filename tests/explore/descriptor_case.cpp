#include "descriptor_case.h"

#include <emu/io_manager.h>
#include <emu/kernel.h>
#include <emu/usb/cdc.h>
#include <emu/usb/models.h>
#include <emu/verifier.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "core/driver_entry.h"
#include "rng.h"

namespace explore {

namespace {

namespace usb = emu::usb;
namespace cdc = usb::cdc;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

std::string hex_status(NTSTATUS s) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(s));
  return text;
}

// Offsets of the descriptors of a set, following bLength (stops at 0 or the end).
std::vector<std::size_t> descriptor_offsets(const Bytes& set) {
  std::vector<std::size_t> at;
  for (std::size_t o = 0; o + 2 <= set.size() && set[o] != 0; o += set[o]) at.push_back(o);
  return at;
}

void set_total(Bytes& set, std::size_t total) {
  if (set.size() < 4) return;
  set[2] = static_cast<uint8_t>(total);
  set[3] = static_cast<uint8_t>(total >> 8);
}

// One change to a set, the seed shapes' and the mutations' alike: `at` is a
// byte's position or a descriptor's index, `value` what it takes.
enum class Edit { set_byte, flip_bit, truncate, insert, duplicate, drop, move_first, total };
constexpr const char* kEditNames[] = {"byte",        "bit flipped at", "truncated to", "bytes inserted at",
                                      "duplicated:", "dropped:",       "moved first:", "wTotalLength"};

void apply(Bytes& b, Edit edit, std::size_t at, uint64_t value) {
  const auto pos = [&](std::size_t o) {
    return b.begin() + static_cast<std::ptrdiff_t>(std::min(o, b.size()));
  };
  const std::vector<std::size_t> offsets = descriptor_offsets(b);
  const std::size_t o = offsets.empty() ? 0 : offsets[at % offsets.size()];
  const Bytes d(pos(o), pos(offsets.empty() ? 0 : o + b[o]));
  switch (edit) {
    case Edit::set_byte:
    case Edit::flip_bit:
      if (at < b.size())
        b[at] = static_cast<uint8_t>(edit == Edit::set_byte ? value : b[at] ^ (1u << value % 8));
      break;
    case Edit::truncate:
      b.erase(pos(at), b.end());
      break;
    case Edit::insert:  // 1 to 8 of value's bytes
      for (uint64_t n = 1 + (value >> 61); n > 0; --n, value >>= 8)
        b.insert(pos(at), static_cast<uint8_t>(value));
      break;
    case Edit::duplicate:
    case Edit::drop:
    case Edit::move_first:
      if (edit != Edit::duplicate) b.erase(pos(o), pos(o + d.size()));
      if (edit != Edit::drop) b.insert(pos(edit == Edit::duplicate ? o : 9), d.begin(), d.end());
      break;
    case Edit::total:
      set_total(b, value);
      break;
  }
}

}  // namespace

DescriptorCase split_descriptor_input(const uint8_t* data, std::size_t size) {
  DescriptorCase c;
  if (size == 0) return c;
  const std::size_t n = std::min<std::size_t>(data[0], size - 1);
  c.device.assign(data + 1, data + 1 + n);
  c.configuration.assign(data + 1 + n, data + size);
  return c;
}

std::vector<uint8_t> join_descriptor_input(const DescriptorCase& c) {
  Bytes out;
  const std::size_t n = std::min<std::size_t>(c.device.size(), 255);
  out.push_back(static_cast<uint8_t>(n));
  out.insert(out.end(), c.device.begin(), c.device.begin() + static_cast<std::ptrdiff_t>(n));
  out.insert(out.end(), c.configuration.begin(), c.configuration.end());
  return out;
}

DescriptorOutcome run_descriptor_case(const DescriptorCase& c) {
  DescriptorOutcome out;
  emu::verifier::clear();
  const auto previous_limit = emu::set_request_wait_limit(10s);
  std::string problems;
  auto problem = [&](const std::string& p) { problems += (problems.empty() ? "" : "; ") + p; };
  {
    emu::Driver drv =
        emu::load_driver(&DriverEntry, u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\vr_mdm",
                         u"\\Driver\\vr_mdm");
    out.loaded = drv.loaded();
    if (out.loaded) {
      auto model = std::make_shared<usb::ScriptedDevice>(c.device, c.configuration);
      PDEVICE_OBJECT pdo = usb::plug(model);
      auto node = usb::node(pdo);
      node->set_port_name(u"COM5");
      if (NT_SUCCESS(node->add_device(drv))) {
        out.start = node->start();
        if (NT_SUCCESS(out.start)) {
          emu::Handle port = emu::open(u"\\DosDevices\\COM5");
          out.open = port.status();
          if (port.is_open()) {
            SERIAL_TIMEOUTS t{};
            t.ReadTotalTimeoutConstant = 5;
            t.WriteTotalTimeoutConstant = 200;
            Bytes in(sizeof t);
            std::memcpy(in.data(), &t, sizeof t);
            port.ioctl(IOCTL_SERIAL_SET_TIMEOUTS, in);
            for (const auto& pipe : model->configured_pipes()) {
              if ((pipe.endpoint_address & 0x80) && (pipe.attributes & 3) == 2)
                model->queue_in(pipe.endpoint_address, "hello");
            }
            emu::IoResult w = port.write("AT\r");
            if (!NT_ERROR(w.status) && w.status != STATUS_SUCCESS)
              problem("write answered " + hex_status(w.status));
            std::string got;
            for (int i = 0; i < 20 && got.size() < 5; ++i) {
              emu::IoResult r = port.read(64);
              if (NT_ERROR(r.status)) break;
              if (r.status != STATUS_SUCCESS) problem("read answered " + hex_status(r.status));
              got.append(r.output.begin(), r.output.end());
            }
            out.answered = w.status == STATUS_SUCCESS && got == "hello";
            if (!got.empty() && got != "hello" && got != std::string("hello").substr(0, got.size()))
              problem("read brought \"" + got + "\", the device sent \"hello\"");
            emu::CloseResult closed = port.close();
            if (closed.cleanup != STATUS_SUCCESS) problem("cleanup answered " + hex_status(closed.cleanup));
          } else if (!NT_ERROR(out.open)) {
            problem("open answered " + hex_status(out.open));
          }
          node->surprise_remove();
          node->remove();
        }
      }
      usb::unplug(pdo);
      node.reset();
      drv.unload();  // reports devices, links and pool left behind
    }
  }
  if (!emu::wait_quiescent()) problem("threads, timers or work items still running");
  usb::reset();
  emu::kernel_reset();
  emu::set_request_wait_limit(previous_limit);
  for (const auto& f : emu::verifier::take_findings()) problem(emu::verifier::describe(f));
  out.problems = problems;
  return out;
}

std::vector<DescriptorCase> seed_descriptor_cases() {
  std::vector<DescriptorCase> seeds;
  const Bytes dd = cdc::device_descriptor();
  const Bytes acm = cdc::configuration_descriptor(cdc::Variant::acm);
  seeds.push_back({dd, acm, "acm"});
  seeds.push_back({dd, cdc::configuration_descriptor(cdc::Variant::acm_nointr), "acm-nointr"});
  seeds.push_back({dd, cdc::configuration_descriptor(cdc::Variant::acm_datafirst), "acm-datafirst"});
  // The ACM layout with one edit; `honest`: wTotalLength follows it.
  auto add = [&](bool device, Edit edit, std::size_t at, uint64_t value, bool honest = false) {
    const std::size_t shown = edit == Edit::total ? value : at;
    DescriptorCase c{dd, acm,
                     std::string(device ? "device " : "config ") + kEditNames[int(edit)] + " " +
                         std::to_string(shown) +
                         (edit == Edit::set_byte ? " = " + std::to_string(value) : "")};
    Bytes& b = device ? c.device : c.configuration;
    apply(b, edit, at, value);
    if (honest) set_total(b, b.size());
    seeds.push_back(std::move(c));
  };
  // Every byte of either part set to each value a parser trips on (a
  // length of 0 to 3 or 255, an endpoint's address, one off); either part
  // cut short at every length.
  for (bool device : {true, false}) {
    const Bytes& set = device ? dd : acm;
    for (std::size_t i = 0; i < set.size(); ++i) {
      add(device, Edit::truncate, i, 0);
      for (int v : {0, 1, 2, 3, 0x80, 0x81, 0x82, 0xFF, set[i] - 1, set[i] + 1})
        if (v != set[i] && v >= 0 && v <= 0xFF) add(device, Edit::set_byte, i, static_cast<uint64_t>(v));
    }
  }
  for (std::size_t total : {std::size_t{5}, std::size_t{9}, std::size_t{0xFFFF}})
    add(false, Edit::total, 0, total);
  // Each descriptor after the first dropped, moved in front of the first
  // interface, or ending the set, wTotalLength following.
  const std::vector<std::size_t> at = descriptor_offsets(acm);
  for (std::size_t k = 1; k < at.size(); ++k) {
    for (Edit edit : {Edit::drop, Edit::move_first}) add(false, edit, k, 0, true);
    add(false, Edit::truncate, at[k], 0, true);
  }
  // Every descriptor of one kind left out (every endpoint, say).
  for (uint8_t type : {0x04, 0x05, 0x24}) {
    Bytes kept(acm.begin(), acm.begin() + 9);
    for (std::size_t o : at)
      if (o > 0 && acm[o + 1] != type) kept.insert(kept.end(), acm.begin() + o, acm.begin() + o + acm[o]);
    set_total(kept, kept.size());
    seeds.push_back({dd, kept, "no descriptor of type " + std::to_string(type)});
  }
  return seeds;
}

DescriptorCase mutate_descriptor_case(const DescriptorCase& c, uint64_t seed) {
  static constexpr uint8_t kValues[] = {0, 1, 2, 3, 4, 5, 7, 9, 0x7F, 0x80, 0x81, 0x82, 0xFF};
  Rng rng(seed);
  DescriptorCase m = c;
  m.name.clear();
  for (int e = 1 + static_cast<int>(rng.next() % 4); e > 0; --e) {
    Bytes& b = (rng.next() % 8 == 0) ? m.device : m.configuration;
    const auto edit = static_cast<Edit>(rng.next() % std::size(kEditNames));
    const std::size_t at = b.empty() ? 0 : rng.next() % b.size();
    uint64_t value = rng.next();
    if (edit == Edit::set_byte && value % 2) value = kValues[value / 2 % sizeof kValues];
    // wTotalLength the truth, near it or anything.
    if (edit == Edit::total && value % 3 != 0) value = b.size() + (value % 3 == 1 ? 0 : value / 3 % 7 - 3);
    apply(b, edit, at, value);
  }
  return m;
}

}  // namespace explore
