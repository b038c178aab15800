#include "app/script/runner.h"

#include <string>

#include "app/script/format.h"
#include "app/script/lexer.h"
#include "app/script/script_error.h"

namespace app {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

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
  int number = 1;
  for (; std::getline(script, text); ++number) {
    // Editors on Windows start a UTF-8 file with a byte-order mark.
    if (number == 1 && text.starts_with(kByteOrderMark)) text.erase(0, kByteOrderMark.size());
    try {
      run_line(text, commands, session, out);
    } catch (const ExpectationFailed& failed) {
      out << "FAILED line " << number << ": " << failed.what() << std::endl;
      return kExitFailed;
    } catch (const ScriptError& error) {
      out << "error line " << number << ": " << error.what() << std::endl;
      return kExitError;
    } catch (const std::exception& error) {
      out << "error line " << number << ": the machine failed: " << error.what() << std::endl;
      return kExitError;
    }
  }
  if (script.bad()) {
    out << "error line " << number << ": cannot read the script" << std::endl;
    return kExitError;
  }
  return kExitOk;
}

}  // namespace app
