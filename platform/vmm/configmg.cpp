// The Configuration Manager services, on the machine's device tree.
#include <algorithm>
#include <cstring>
#include <string>

#include "platform/vmm/config_manager.h"
#include "platform/vmm/vmm.h"

namespace {

constexpr std::string_view kDriverKeys = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\";

// The tree while a machine runs, or null: without one every node is unknown.
vmm::ConfigManager* tree() { return vmm::ConfigManager::exists() ? &vmm::ConfigManager::current() : nullptr; }

bool known(DEVNODE node) { return tree() != nullptr && tree()->status(node).has_value(); }

// Shared checks of the tree walk; `step` gives the neighbour or 0.
template <class Step>
CONFIGRET walk(DEVNODE* out, DEVNODE node, ULONG flags, Step step) {
  if (out == nullptr) return CR_INVALID_POINTER;
  if (flags != 0) return CR_INVALID_FLAG;
  if (!known(node)) return CR_INVALID_DEVNODE;
  *out = step(*tree(), node);
  return *out != 0 ? CR_SUCCESS : CR_NO_SUCH_DEVNODE;
}

DEVNODE next_sibling(const vmm::ConfigManager& cm, DEVNODE node) {
  const DEVNODE parent = cm.parent(node);
  if (parent == 0) return 0;
  const auto siblings = cm.children(parent);
  const auto it = std::find(siblings.begin(), siblings.end(), node);
  return it + 1 < siblings.end() ? *(it + 1) : 0;
}

}  // namespace

CONFIGRET CONFIGMG_Locate_DevNode(DEVNODE* pdnDevNode, const char* pDeviceID, ULONG ulFlags) {
  if (pdnDevNode == nullptr) return CR_INVALID_POINTER;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  auto* cm = tree();
  *pdnDevNode = cm == nullptr ? 0 : pDeviceID == nullptr || *pDeviceID == '\0' ? cm->root() : cm->find(pDeviceID);
  return *pdnDevNode != 0 ? CR_SUCCESS : CR_NO_SUCH_DEVNODE;
}

CONFIGRET CONFIGMG_Get_Child(DEVNODE* pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags) {
  return walk(pdnDevNode, dnDevNode, ulFlags, [](const vmm::ConfigManager& cm, DEVNODE node) {
    const auto children = cm.children(node);
    return children.empty() ? DEVNODE{0} : children.front();
  });
}

CONFIGRET CONFIGMG_Get_Sibling(DEVNODE* pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags) {
  return walk(pdnDevNode, dnDevNode, ulFlags, next_sibling);
}

CONFIGRET CONFIGMG_Get_Parent(DEVNODE* pdnDevNode, DEVNODE dnDevNode, ULONG ulFlags) {
  return walk(pdnDevNode, dnDevNode, ulFlags,
              [](const vmm::ConfigManager& cm, DEVNODE node) { return cm.parent(node); });
}

CONFIGRET CONFIGMG_Read_Registry_Value(DEVNODE dnDevNode, const char* pszSubKey, const char* pszValueName,
                                       ULONG ulExpectedType, PVOID Buffer, ULONG* pulLength, ULONG ulFlags) {
  if (Buffer == nullptr || pulLength == nullptr) return CR_INVALID_POINTER;
  if (ulFlags != CM_REGISTRY_HARDWARE && ulFlags != CM_REGISTRY_SOFTWARE) return CR_INVALID_FLAG;
  if (!known(dnDevNode)) return CR_INVALID_DEVNODE;
  auto& cm = *tree();
  const auto& registry = cm.registry();

  std::string key = cm.hardware_key(dnDevNode);
  if (ulFlags == CM_REGISTRY_SOFTWARE) {
    const auto driver = registry.get(key, "Driver");
    const auto name = driver ? driver->as_string() : std::nullopt;
    if (!name || name->empty()) return CR_NO_SUCH_REGISTRY_KEY;
    key = std::string(kDriverKeys) + *name;
  }
  if (pszSubKey != nullptr && *pszSubKey != '\0') key += std::string("\\") + pszSubKey;

  const auto value = registry.get(key, pszValueName == nullptr ? "" : pszValueName);
  if (!value) return CR_NO_SUCH_VALUE;
  if (static_cast<ULONG>(value->type) != ulExpectedType) return CR_WRONG_TYPE;
  const auto size = static_cast<ULONG>(value->data.size());
  if (size > *pulLength) {
    *pulLength = size;
    return CR_BUFFER_SMALL;
  }
  if (size != 0) std::memcpy(Buffer, value->data.data(), size);
  *pulLength = size;
  return CR_SUCCESS;
}

CONFIGRET CONFIGMG_Get_DevNode_Status(ULONG* pulStatus, ULONG* pulProblemNumber, DEVNODE dnDevNode, ULONG ulFlags) {
  if (pulStatus == nullptr || pulProblemNumber == nullptr) return CR_INVALID_POINTER;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  if (!known(dnDevNode)) return CR_INVALID_DEVNODE;
  *pulStatus = *tree()->status(dnDevNode);
  *pulProblemNumber = 0;  // the machine's nodes have no problems to report
  return CR_SUCCESS;
}

CONFIGRET CONFIGMG_Load_DLVxDs(DEVNODE dnDevNode, const char* FileNames, ULONG LoadType, ULONG ulFlags) {
  if (FileNames == nullptr) return CR_INVALID_POINTER;
  if (ulFlags != 0) return CR_INVALID_FLAG;
  if (LoadType > DLVXD_LOAD_DRIVER) return CR_INVALID_LOAD_TYPE;
  if (!known(dnDevNode)) return CR_INVALID_DEVNODE;
  return tree()->load_dlvxds(dnDevNode, FileNames) ? CR_SUCCESS : CR_DLVXD_NOT_FOUND;
}
