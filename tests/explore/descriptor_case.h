// One plug of a device whose descriptors are arbitrary bytes: shared by the
// libFuzzer target and the suite's replay of the seed shapes and mutations.
// No GoogleTest here, so the fuzzer links without it.
#pragma once

#include <nt/ntdef.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace explore {

// Input bytes: the first gives the device descriptor's length n, the next n
// bytes are the device descriptor, the rest the configuration descriptor set.
struct DescriptorCase {
  std::vector<uint8_t> device;
  std::vector<uint8_t> configuration;
  std::string name;  // seeds only
};
DescriptorCase split_descriptor_input(const uint8_t* data, std::size_t size);
std::vector<uint8_t> join_descriptor_input(const DescriptorCase& c);

struct DescriptorOutcome {
  bool loaded = false;
  NTSTATUS start = STATUS_PENDING;  // STATUS_PENDING: not tried
  NTSTATUS open = STATUS_PENDING;
  bool answered = false;  // the write went out and the read brought the device's bytes
  std::string problems;   // empty: clean
};

// Loads the driver, plugs the device, starts it and, if it starts, opens
// the port, writes, reads, closes and removes it; unloads the driver and
// resets the kernel.  A start that fails must leave nothing; a port that
// opens must carry data or refuse with an error status.
DescriptorOutcome run_descriptor_case(const DescriptorCase& c);

// The three good layouts, then the first with one change each: every byte
// set to an odd value, every length cut, every descriptor dropped or moved.
std::vector<DescriptorCase> seed_descriptor_cases();

// One to four seeded edits of `c`, of the kinds the seed shapes make one
// at a time (a byte set or flipped, bytes cut or inserted, a descriptor
// duplicated, dropped or moved, wTotalLength changed).
DescriptorCase mutate_descriptor_case(const DescriptorCase& c, uint64_t seed);

}  // namespace explore
