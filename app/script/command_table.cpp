#include "app/script/command_table.h"

#include <stdexcept>

#include "app/script/script_error.h"

namespace app {

void CommandTable::add(Command command) {
  if (find(command.word) != nullptr) throw std::logic_error("command '" + command.word + "' added twice");
  commands_.push_back(std::move(command));
}

const Command* CommandTable::find(std::string_view word) const {
  for (const Command& c : commands_) {
    if (c.word == word) return &c;
  }
  return nullptr;
}

Action parse_verb(const std::vector<Verb>& verbs, std::string_view command, Session& session, Arguments& args) {
  std::vector<std::string_view> words;
  for (const Verb& v : verbs) words.push_back(v.word);
  const std::size_t index = parse_choice(args.positional(0, std::string(command) + " action"),
                                         std::string(command) + " action", words);
  return verbs[index].run(session, args);
}

}  // namespace app
