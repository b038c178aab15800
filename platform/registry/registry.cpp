#include "platform/registry/registry.h"

#include <algorithm>

#include "platform/registry/key_path.h"
#include "platform/registry/node.h"

namespace registry {
namespace {

auto find_value(std::vector<std::pair<std::string, Value>>& values, std::string_view name) {
  return std::find_if(values.begin(), values.end(),
                      [&](const auto& entry) { return same_name(entry.first, name); });
}

}  // namespace

Registry::Registry() : root_(std::make_unique<Node>()) {
  // The roots always exist; a registry file lists them only when they hold values.
  for (std::string_view name : root_names()) {
    auto node = std::make_unique<Node>();
    node->name = name;
    root_->children.emplace(fold(name), std::move(node));
  }
}

Registry::~Registry() = default;
Registry::Registry(Registry&&) noexcept = default;
Registry& Registry::operator=(Registry&&) noexcept = default;

Registry::Node* Registry::find(std::string_view path) const {
  const auto parsed = parse_key_path(path);
  if (!parsed) return nullptr;
  Node* node = root_->children.at(fold(parsed->root)).get();
  for (std::string_view name : parsed->names) {
    const auto it = node->children.find(fold(name));
    if (it == node->children.end()) return nullptr;
    node = it->second.get();
  }
  return node;
}

Registry::Node* Registry::find_or_create(std::string_view path) {
  const auto parsed = parse_key_path(path);
  if (!parsed) return nullptr;
  Node* node = root_->children.at(fold(parsed->root)).get();
  for (std::string_view name : parsed->names) {
    auto& child = node->children[fold(name)];
    if (!child) {
      child = std::make_unique<Node>();
      child->name = name;
    }
    node = child.get();
  }
  return node;
}

bool Registry::key_exists(std::string_view path) const { return find(path) != nullptr; }

bool Registry::create_key(std::string_view path) { return find_or_create(path) != nullptr; }

bool Registry::delete_key(std::string_view path) {
  const auto parsed = parse_key_path(path);
  if (!parsed || parsed->names.empty()) return false;  // a root cannot go
  const std::size_t slash = path.rfind('\\');
  Node* parent = find(path.substr(0, slash));
  return parent && parent->children.erase(fold(path.substr(slash + 1))) == 1;
}

std::optional<std::vector<std::string>> Registry::subkeys(std::string_view path) const {
  const Node* node = find(path);
  if (!node) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& [folded, child] : node->children) names.push_back(child->name);
  return names;
}

std::optional<std::vector<std::string>> Registry::value_names(std::string_view path) const {
  const Node* node = find(path);
  if (!node) return std::nullopt;
  std::vector<std::string> names;
  for (const auto& [name, value] : node->values) names.push_back(name);
  return names;
}

std::optional<Value> Registry::get(std::string_view path, std::string_view name) const {
  Node* node = find(path);
  if (!node) return std::nullopt;
  const auto it = find_value(node->values, name);
  if (it == node->values.end()) return std::nullopt;
  return it->second;
}

bool Registry::set(std::string_view path, std::string_view name, Value value) {
  if (!valid_value_name(name)) return false;
  Node* node = find_or_create(path);
  if (!node) return false;
  const auto it = find_value(node->values, name);
  if (it != node->values.end())
    it->second = std::move(value);  // the name keeps the case it was created with
  else
    node->values.emplace_back(std::string(name), std::move(value));
  return true;
}

bool Registry::erase(std::string_view path, std::string_view name) {
  Node* node = find(path);
  if (!node) return false;
  const auto it = find_value(node->values, name);
  if (it == node->values.end()) return false;
  node->values.erase(it);
  return true;
}

}  // namespace registry
