#include <algorithm>

#include "platform/registry/registry.h"

namespace registry {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace

Value Value::string(std::string_view text) {
  Value v{Type::Sz, bytes_of(text)};
  v.data.push_back(0);
  return v;
}

Value Value::expand_string(std::string_view text) {
  Value v = string(text);
  v.type = Type::ExpandSz;
  return v;
}

Value Value::multi_string(const std::vector<std::string>& texts) {
  Value v{Type::MultiSz, {}};
  for (const std::string& text : texts) {
    v.data.insert(v.data.end(), text.begin(), text.end());
    v.data.push_back(0);
  }
  v.data.push_back(0);
  return v;
}

Value Value::dword(std::uint32_t n) {
  return Value{Type::Dword,
               {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)}};
}

Value Value::binary(std::vector<std::uint8_t> bytes) { return Value{Type::Binary, std::move(bytes)}; }

std::optional<std::string> Value::as_string() const {
  if (type != Type::Sz && type != Type::ExpandSz) return std::nullopt;
  const auto end = std::find(data.begin(), data.end(), std::uint8_t{0});
  return std::string(data.begin(), end);
}

std::optional<std::uint32_t> Value::as_dword() const {
  if (type != Type::Dword || data.size() != 4) return std::nullopt;
  return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
         static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

}  // namespace registry
