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
  seeds.push_back({dd, acm, "acm"});
  seeds.push_back({dd, cdc::configuration_descriptor(cdc::Variant::acm_nointr), "acm-nointr"});
  seeds.push_back({dd, cdc::configuration_descriptor(cdc::Variant::acm_datafirst), "acm-datafirst"});

  auto bad = [&](std::string name, auto&& change) {
    DescriptorCase c{dd, acm, std::move(name)};
    change(c);
    seeds.push_back(std::move(c));
  };
  const std::vector<std::size_t> at = descriptor_offsets(acm);
  for (uint8_t length : {0, 1, 2, 255}) {
    bad("config bLength " + std::to_string(length), [&](DescriptorCase& c) { c.configuration[0] = length; });
    bad("second descriptor bLength " + std::to_string(length),
        [&](DescriptorCase& c) { c.configuration[at.at(1)] = length; });
    bad("last descriptor bLength " + std::to_string(length),
        [&](DescriptorCase& c) { c.configuration[at.back()] = length; });
  }
  for (std::size_t total :
       {std::size_t{0}, std::size_t{5}, std::size_t{9}, acm.size() - 1, acm.size() + 1, std::size_t{0xFFFF}})
    bad("wTotalLength " + std::to_string(total),
        [&](DescriptorCase& c) { set_total(c.configuration, total); });
  for (uint8_t n : {0, 1, 3, 255})
    bad("bNumInterfaces " + std::to_string(n), [&](DescriptorCase& c) { c.configuration[4] = n; });
  for (std::size_t o : at) {
    if (acm[o + 1] != 0x04) continue;
    for (uint8_t n : {0, 3, 255})
      bad("interface at " + std::to_string(o) + " bNumEndpoints " + std::to_string(n),
          [&](DescriptorCase& c) { c.configuration[o + 4] = n; });
  }
  bad("endpoints missing", [&](DescriptorCase& c) {
    Bytes kept;
    for (std::size_t o : at)
      if (acm[o + 1] != 0x05) kept.insert(kept.end(), acm.begin() + o, acm.begin() + o + acm[o]);
    set_total(kept, kept.size());
    c.configuration = kept;
  });
  bad("data interface missing", [&](DescriptorCase& c) {
    c.configuration.resize(at.at(at.size() - 3));
    set_total(c.configuration, c.configuration.size());
  });
  bad("endpoint before any interface", [&](DescriptorCase& c) {
    Bytes ep(acm.begin() + at.back(), acm.end());
    c.configuration.insert(c.configuration.begin() + 9, ep.begin(), ep.end());
    set_total(c.configuration, c.configuration.size());
  });
  bad("endpoint 0 as bulk IN", [&](DescriptorCase& c) { c.configuration[at.back() + 2] = 0x80; });
  bad("same endpoint twice",
      [&](DescriptorCase& c) { c.configuration[at.back() + 2] = c.configuration[at.back() - 5]; });
  bad("endpoint max packet 0", [&](DescriptorCase& c) {
    c.configuration[at.back() + 4] = 0;
    c.configuration[at.back() + 5] = 0;
  });
  for (std::size_t keep : {std::size_t{0}, std::size_t{4}, std::size_t{9}, acm.size() / 2, acm.size() - 3})
    bad("configuration truncated to " + std::to_string(keep),
        [&](DescriptorCase& c) { c.configuration.resize(keep); });
  for (std::size_t keep : {std::size_t{0}, std::size_t{8}, std::size_t{17}})
    bad("device descriptor truncated to " + std::to_string(keep),
        [&](DescriptorCase& c) { c.device.resize(keep); });
  bad("device bLength 0", [&](DescriptorCase& c) { c.device[0] = 0; });
  bad("two configurations declared", [&](DescriptorCase& c) { c.device[17] = 2; });
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
