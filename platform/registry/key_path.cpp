#include "platform/registry/key_path.h"

#include <algorithm>
#include <array>

namespace registry {
namespace {

char fold_char(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

struct RootAlias {
  std::string_view alias;
  std::string_view root;
};

constexpr std::array<RootAlias, 5> kShortForms{{{"HKLM", "HKEY_LOCAL_MACHINE"},
                                                {"HKCU", "HKEY_CURRENT_USER"},
                                                {"HKU", "HKEY_USERS"},
                                                {"HKCR", "HKEY_CLASSES_ROOT"},
                                                {"HKCC", "HKEY_CURRENT_CONFIG"}}};

std::optional<std::string_view> root_of(std::string_view name) {
  for (std::string_view root : root_names())
    if (same_name(name, root)) return root;
  for (const RootAlias& a : kShortForms)
    if (same_name(name, a.alias)) return a.root;
  return std::nullopt;
}

bool valid_key_name(std::string_view name) {
  return !name.empty() && valid_value_name(name) && name.find('\\') == std::string_view::npos;
}

}  // namespace

std::string fold(std::string_view name) {
  std::string out(name);
  std::transform(out.begin(), out.end(), out.begin(), fold_char);
  return out;
}

bool same_name(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return fold_char(x) == fold_char(y); });
}

bool valid_value_name(std::string_view name) {
  return name.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

const std::vector<std::string_view>& root_names() {
  // Sorted without regard to case, like the keys below them.
  static const std::vector<std::string_view> roots{"HKEY_CLASSES_ROOT", "HKEY_CURRENT_CONFIG",
                                                   "HKEY_CURRENT_USER", "HKEY_DYN_DATA",
                                                   "HKEY_LOCAL_MACHINE", "HKEY_USERS"};
  return roots;
}

std::optional<KeyPath> parse_key_path(std::string_view path) {
  KeyPath out;
  std::size_t start = 0;
  bool first = true;
  while (true) {
    const std::size_t end = path.find('\\', start);
    const std::string_view part =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (first) {
      const auto root = root_of(part);
      if (!root) return std::nullopt;
      out.root = *root;
      first = false;
    } else {
      if (!valid_key_name(part)) return std::nullopt;
      out.names.push_back(part);
    }
    if (end == std::string_view::npos) return out;
    start = end + 1;
  }
}

}  // namespace registry
