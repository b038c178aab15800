#include "platform/vmm/config_manager.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>
#include <utility>

namespace vmm {
namespace {

constexpr std::string_view kRootDeviceId = "HTREE\\ROOT\\0";
constexpr std::string_view kEnumKey = "HKEY_LOCAL_MACHINE\\Enum\\";

ConfigManager* g_current = nullptr;

bool same_id(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

struct ConfigManager::Impl {
  struct Node {
    std::string device_id;
    ULONG status = 0;
    DEVNODE parent = 0;
    std::vector<DEVNODE> children;
  };

  explicit Impl(registry::Registry& r) : registry(r) {}

  const Node* find(DEVNODE handle) const {
    if (handle == 0 || handle > nodes.size() || !nodes[handle - 1]) return nullptr;
    return &*nodes[handle - 1];
  }
  Node* find(DEVNODE handle) { return const_cast<Node*>(std::as_const(*this).find(handle)); }
  const Node& get(DEVNODE handle) const {
    const Node* node = find(handle);
    if (node == nullptr) throw std::invalid_argument("no device node " + std::to_string(handle));
    return *node;
  }
  Node& get(DEVNODE handle) { return const_cast<Node&>(std::as_const(*this).get(handle)); }

  DEVNODE add(DEVNODE parent, std::string_view device_id, ULONG status) {
    if (device_id.empty()) throw std::invalid_argument("a device node needs a device ID");
    for (const auto& node : nodes) {
      if (node && same_id(node->device_id, device_id)) {
        throw std::invalid_argument("device ID already in the tree: " + std::string(device_id));
      }
    }
    if (!registry.create_key(std::string(kEnumKey) + std::string(device_id))) {
      throw std::invalid_argument("not a valid device ID: " + std::string(device_id));
    }
    nodes.push_back(Node{std::string(device_id), status, parent, {}});
    const auto handle = static_cast<DEVNODE>(nodes.size());
    if (parent != 0) get(parent).children.push_back(handle);
    return handle;
  }

  void remove(DEVNODE handle) {
    for (const DEVNODE child : get(handle).children) remove(child);
    nodes[handle - 1].reset();
  }

  registry::Registry& registry;
  std::vector<std::optional<Node>> nodes;  // handle h is nodes[h - 1]
  bool fail_loads = false;
  std::vector<std::pair<DEVNODE, std::string>> loads;
};

ConfigManager::ConfigManager(registry::Registry& registry) : impl_(std::make_unique<Impl>(registry)) {
  if (g_current != nullptr) throw std::logic_error("a Configuration Manager exists already");
  impl_->add(0, kRootDeviceId, DN_DRIVER_LOADED | DN_STARTED);
  g_current = this;
}

ConfigManager::~ConfigManager() {
  if (g_current == this) g_current = nullptr;
}

ConfigManager& ConfigManager::current() {
  if (g_current == nullptr) throw std::logic_error("no Configuration Manager exists");
  return *g_current;
}

bool ConfigManager::exists() { return g_current != nullptr; }

DEVNODE ConfigManager::root() const { return 1; }

DEVNODE ConfigManager::add_node(DEVNODE parent, std::string_view device_id, ULONG status) {
  impl_->get(parent);
  return impl_->add(parent, device_id, status);
}

void ConfigManager::remove_node(DEVNODE node) {
  if (node == root()) throw std::invalid_argument("the root of the device tree cannot be removed");
  auto& siblings = impl_->get(impl_->get(node).parent).children;
  siblings.erase(std::find(siblings.begin(), siblings.end(), node));
  impl_->remove(node);
}

std::optional<ULONG> ConfigManager::status(DEVNODE node) const {
  const auto* found = impl_->find(node);
  if (found == nullptr) return std::nullopt;
  return found->status;
}

void ConfigManager::set_status(DEVNODE node, ULONG status) { impl_->get(node).status = status; }

std::string ConfigManager::device_id(DEVNODE node) const { return impl_->get(node).device_id; }

std::string ConfigManager::hardware_key(DEVNODE node) const {
  return std::string(kEnumKey) + impl_->get(node).device_id;
}

std::vector<DEVNODE> ConfigManager::children(DEVNODE node) const { return impl_->get(node).children; }

DEVNODE ConfigManager::parent(DEVNODE node) const {
  const auto* found = impl_->find(node);
  return found == nullptr ? 0 : found->parent;
}

DEVNODE ConfigManager::find(std::string_view device_id) const {
  for (std::size_t i = 0; i < impl_->nodes.size(); ++i) {
    const auto& node = impl_->nodes[i];
    if (node && same_id(node->device_id, device_id)) return static_cast<DEVNODE>(i + 1);
  }
  return 0;
}

void ConfigManager::fail_dlvxd_loads(bool fail) { impl_->fail_loads = fail; }

bool ConfigManager::load_dlvxds(DEVNODE node, std::string_view file_names) {
  impl_->get(node);
  std::vector<std::string> names;
  for (std::size_t start = 0; start <= file_names.size();) {
    auto end = file_names.find(',', start);
    if (end == std::string_view::npos) end = file_names.size();
    if (const auto name = trimmed(file_names.substr(start, end - start)); !name.empty()) names.emplace_back(name);
    start = end + 1;
  }
  if (impl_->fail_loads || names.empty()) return false;
  for (auto& name : names) impl_->loads.emplace_back(node, std::move(name));
  return true;
}

const std::vector<std::pair<DEVNODE, std::string>>& ConfigManager::dlvxd_loads() const { return impl_->loads; }

registry::Registry& ConfigManager::registry() { return impl_->registry; }

}  // namespace vmm
