// Descriptor fuzzing in the gcc builds: the seed shapes (the three good
// layouts and the known-bad ones) and seeded mutations of them, each plugged,
// started and, when it starts, used and removed.  The libFuzzer target
// (fuzz/descriptor_fuzzer.cpp, scripts/fuzz-descriptors) runs the same case
// on bytes of its own choosing.
#include "descriptor_case.h"
#include "explore.h"

namespace {

using namespace explore;

TEST(DescriptorFuzz, SeedShapesStartCleanlyOrFailCleanly) {
  Tally tally("descriptor seeds");
  std::size_t started = 0, answered = 0;
  for (const DescriptorCase& c : seed_descriptor_cases()) {
    DescriptorOutcome o = run_descriptor_case(c);
    if (NT_SUCCESS(o.start)) ++started;
    if (o.answered) ++answered;
    if (o.problems.empty()) {
      tally.clean();
    } else {
      tally.failing("seed \"" + c.name + "\"", o.problems);
    }
    if (c.name.starts_with("acm")) {
      EXPECT_TRUE(o.answered) << "the good layout " << c.name << " must carry data";
    }
  }
  tally.note(std::to_string(started) + " started, " + std::to_string(answered) + " carried data");
}

TEST(DescriptorFuzz, SeededMutationsStartCleanlyOrFailCleanly) {
  const std::vector<DescriptorCase> seeds = seed_descriptor_cases();
  const std::size_t n = rounds(3000, 300000);
  Tally tally("descriptor mutations");
  std::size_t started = 0, answered = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const uint64_t seed = round_seed(0xD35C0000, i);
    DescriptorCase c = mutate_descriptor_case(seeds[seed % seeds.size()], seed);
    DescriptorOutcome o = run_descriptor_case(c);
    if (NT_SUCCESS(o.start)) ++started;
    if (o.answered) ++answered;
    if (o.problems.empty()) {
      tally.clean();
    } else {
      tally.failing("seed " + std::to_string(seed), o.problems + "\n    replay: " + replay_command(seed));
    }
  }
  tally.note(std::to_string(started) + " started, " + std::to_string(answered) + " carried data");
}

}  // namespace
