// A command's words after the command word: positional words and key=value options.  Each
// accessor throws ScriptError naming what is missing or wrong; finish() rejects what no accessor
// asked for, so a misspelt option is an error rather than silently ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

class Arguments {
 public:
  explicit Arguments(const std::vector<std::string>& words);  // words after the command word

  std::size_t positional_count() const { return positional_.size(); }
  // The positional word `index` as written; throws "missing WHAT" when there is none.
  const std::string& positional(std::size_t index, std::string_view what);
  std::optional<std::string> option(std::string_view key);
  // Every word as written, options included (for free text such as expect-log's).
  std::vector<std::string> all_words();

  // Throws for the first positional word or option that no accessor asked for.
  void finish() const;

 private:
  struct Option {
    std::string key;
    std::string value;
    bool used = false;
  };
  std::vector<std::string> words_;
  std::vector<std::string> positional_;
  std::vector<Option> options_;
  std::size_t positional_used_ = 0;
};

// One of a fixed set of words ("start", "stop", ...): the index in `choices`, or ScriptError
// listing them.
std::size_t parse_choice(std::string_view word, std::string_view what, const std::vector<std::string_view>& choices);

}  // namespace app
