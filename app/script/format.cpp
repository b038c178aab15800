#include "app/script/format.h"

#include <cstdio>

namespace app {

std::string hex(std::uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
  return buf;
}

std::string hex8(std::uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08x", value);
  return buf;
}

std::string hex_digits(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0xF]);
  }
  return out;
}

std::string hex_data(std::span<const std::uint8_t> bytes) { return "hex:" + hex_digits(bytes); }

namespace {

// Appends one character as it may stand in a result line: control and non-ASCII bytes as \xHH.
void append_visible(std::string& out, char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u < 0x20 || u >= 0x7F) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\x%02X", u);
    out += buf;
  } else {
    out.push_back(c);
  }
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  for (char c : text) append_visible(out, c);
  return out;
}

std::string quote(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': {
        // As scripts write names and keys: a backslash stands for itself ("Enum\USB"), and is
        // doubled only where it would otherwise read as an escape or end the quotes.
        const bool escape = i + 1 == text.size() || text[i + 1] == '\\' || text[i + 1] == '"';
        out += escape ? "\\\\" : "\\";
        break;
      }
      default: append_visible(out, c);
    }
  }
  return out + "\"";
}

}  // namespace app
