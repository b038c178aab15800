#include "app/script/lexer.h"

#include "app/script/script_error.h"
#include "app/script/values.h"

namespace app {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Index just past the quoted section that starts at `open` (a '"'); throws when it never closes.
std::size_t skip_quoted(std::string_view line, std::size_t open) {
  for (std::size_t i = open + 1; i < line.size(); ++i) {
    if (line[i] == '\\') {
      ++i;
    } else if (line[i] == '"') {
      return i + 1;
    }
  }
  throw ScriptError("unterminated quote");
}

// The line without its comment: '#' outside quotes starts one.
std::string_view strip_comment(std::string_view line) {
  for (std::size_t i = 0; i < line.size();) {
    if (line[i] == '"') {
      i = skip_quoted(line, i);
    } else if (line[i] == '#') {
      return line.substr(0, i);
    } else {
      ++i;
    }
  }
  return line;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// A lone quoted string is unquoted; anything else is taken as written.  Empty text would match
// every result, so it is refused like no text.
std::string expectation_text(std::string_view rest) {
  std::string text = !rest.empty() && rest.front() == '"' && skip_quoted(rest, 0) == rest.size()
                         ? parse_text(rest)
                         : std::string(rest);
  if (text.empty()) throw ScriptError("'=>' needs the text to expect after it");
  return text;
}

}  // namespace

ScriptLine lex_line(std::string_view line) {
  line = strip_comment(line);
  ScriptLine result;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && is_space(line[i])) ++i;
    if (i == line.size()) break;
    const std::size_t start = i;
    while (i < line.size() && !is_space(line[i])) {
      i = line[i] == '"' ? skip_quoted(line, i) : i + 1;
    }
    std::string_view word = line.substr(start, i - start);
    if (word == "=>") {
      result.expectation = expectation_text(trim(line.substr(i)));
      break;
    }
    result.words.emplace_back(word);
  }
  if (result.expectation && result.words.empty()) throw ScriptError("'=>' needs a command before it");
  return result;
}

}  // namespace app
