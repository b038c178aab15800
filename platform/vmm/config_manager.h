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

class ConfigManager {
 public:
  // Creates the root node ("HTREE\ROOT\0", hardware key "HKEY_LOCAL_MACHINE\Enum\HTREE\ROOT\0").
  explicit ConfigManager(registry::Registry& registry);
  ~ConfigManager();
  ConfigManager(const ConfigManager&) = delete;
  ConfigManager& operator=(const ConfigManager&) = delete;

  static ConfigManager& current();
  static bool exists();

  DEVNODE root() const;
  // Adds a child at the end of `parent`'s children.  `device_id` is the node's path below
  // "Enum" ("USB\VID_0C9E&PID_0200\INST1"); the hardware key is
  // "HKEY_LOCAL_MACHINE\Enum\" + device_id and is created when missing.
  DEVNODE add_node(DEVNODE parent, std::string_view device_id, ULONG status);
  // Removes the node and its subtree (the registry keys stay, as on the original).
  void remove_node(DEVNODE node);
  std::optional<ULONG> status(DEVNODE node) const;
  void set_status(DEVNODE node, ULONG status);
  std::string device_id(DEVNODE node) const;
  std::string hardware_key(DEVNODE node) const;
  std::vector<DEVNODE> children(DEVNODE node) const;

  // Makes CONFIGMG_Load_DLVxDs fail (CR_DLVXD_NOT_FOUND) until cleared.
  void fail_dlvxd_loads(bool fail);
  // The file names loaded so far, in order, with the node each was loaded for.
  const std::vector<std::pair<DEVNODE, std::string>>& dlvxd_loads() const;

  registry::Registry& registry();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vmm
