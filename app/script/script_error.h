// What a script line can do wrong, and what a failed expectation carries.
#pragma once

#include <stdexcept>
#include <string>

#include "app/script/format.h"

namespace app {

// A line the runner cannot carry out: unknown command, bad or missing argument, a command that
// did not finish.  The runner prints "error line N: " and the message, and stops with status 2.
// Its message quotes script text, which may hold any byte: control and non-ASCII bytes are kept
// as \xHH so that a NUL cannot cut the message short and the error stays on one line.
struct ScriptError : std::runtime_error {
  explicit ScriptError(const std::string& message) : std::runtime_error(printable(message)) {}
};

// A command ran but what it saw is not what the script expected.  The runner prints the command's
// result line, then "FAILED line N: " and the message, and stops with status 1.
struct ExpectationFailed : std::runtime_error {
  ExpectationFailed(std::string result_text, const std::string& message)
      : std::runtime_error(message), result(std::move(result_text)) {}
  std::string result;
};

}  // namespace app
