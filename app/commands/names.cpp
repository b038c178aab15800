#include "app/commands/names.h"

#include "app/script/arguments.h"
#include "app/script/script_error.h"
#include "app/script/values.h"

namespace app {

std::string chosen_name(const std::string& word, std::string_view what) {
  std::string name = parse_text(word);
  if (name.empty()) throw ScriptError("an empty " + std::string(what));
  for (const char c : name) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      throw ScriptError("a control character in the " + std::string(what) + " '" + name + "'");
    }
  }
  return name;
}

std::string adapter_name(Arguments& args) { return parse_text(args.positional(0, "adapter name")); }

}  // namespace app
