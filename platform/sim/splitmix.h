// A small seeded generator whose sequence is fixed by its seed on every platform and library
// version (the standard distributions are not), so that a seed replays the same draws.
#pragma once

#include <cstdint>

namespace sim {

class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  bool coin() { return (next() >> 63) != 0; }

 private:
  std::uint64_t state_;
};

}  // namespace sim
