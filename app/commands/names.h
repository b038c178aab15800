// Names a script chooses (adapters, instances, ports): results and calls use them as written, so
// they must be there and stay on the line.
#pragma once

#include <string>
#include <string_view>

namespace app {

class Arguments;

// The word as text; throws ScriptError for an empty name or one with a control character.
std::string chosen_name(const std::string& word, std::string_view what);

// The adapter a command names with its first word ("s1").
std::string adapter_name(Arguments& args);

}  // namespace app
