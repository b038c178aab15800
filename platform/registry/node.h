// The registry's tree, shared by the key operations and the text writer.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry/registry.h"

namespace registry {

struct Registry::Node {
  std::string name;
  // Keyed by the folded name, so iteration gives the subkeys in case-insensitive order.
  std::map<std::string, std::unique_ptr<Node>> children;
  // In the order they were created, as the registry enumerates them.
  std::vector<std::pair<std::string, Value>> values;
};

}  // namespace registry
