// libFuzzer target: the fuzzer's bytes become a device's descriptors (see
// descriptor_case.h for the layout), the device is plugged and started and,
// if it starts, its port is used and removed.  Any verifier finding, leak or
// dishonest answer aborts, so libFuzzer keeps the input.
//
// When the first corpus directory named on the command line is empty, the
// seed shapes are written into it first.
#include <emu/kernel.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "descriptor_case.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  namespace fs = std::filesystem;
  for (int i = 1; i < *argc; ++i) {
    const char* arg = (*argv)[i];
    if (arg[0] == '-') continue;
    std::error_code ec;
    fs::create_directories(arg, ec);
    if (!fs::is_empty(arg, ec)) break;
    int n = 0;
    for (const auto& c : explore::seed_descriptor_cases()) {
      const auto bytes = explore::join_descriptor_input(c);
      std::ofstream(fs::path(arg) / ("seed-" + std::to_string(n++)), std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::fprintf(stderr, "descriptor_fuzzer: %d seed shapes written to %s\n", n, arg);
    break;
  }
  emu::trace::echo(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const explore::DescriptorOutcome o =
      explore::run_descriptor_case(explore::split_descriptor_input(data, size));
  if (!o.problems.empty()) {
    std::fprintf(stderr, "descriptor_fuzzer: %s\n", o.problems.c_str());
    std::abort();
  }
  return 0;
}
