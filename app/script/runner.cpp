#include "app/script/runner.h"

#include <string>

#include "app/script/format.h"
#include "app/script/lexer.h"
#include "app/script/script_error.h"

namespace app {
namespace {

void run_line(const std::string& text, const CommandTable& commands, Session& session,
                                    std::ostream& out) {
  const ScriptLine line = lex_line(text);
  if (line.words.empty()) return;
  const std::string& word = line.words.front();
  const Command* command = commands.find(word);
  if (command == nullptr) throw ScriptError("unknown command '" + word + "'");
  Arguments args({line.words.begin() + 1, line.words.end()});
  const Action action = command->run(session, args);
  args.finish();
  std::string result;
  try {
    result = word + ": " + action();
  } catch (ExpectationFailed& failed) {
    out << word << ": " << failed.result << std::endl;
    throw;
  }
  out << result << std::endl;
  if (line.expectation && result.find(*line.expectation) == std::string::npos) {
    throw ExpectationFailed(result, "expected " + quote(*line.expectation) + ", saw " + quote(result));
  }
}

}  // namespace

int run_script(std::istream& script, const CommandTable& commands, Session& session, std::ostream& out) {
  std::string text;
  for (int number = 1; std::getline(script, text); ++number) {
    try {
      run_line(text, commands, session, out);
    } catch (const ExpectationFailed& failed) {
      out << "FAILED line " << number << ": " << failed.what() << std::endl;
      return kExitFailed;
    } catch (const ScriptError& error) {
      out << "error line " << number << ": " << printable(error.what()) << std::endl;
      return kExitError;
    } catch (const std::exception& error) {
      out << "error line " << number << ": the machine failed: " << error.what() << std::endl;
      return kExitError;
    }
  }
  return kExitOk;
}

}  // namespace app
