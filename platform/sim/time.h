// Virtual time: 100 ns units since the machine started, as the kernel counts it.
#pragma once

#include <cstdint>

namespace sim {

using VTime = std::int64_t;

inline constexpr VTime kTicksPerMicrosecond = 10;
inline constexpr VTime kTicksPerMillisecond = 10'000;
inline constexpr VTime kTicksPerSecond = 10'000'000;

constexpr VTime microseconds(std::int64_t n) { return n * kTicksPerMicrosecond; }
constexpr VTime milliseconds(std::int64_t n) { return n * kTicksPerMillisecond; }
constexpr VTime seconds(std::int64_t n) { return n * kTicksPerSecond; }
constexpr std::int64_t to_milliseconds(VTime t) { return t / kTicksPerMillisecond; }

}  // namespace sim
