// How results show numbers and data: "0x3" for hex fields, "0xc000000d" for NTSTATUS values,
// "hex:0A0B" for data, and quoted text with C escapes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace app {

std::string hex(std::uint64_t value);             // "0x0", "0x40001"
std::string hex8(std::uint32_t value);            // "0x00000103"
std::string hex_digits(std::span<const std::uint8_t> bytes);  // "0A0B"
std::string hex_data(std::span<const std::uint8_t> bytes);    // "hex:0A0B"
// The text with control and non-ASCII bytes as \xHH, for messages that quote what a script said.
std::string printable(std::string_view text);
// "\"text\"" as a script would write it: \" for quotes, a backslash as itself (doubled only before
// a backslash, a quote or the end), \r \n \t, and \xHH for other control or non-ASCII bytes.
std::string quote(std::string_view text);

}  // namespace app
