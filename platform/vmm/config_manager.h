// The Configuration Manager's device tree as the machine builds it: root, host controller, root
// hub and the devices plugged in, each with its hardware key in the registry.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/vmm/vmm.h"

namespace vmm {

// Node handles are small integers given out in creation order (the root is 1) and never reused,
// so that logs stay the same from run to run.  Members that take a node throw
// std::invalid_argument for one that does not exist, except status() and parent(), which answer
// nullopt and 0.
class ConfigManager {
 public:
  // Creates the root node ("HTREE\ROOT\0", hardware key "HKEY_LOCAL_MACHINE\Enum\HTREE\ROOT\0").
  // There is at most one at a time: a second one throws std::logic_error.
  explicit ConfigManager(registry::Registry& registry);
  ~ConfigManager();
  ConfigManager(const ConfigManager&) = delete;
  ConfigManager& operator=(const ConfigManager&) = delete;

  // Throws std::logic_error when there is none.
  static ConfigManager& current();
  static bool exists();

  DEVNODE root() const;
  // Adds a child at the end of `parent`'s children.  `device_id` is the node's path below
  // "Enum" ("USB\VID_0C9E&PID_0200\INST1"); the hardware key is
  // "HKEY_LOCAL_MACHINE\Enum\" + device_id and is created when missing.  Throws
  // std::invalid_argument for a device ID that another node has or that is no valid key path.
  DEVNODE add_node(DEVNODE parent, std::string_view device_id, ULONG status);
  // Removes the node and its subtree (the registry keys stay, as on the original).
  void remove_node(DEVNODE node);
  std::optional<ULONG> status(DEVNODE node) const;
  void set_status(DEVNODE node, ULONG status);
  std::string device_id(DEVNODE node) const;
  std::string hardware_key(DEVNODE node) const;
  std::vector<DEVNODE> children(DEVNODE node) const;
  // The node's parent; 0 for the root and for a node that does not exist.
  DEVNODE parent(DEVNODE node) const;
  // The node with this device ID, compared without regard to case; 0 when there is none.
  DEVNODE find(std::string_view device_id) const;

  // Makes CONFIGMG_Load_DLVxDs fail (CR_DLVXD_NOT_FOUND) until cleared.
  void fail_dlvxd_loads(bool fail);
  // Loads the comma-separated file names for the node (blanks around a name do not count):
  // records each and returns true, or records nothing and returns false while loads fail or when
  // there is no name.
  bool load_dlvxds(DEVNODE node, std::string_view file_names);
  // The file names loaded so far, in order, with the node each was loaded for.
  const std::vector<std::pair<DEVNODE, std::string>>& dlvxd_loads() const;

  registry::Registry& registry();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vmm
