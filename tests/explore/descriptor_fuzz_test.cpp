// Descriptor fuzzing in the gcc builds: the seed shapes (the three good
// layouts and every one-change shape of the first), then seeded mutations
// of them, each plugged, started and, when it starts, used and removed.  The
// libFuzzer target (fuzz/descriptor_fuzzer.cpp, scripts/fuzz-descriptors)
// runs the same case on bytes of its own choosing.
#include "descriptor_case.h"
#include "explore.h"

namespace {

using namespace explore;

TEST(DescriptorFuzz, SeedShapesAndSeededMutationsStartCleanlyOrFailCleanly) {
  const std::vector<DescriptorCase> seeds = seed_descriptor_cases();
  const std::size_t n = seeds.size() + rounds(2150, 300000);
  Tally tally("descriptor seeds and mutations");
  std::size_t started = 0, answered = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool shape = i < seeds.size();
    const uint64_t seed = shape ? 0 : round_seed(0xD35C0000, i - seeds.size());
    const DescriptorCase c = shape ? seeds[i] : mutate_descriptor_case(seeds[seed % seeds.size()], seed);
    const DescriptorOutcome o = run_descriptor_case(c);
    started += NT_SUCCESS(o.start);
    answered += o.answered;
    if (!shape) {
      tally.record("seed " + std::to_string(seed), o.problems, seed);
      continue;
    }
    tally.record("seed \"" + c.name + "\"", o.problems);
    EXPECT_TRUE(o.answered || !c.name.starts_with("acm"))
        << "the good layout " << c.name << " must carry data";
  }
  tally.note(std::to_string(started) + " started, " + std::to_string(answered) + " carried data");
}

}  // namespace
