#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/registry/registry.h"
#include "platform/vmm/config_manager.h"

namespace {

using vmm::ConfigManager;

TEST(ConfigManager, BuildsTheTreeWithHandlesInCreationOrder) {
  registry::Registry registry;
  ConfigManager cm(registry);
  ASSERT_TRUE(ConfigManager::exists());
  EXPECT_EQ(&ConfigManager::current(), &cm);
  EXPECT_EQ(&cm.registry(), &registry);

  const DEVNODE root = cm.root();
  EXPECT_EQ(root, 1u);
  EXPECT_EQ(cm.device_id(root), "HTREE\\ROOT\\0");
  EXPECT_EQ(cm.hardware_key(root), "HKEY_LOCAL_MACHINE\\Enum\\HTREE\\ROOT\\0");
  EXPECT_TRUE(registry.key_exists("HKLM\\Enum\\HTREE\\ROOT\\0"));

  const DEVNODE hc = cm.add_node(root, "PCI\\VEN_8086&DEV_7112\\0", DN_STARTED);
  const DEVNODE hub = cm.add_node(hc, "USB\\ROOT_HUB\\0", DN_STARTED);
  const DEVNODE other = cm.add_node(root, "ROOT\\PRINTER\\0000", 0);
  const DEVNODE adapter = cm.add_node(hub, "USB\\VID_0C9E&PID_0200\\INST1", DN_NEED_TO_ENUM);
  EXPECT_EQ((std::vector<DEVNODE>{hc, hub, other, adapter}), (std::vector<DEVNODE>{2, 3, 4, 5}));
  EXPECT_EQ(cm.children(root), (std::vector<DEVNODE>{hc, other}));
  EXPECT_EQ(cm.children(hub), std::vector<DEVNODE>{adapter});
  EXPECT_EQ(cm.parent(adapter), hub);
  EXPECT_EQ(cm.parent(root), 0u);
  EXPECT_EQ(cm.hardware_key(adapter), "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0C9E&PID_0200\\INST1");
  EXPECT_TRUE(registry.key_exists("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0C9E&PID_0200\\INST1"));
  EXPECT_EQ(cm.find("usb\\vid_0c9e&pid_0200\\inst1"), adapter);
  EXPECT_EQ(cm.find("USB\\VID_0C9E&PID_0200\\INST2"), 0u);

  EXPECT_EQ(cm.status(adapter), DN_NEED_TO_ENUM);
  cm.set_status(adapter, DN_STARTED | DN_NOT_FIRST_TIME);
  EXPECT_EQ(cm.status(adapter), DN_STARTED | DN_NOT_FIRST_TIME);
}

TEST(ConfigManager, RemovingANodeTakesItsSubtreeButNotItsKeys) {
  registry::Registry registry;
  ConfigManager cm(registry);
  const DEVNODE hub = cm.add_node(cm.root(), "USB\\ROOT_HUB\\0", 0);
  const DEVNODE adapter = cm.add_node(hub, "USB\\VID_0C9E&PID_0200\\INST1", 0);
  const DEVNODE after = cm.add_node(cm.root(), "ROOT\\OTHER\\0", 0);
  registry.set(cm.hardware_key(adapter), "PortNumber", registry::Value::string("5"));

  cm.remove_node(hub);
  EXPECT_EQ(cm.children(cm.root()), std::vector<DEVNODE>{after});
  EXPECT_FALSE(cm.status(hub));
  EXPECT_FALSE(cm.status(adapter));
  EXPECT_EQ(cm.parent(adapter), 0u);
  EXPECT_TRUE(registry.get("HKLM\\Enum\\USB\\VID_0C9E&PID_0200\\INST1", "PortNumber"));

  // Plugged in again: the same device ID, a new handle, the old key and its values.
  const DEVNODE again = cm.add_node(cm.root(), "USB\\VID_0C9E&PID_0200\\INST1", 0);
  EXPECT_EQ(again, 5u);
  EXPECT_TRUE(registry.get(cm.hardware_key(again), "PortNumber"));
}

TEST(ConfigManager, RefusesWhatCannotBe) {
  registry::Registry registry;
  ConfigManager cm(registry);
  const DEVNODE node = cm.add_node(cm.root(), "USB\\A\\1", 0);
  EXPECT_THROW(ConfigManager{registry}, std::logic_error);
  EXPECT_THROW(cm.add_node(99, "USB\\B\\1", 0), std::invalid_argument);
  EXPECT_THROW(cm.add_node(cm.root(), "usb\\a\\1", 0), std::invalid_argument);  // already there
  EXPECT_THROW(cm.add_node(cm.root(), "", 0), std::invalid_argument);
  EXPECT_THROW(cm.add_node(cm.root(), "USB\\\\1", 0), std::invalid_argument);
  EXPECT_THROW(cm.remove_node(cm.root()), std::invalid_argument);
  EXPECT_THROW(cm.remove_node(0), std::invalid_argument);
  EXPECT_THROW(cm.set_status(42, 0), std::invalid_argument);
  EXPECT_THROW(cm.device_id(42), std::invalid_argument);
  EXPECT_THROW(cm.children(42), std::invalid_argument);
  EXPECT_EQ(cm.children(cm.root()), std::vector<DEVNODE>{node});  // nothing half-added
  EXPECT_EQ(cm.add_node(cm.root(), "USB\\B\\1", 0), 3u);
}

TEST(ConfigManager, OnlyWhileItExists) {
  EXPECT_FALSE(ConfigManager::exists());
  EXPECT_THROW(ConfigManager::current(), std::logic_error);
  registry::Registry registry;
  {
    ConfigManager cm(registry);
    EXPECT_TRUE(ConfigManager::exists());
  }
  EXPECT_FALSE(ConfigManager::exists());
  ConfigManager next(registry);  // a new machine may start once the old one is gone
  EXPECT_TRUE(ConfigManager::exists());
}

}  // namespace
