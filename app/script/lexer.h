// Splits one script line into words and the optional "=> TEXT" expectation at its end.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

struct ScriptLine {
  // Words as written, quotes included ("in=\"a b\"" stays one word); empty for a blank line or
  // a comment.
  std::vector<std::string> words;
  // The text the result line must contain.
  std::optional<std::string> expectation;
};

// Throws ScriptError for an unterminated quote or an "=>" with nothing (or "") after it.
ScriptLine lex_line(std::string_view line);

}  // namespace app
