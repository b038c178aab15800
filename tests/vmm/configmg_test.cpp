#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "platform/registry/registry.h"
#include "platform/vmm/config_manager.h"
#include "platform/vmm/vmm.h"

namespace {

using registry::Value;

// root ─┬─ hc ── hub ─┬─ adapter
//       │             └─ mouse
//       └─ printer
class Configmg : public ::testing::Test {
 protected:
  registry::Registry registry;
  vmm::ConfigManager cm{registry};
  DEVNODE root = cm.root();
  DEVNODE hc = cm.add_node(root, "PCI\\VEN_8086&DEV_7112\\0", DN_STARTED);
  DEVNODE hub = cm.add_node(hc, "USB\\ROOT_HUB\\0", DN_STARTED);
  DEVNODE adapter = cm.add_node(hub, "USB\\VID_0C9E&PID_0200\\INST1", DN_NEED_TO_ENUM);
  DEVNODE mouse = cm.add_node(hub, "USB\\VID_046D&PID_C001\\0", DN_STARTED);
  DEVNODE printer = cm.add_node(root, "ROOT\\PRINTER\\0000", DN_STARTED);
};

TEST_F(Configmg, WalksTheTree) {
  struct Step {
    CONFIGRET (*service)(DEVNODE*, DEVNODE, ULONG);
    DEVNODE from;
    CONFIGRET result;
    DEVNODE to;
  };
  const Step steps[] = {
      {CONFIGMG_Get_Child, root, CR_SUCCESS, hc},        {CONFIGMG_Get_Child, hub, CR_SUCCESS, adapter},
      {CONFIGMG_Get_Child, adapter, CR_NO_SUCH_DEVNODE, 0}, {CONFIGMG_Get_Sibling, adapter, CR_SUCCESS, mouse},
      {CONFIGMG_Get_Sibling, mouse, CR_NO_SUCH_DEVNODE, 0}, {CONFIGMG_Get_Sibling, hc, CR_SUCCESS, printer},
      {CONFIGMG_Get_Sibling, root, CR_NO_SUCH_DEVNODE, 0},  {CONFIGMG_Get_Parent, mouse, CR_SUCCESS, hub},
      {CONFIGMG_Get_Parent, printer, CR_SUCCESS, root},     {CONFIGMG_Get_Parent, root, CR_NO_SUCH_DEVNODE, 0},
  };
  for (const auto& step : steps) {
    DEVNODE out = 77;
    EXPECT_EQ(step.service(&out, step.from, 0), step.result) << step.from;
    EXPECT_EQ(out, step.to) << step.from;
  }
}

TEST_F(Configmg, WalkRefusesBadArguments) {
  cm.remove_node(mouse);
  for (auto* service : {CONFIGMG_Get_Child, CONFIGMG_Get_Sibling, CONFIGMG_Get_Parent}) {
    DEVNODE out = 77;
    EXPECT_EQ(service(&out, 0, 0), CR_INVALID_DEVNODE);
    EXPECT_EQ(service(&out, mouse, 0), CR_INVALID_DEVNODE);  // removed
    EXPECT_EQ(service(&out, 99, 0), CR_INVALID_DEVNODE);
    EXPECT_EQ(service(nullptr, hub, 0), CR_INVALID_POINTER);
    EXPECT_EQ(service(&out, hub, 1), CR_INVALID_FLAG);
    EXPECT_EQ(out, 77u);
  }
  DEVNODE out = 0;
  EXPECT_EQ(CONFIGMG_Get_Sibling(&out, adapter, 0), CR_NO_SUCH_DEVNODE);  // the removed one is gone
}

TEST_F(Configmg, DepthFirstWalkVisitsEveryNodeOnce) {
  // The shell's walk: each node, then its children, then its next sibling, climbing back up.
  std::vector<DEVNODE> visited;
  DEVNODE node = 0;
  ASSERT_EQ(CONFIGMG_Locate_DevNode(&node, nullptr, 0), CR_SUCCESS);
  for (;;) {
    visited.push_back(node);
    DEVNODE next = 0;
    if (CONFIGMG_Get_Child(&next, node, 0) == CR_SUCCESS) {
      node = next;
      continue;
    }
    while (CONFIGMG_Get_Sibling(&next, node, 0) != CR_SUCCESS) {
      if (CONFIGMG_Get_Parent(&node, node, 0) != CR_SUCCESS || node == root) break;
    }
    if (node == root || next == 0) break;
    node = next;
  }
  EXPECT_EQ(visited, (std::vector<DEVNODE>{root, hc, hub, adapter, mouse, printer}));
}

TEST_F(Configmg, LocatesNodes) {
  DEVNODE node = 0;
  EXPECT_EQ(CONFIGMG_Locate_DevNode(&node, nullptr, 0), CR_SUCCESS);
  EXPECT_EQ(node, root);
  EXPECT_EQ(CONFIGMG_Locate_DevNode(&node, "", 0), CR_SUCCESS);
  EXPECT_EQ(node, root);
  EXPECT_EQ(CONFIGMG_Locate_DevNode(&node, "usb\\VID_0c9e&PID_0200\\inst1", 0), CR_SUCCESS);
  EXPECT_EQ(node, adapter);
  EXPECT_EQ(CONFIGMG_Locate_DevNode(&node, "USB\\VID_0C9E&PID_0200\\INST9", 0), CR_NO_SUCH_DEVNODE);
  EXPECT_EQ(node, 0u);
  EXPECT_EQ(CONFIGMG_Locate_DevNode(nullptr, nullptr, 0), CR_INVALID_POINTER);
  EXPECT_EQ(CONFIGMG_Locate_DevNode(&node, nullptr, 4), CR_INVALID_FLAG);
}

TEST_F(Configmg, ReadsRegistryValues) {
  const auto key = cm.hardware_key(adapter);
  registry.set(key, "Class", Value::string("USB"));
  registry.set(key, "PortNumber", Value::string("128"));
  registry.set(key, "Empty", Value::string(""));
  registry.set(key, "Flags", Value::dword(0x12345678));
  registry.set(key + "\\Device Parameters", "PortName", Value::string("COM5"));
  registry.set(key, "", Value::string("default"));

  struct Case {
    const char* subkey;
    const char* name;
    ULONG type;
    ULONG buffer_size;
    CONFIGRET result;
    std::string data;  // the bytes stored, terminating zeros included
    ULONG length;      // *pulLength afterwards
  };
  using namespace std::string_literals;
  const Case cases[] = {
      {nullptr, "PortNumber", REG_SZ, 4, CR_SUCCESS, "128\0"s, 4},
      {"", "PortNumber", REG_SZ, 200, CR_SUCCESS, "128\0"s, 4},
      {nullptr, "portnumber", REG_SZ, 4, CR_SUCCESS, "128\0"s, 4},
      {nullptr, "Empty", REG_SZ, 4, CR_SUCCESS, "\0"s, 1},
      {nullptr, nullptr, REG_SZ, 200, CR_SUCCESS, "default\0"s, 8},
      {nullptr, "Flags", REG_DWORD, 4, CR_SUCCESS, "\x78\x56\x34\x12"s, 4},
      {"Device Parameters", "PortName", REG_SZ, 200, CR_SUCCESS, "COM5\0"s, 5},
      {nullptr, "PortNumber", REG_SZ, 3, CR_BUFFER_SMALL, "", 4},
      {nullptr, "PortNumber", REG_SZ, 0, CR_BUFFER_SMALL, "", 4},
      {nullptr, "Missing", REG_SZ, 200, CR_NO_SUCH_VALUE, "", 200},
      {"No Such Key", "PortName", REG_SZ, 200, CR_NO_SUCH_VALUE, "", 200},
      {nullptr, "Flags", REG_SZ, 200, CR_WRONG_TYPE, "", 200},
      {nullptr, "Class", REG_BINARY, 200, CR_WRONG_TYPE, "", 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name == nullptr ? "(default)" : c.name);
    std::array<char, 200> buffer;
    buffer.fill('#');
    ULONG length = c.buffer_size;
    EXPECT_EQ(CONFIGMG_Read_Registry_Value(adapter, c.subkey, c.name, c.type, buffer.data(), &length, 0), c.result);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(std::string(buffer.data(), c.data.size()), c.data);
    EXPECT_EQ(buffer[c.data.size()], '#');  // nothing written past the value (or at all on failure)
  }
}

TEST_F(Configmg, ReadRegistryValueRefusesBadArguments) {
  registry.set(cm.hardware_key(adapter), "PortNumber", Value::string("5"));
  char buffer[8] = {};
  ULONG length = sizeof buffer;
  EXPECT_EQ(CONFIGMG_Read_Registry_Value(99, nullptr, "PortNumber", REG_SZ, buffer, &length, 0), CR_INVALID_DEVNODE);
  EXPECT_EQ(CONFIGMG_Read_Registry_Value(adapter, nullptr, "PortNumber", REG_SZ, nullptr, &length, 0),
            CR_INVALID_POINTER);
  EXPECT_EQ(CONFIGMG_Read_Registry_Value(adapter, nullptr, "PortNumber", REG_SZ, buffer, nullptr, 0),
            CR_INVALID_POINTER);
  EXPECT_EQ(CONFIGMG_Read_Registry_Value(adapter, nullptr, "PortNumber", REG_SZ, buffer, &length, 8),
            CR_INVALID_FLAG);
  EXPECT_EQ(length, sizeof buffer);
}

TEST_F(Configmg, SoftwareKeyIsTheDriverKey) {
  char buffer[16] = {};
  ULONG length = sizeof buffer;
  EXPECT_EQ(CONFIGMG_Read_Registry_Value(adapter, nullptr, "PortDriver", REG_SZ, buffer, &length,
                                         CM_REGISTRY_SOFTWARE),
            CR_NO_SUCH_REGISTRY_KEY);
  registry.set(cm.hardware_key(adapter), "Driver", Value::string("Ports\\0001"));
  registry.set("HKLM\\System\\CurrentControlSet\\Services\\Class\\Ports\\0001", "PortDriver",
               Value::string("KRLUSB.SYS"));
  EXPECT_EQ(CONFIGMG_Read_Registry_Value(adapter, nullptr, "PortDriver", REG_SZ, buffer, &length,
                                         CM_REGISTRY_SOFTWARE),
            CR_SUCCESS);
  EXPECT_STREQ(buffer, "KRLUSB.SYS");
  EXPECT_EQ(length, 11u);
}

TEST_F(Configmg, NodeStatus) {
  ULONG status = 0;
  ULONG problem = 99;
  EXPECT_EQ(CONFIGMG_Get_DevNode_Status(&status, &problem, adapter, 0), CR_SUCCESS);
  EXPECT_EQ(status, DN_NEED_TO_ENUM);
  EXPECT_EQ(problem, 0u);
  cm.set_status(adapter, DN_NEED_TO_ENUM | DN_NOT_FIRST_TIME);
  EXPECT_EQ(CONFIGMG_Get_DevNode_Status(&status, &problem, adapter, 0), CR_SUCCESS);
  EXPECT_EQ(status, DN_NEED_TO_ENUM | DN_NOT_FIRST_TIME);

  EXPECT_EQ(CONFIGMG_Get_DevNode_Status(&status, &problem, 99, 0), CR_INVALID_DEVNODE);
  EXPECT_EQ(CONFIGMG_Get_DevNode_Status(nullptr, &problem, adapter, 0), CR_INVALID_POINTER);
  EXPECT_EQ(CONFIGMG_Get_DevNode_Status(&status, nullptr, adapter, 0), CR_INVALID_POINTER);
  EXPECT_EQ(CONFIGMG_Get_DevNode_Status(&status, &problem, adapter, 2), CR_INVALID_FLAG);
}

TEST_F(Configmg, LoadsDynamicDevicesUnlessToldToFail) {
  using Loads = std::vector<std::pair<DEVNODE, std::string>>;
  EXPECT_EQ(CONFIGMG_Load_DLVxDs(adapter, "kelenum.vxd", DLVXD_LOAD_DRIVER, 0), CR_SUCCESS);
  EXPECT_EQ(CONFIGMG_Load_DLVxDs(hub, "a.vxd, b.vxd,,", DLVXD_LOAD_ENUMERATOR, 0), CR_SUCCESS);
  EXPECT_EQ(cm.dlvxd_loads(), (Loads{{adapter, "kelenum.vxd"}, {hub, "a.vxd"}, {hub, "b.vxd"}}));

  cm.fail_dlvxd_loads(true);
  EXPECT_EQ(CONFIGMG_Load_DLVxDs(adapter, "kelenum.vxd", DLVXD_LOAD_DRIVER, 0), CR_DLVXD_NOT_FOUND);
  cm.fail_dlvxd_loads(false);
  EXPECT_EQ(CONFIGMG_Load_DLVxDs(adapter, " , ", DLVXD_LOAD_DRIVER, 0), CR_DLVXD_NOT_FOUND);
  EXPECT_EQ(CONFIGMG_Load_DLVxDs(adapter, nullptr, DLVXD_LOAD_DRIVER, 0), CR_INVALID_POINTER);
  EXPECT_EQ(CONFIGMG_Load_DLVxDs(99, "kelenum.vxd", DLVXD_LOAD_DRIVER, 0), CR_INVALID_DEVNODE);
  EXPECT_EQ(CONFIGMG_Load_DLVxDs(adapter, "kelenum.vxd", 7, 0), CR_INVALID_LOAD_TYPE);
  EXPECT_EQ(CONFIGMG_Load_DLVxDs(adapter, "kelenum.vxd", DLVXD_LOAD_DRIVER, 1), CR_INVALID_FLAG);
  EXPECT_EQ(cm.dlvxd_loads().size(), 3u);  // failed loads record nothing

  EXPECT_EQ(CONFIGMG_Load_DLVxDs(adapter, "kelenum.vxd", DLVXD_LOAD_DRIVER, 0), CR_SUCCESS);
  EXPECT_EQ(cm.dlvxd_loads().size(), 4u);
}

TEST(ConfigmgWithoutMachine, KnowsNoNodes) {
  DEVNODE node = 5;
  EXPECT_EQ(CONFIGMG_Locate_DevNode(&node, nullptr, 0), CR_NO_SUCH_DEVNODE);
  EXPECT_EQ(node, 0u);
  EXPECT_EQ(CONFIGMG_Get_Child(&node, 1, 0), CR_INVALID_DEVNODE);
  ULONG status = 0, problem = 0;
  EXPECT_EQ(CONFIGMG_Get_DevNode_Status(&status, &problem, 1, 0), CR_INVALID_DEVNODE);
  EXPECT_EQ(CONFIGMG_Load_DLVxDs(1, "kelenum.vxd", DLVXD_LOAD_DRIVER, 0), CR_INVALID_DEVNODE);
}

}  // namespace
