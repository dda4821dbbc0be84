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
  auto add = [&](std::string name, Bytes device, Bytes config, bool honest_total = false) {
    if (honest_total) set_total(config, config.size());
    seeds.push_back({std::move(device), std::move(config), std::move(name)});
  };
  add("acm", dd, acm);
  add("acm-nointr", dd, cdc::configuration_descriptor(cdc::Variant::acm_nointr));
  add("acm-datafirst", dd, cdc::configuration_descriptor(cdc::Variant::acm_datafirst));
  // The ACM layout with every byte of either part in turn set to each value
  // a parser trips on (a length of 0 to 3 or 255, an endpoint's address, one
  // off), or the part cut short at every length.
  for (bool device : {true, false}) {
    const Bytes& set = device ? dd : acm;
    const std::string part = device ? "device" : "config";
    for (std::size_t i = 0; i < set.size(); ++i) {
      const Bytes cut(set.begin(), set.begin() + static_cast<std::ptrdiff_t>(i));
      add(part + " truncated to " + std::to_string(i), device ? cut : dd, device ? acm : cut);
      for (int v : {0, 1, 2, 3, 0x80, 0x81, 0x82, 0xFF, set[i] - 1, set[i] + 1}) {
        if (v == set[i] || v < 0 || v > 0xFF) continue;
        Bytes changed = set;
        changed[i] = static_cast<uint8_t>(v);
        add(part + " byte " + std::to_string(i) + " = " + std::to_string(v), device ? changed : dd,
            device ? acm : changed);
      }
    }
  }
  for (std::size_t total : {std::size_t{0}, std::size_t{5}, std::size_t{9}, acm.size() - 1, acm.size() + 1,
                            std::size_t{0xFFFF}}) {
    Bytes changed = acm;
    set_total(changed, total);
    add("wTotalLength " + std::to_string(total), dd, changed);
  }
  // Whole descriptors, wTotalLength following: each dropped, moved in front
  // of the first interface, or the set ended before it; every one of a kind
  // left out.
  const std::vector<std::size_t> at = descriptor_offsets(acm);
  for (std::size_t k = 1; k < at.size(); ++k) {
    const auto begin = acm.begin() + static_cast<std::ptrdiff_t>(at[k]), end = begin + acm[at[k]];
    Bytes without(acm.begin(), begin);
    without.insert(without.end(), end, acm.end());
    Bytes first = without;
    first.insert(first.begin() + 9, begin, end);
    const std::string which = "descriptor " + std::to_string(k);
    add(which + " dropped", dd, without, true);
    add(which + " first", dd, first, true);
    add("the set ends before " + which, dd, Bytes(acm.begin(), begin), true);
  }
  for (uint8_t type : {0x04, 0x05, 0x24}) {
    Bytes kept(acm.begin(), acm.begin() + 9);
    for (std::size_t o : at)
      if (o > 0 && acm[o + 1] != type) kept.insert(kept.end(), acm.begin() + o, acm.begin() + o + acm[o]);
    add("no descriptor of type " + std::to_string(type), dd, kept, true);
  }
  return seeds;
}

DescriptorCase mutate_descriptor_case(const DescriptorCase& c, uint64_t seed) {
  Rng rng(seed);
  DescriptorCase m = c;
  m.name.clear();
  const int edits = 1 + static_cast<int>(rng.next() % 4);
  for (int e = 0; e < edits; ++e) {
    Bytes& b = (rng.next() % 8 == 0) ? m.device : m.configuration;
    const uint64_t kind = rng.next() % 9;
    const std::size_t pos = b.empty() ? 0 : rng.next() % b.size();
    switch (kind) {
      case 0:  // flip a bit
        if (!b.empty()) b[pos] ^= static_cast<uint8_t>(1u << (rng.next() % 8));
        break;
      case 1: {  // an interesting value
        static constexpr uint8_t kValues[] = {0, 1, 2, 3, 4, 5, 7, 9, 0x7F, 0x80, 0x81, 0x82, 0xFF};
        if (!b.empty()) b[pos] = kValues[rng.next() % sizeof kValues];
        break;
      }
      case 2:  // a random byte
        if (!b.empty()) b[pos] = static_cast<uint8_t>(rng.next());
        break;
      case 3:  // truncate
        b.resize(pos);
        break;
      case 4: {  // insert bytes
        const std::size_t n = 1 + rng.next() % 9;
        for (std::size_t i = 0; i < n; ++i)
          b.insert(b.begin() + static_cast<std::ptrdiff_t>(pos), static_cast<uint8_t>(rng.next()));
        break;
      }
      case 5: {  // duplicate a descriptor
        const auto at = descriptor_offsets(b);
        if (at.empty()) break;
        const std::size_t o = at[rng.next() % at.size()];
        const std::size_t len = std::min<std::size_t>(b[o], b.size() - o);
        Bytes d(b.begin() + static_cast<std::ptrdiff_t>(o), b.begin() + static_cast<std::ptrdiff_t>(o + len));
        b.insert(b.begin() + static_cast<std::ptrdiff_t>(o), d.begin(), d.end());
        break;
      }
      case 6: {  // drop a descriptor
        const auto at = descriptor_offsets(b);
        if (at.size() < 2) break;
        const std::size_t o = at[1 + rng.next() % (at.size() - 1)];
        const std::size_t len = std::min<std::size_t>(b[o], b.size() - o);
        b.erase(b.begin() + static_cast<std::ptrdiff_t>(o), b.begin() + static_cast<std::ptrdiff_t>(o + len));
        break;
      }
      case 7:  // wTotalLength somewhere near the truth, or far from it
        set_total(b, rng.next() % 2 ? b.size() + (rng.next() % 7) - 3 : rng.next() % 0x10000);
        break;
      case 8:  // keep wTotalLength honest after the other edits
        set_total(b, b.size());
        break;
    }
  }
  return m;
}

}  // namespace explore
