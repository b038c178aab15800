// Reading REGEDIT4 text into the edits it asks for, so that a file is checked whole before any
// of it changes the registry.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace registry {

struct RegEdit {
  enum class Kind { CreateKey, DeleteKey, SetValue, EraseValue };
  Kind kind;
  std::string path;
  std::string name;  // for SetValue and EraseValue
  Value value;       // for SetValue
};

// Throws FormatError naming the line: "line 7: expected a value or a key".
std::vector<RegEdit> parse_reg(std::string_view text);

}  // namespace registry
