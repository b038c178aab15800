// The run's pseudo-random bytes (random: data and generated traffic).  Seeded from the run's seed
// and independent of the scheduler's own draws, so the same seed gives the same bytes.
#pragma once

#include <cstdint>
#include <vector>

namespace app {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    // splitmix64: the same sequence on every platform and library.
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  std::vector<std::uint8_t> bytes(std::size_t count) {
    std::vector<std::uint8_t> out(count);
    for (auto& b : out) b = static_cast<std::uint8_t>(next() >> 56);
    return out;
  }

 private:
  std::uint64_t state_;
};

}  // namespace app
