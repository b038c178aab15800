// Key paths: the root names and their short forms, case folding, and the split into key names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace registry {

// Names compare as the registry compares them: ASCII letters without regard to case, every other
// byte as it is.
std::string fold(std::string_view name);
bool same_name(std::string_view a, std::string_view b);

// A key or value name the registry file can hold: no zero, no line break (a key name also no
// backslash, and it is never empty).
bool valid_value_name(std::string_view name);

struct KeyPath {
  std::string_view root;  // the long form: "HKEY_LOCAL_MACHINE"
  std::vector<std::string_view> names;
};

// nullopt when the path does not start with a root or holds an empty or invalid key name.
std::optional<KeyPath> parse_key_path(std::string_view path);

// Every root in the order a registry file lists them.
const std::vector<std::string_view>& root_names();

}  // namespace registry
