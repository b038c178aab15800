// The script commands by their first word.  Each group of commands (core, serial adapters, ...)
// adds its entries; the runner only looks words up here.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/script/arguments.h"

namespace app {

class Session;

// A command in two steps: the handler reads and checks its arguments and returns the action,
// which the runner calls only once every argument was accepted (a misspelt option never acts).
// The action returns the result: the text after "WORD: ".  Both throw ScriptError for a line
// they cannot carry out; the action throws ExpectationFailed when the command checks something.
using Action = std::function<std::string()>;
using CommandHandler = std::function<Action(Session&, Arguments&)>;

struct Command {
  std::string word;
  std::string usage;  // "unplug NAME"; one line per form
  CommandHandler run;
};

class CommandTable {
 public:
  void add(Command command);
  const Command* find(std::string_view word) const;
  const std::vector<Command>& commands() const { return commands_; }

 private:
  std::vector<Command> commands_;
};

// A command whose second word picks what it does ("reg set", "reg get"): a small table of verbs.
struct Verb {
  std::string word;
  CommandHandler run;
};
Action parse_verb(const std::vector<Verb>& verbs, std::string_view command, Session& session, Arguments& args);

}  // namespace app
