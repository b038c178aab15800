// What a script line can do wrong, and what a failed expectation carries.
#pragma once

#include <stdexcept>
#include <string>

namespace app {

// A line the runner cannot carry out: unknown command, bad or missing argument, a command that
// did not finish.  The runner prints "error line N: " and the message, and stops with status 2.
struct ScriptError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A command ran but what it saw is not what the script expected.  The runner prints the command's
// result line, then "FAILED line N: " and the message, and stops with status 1.
struct ExpectationFailed : std::runtime_error {
  ExpectationFailed(std::string result_text, const std::string& message)
      : std::runtime_error(message), result(std::move(result_text)) {}
  std::string result;
};

}  // namespace app
