// splitmix64: small, fast and the same everywhere, so a printed seed replays
// the same case on any machine.  No GoogleTest here: the fuzz targets use it.
#pragma once

#include <cstdint>

namespace explore {

class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [lo, hi].
  uint64_t in(uint64_t lo, uint64_t hi) { return lo + next() % (hi - lo + 1); }
  bool chance(unsigned percent) { return next() % 100 < percent; }

 private:
  uint64_t state_;
};

}  // namespace explore
