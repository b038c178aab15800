// The run's pseudo-random bytes (random: data and generated traffic).  Seeded from the run's seed
// and independent of the scheduler's own draws, so the same seed gives the same bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/sim/splitmix.h"

namespace app {

class Random {
 public:
  explicit Random(std::uint64_t seed) : generator_(seed) {}

  std::uint64_t next() { return generator_.next(); }

  std::vector<std::uint8_t> bytes(std::size_t count) {
    std::vector<std::uint8_t> out(count);
    for (auto& b : out) b = static_cast<std::uint8_t>(next() >> 56);
    return out;
  }

 private:
  sim::SplitMix64 generator_;
};

}  // namespace app
