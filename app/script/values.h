// The value forms of script arguments: text, numbers, durations and data.  Each parser takes the
// word as written and throws ScriptError with a message that quotes it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/time.h"

namespace app {

class Random;

// Bare text as written, or a quoted string.  Inside quotes only \" and \\ are escapes; any
// other backslash stays, so registry paths need no doubling: "Enum\USB\VID_0C9E&PID_0200".
std::string parse_text(std::string_view word);

// Decimal or 0x hex, at most `max`.
std::uint64_t parse_number(std::string_view word, std::uint64_t max = UINT64_MAX);

// "250ms" or "5s".
sim::VTime parse_duration(std::string_view word);

// "text" with the C escapes \r \n \t \\ \" \xHH, hex:0A0B0C, or random:N (N bytes drawn from
// `random`).
std::vector<std::uint8_t> parse_data(std::string_view word, Random& random);

inline constexpr std::uint64_t kMaxDataBytes = 1 << 20;

}  // namespace app
