#include "app/script/arguments.h"

#include <algorithm>
#include <unordered_set>

#include "app/script/script_error.h"

namespace app {
namespace {

// "key=value" with a key of letters, digits, '-' and '_' starting with a letter.
std::optional<std::size_t> option_split(std::string_view word) {
  const std::size_t eq = word.find('=');
  if (eq == 0 || eq == std::string_view::npos) return std::nullopt;
  const auto key_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  };
  if (!((word[0] >= 'a' && word[0] <= 'z') || (word[0] >= 'A' && word[0] <= 'Z'))) return std::nullopt;
  if (!std::all_of(word.begin(), word.begin() + static_cast<std::ptrdiff_t>(eq), key_char)) return std::nullopt;
  return eq;
}

}  // namespace

Arguments::Arguments(const std::vector<std::string>& words) : words_(words) {
  std::unordered_set<std::string_view> keys;  // a line of many options stays quick to check
  for (const std::string& word : words) {
    if (const auto eq = option_split(word)) {
      const std::string_view key = std::string_view(word).substr(0, *eq);
      if (!keys.insert(key).second) throw ScriptError("option '" + std::string(key) + "=' given twice");
      options_.push_back({std::string(key), word.substr(*eq + 1)});
    } else {
      positional_.push_back(word);
    }
  }
}

const std::string& Arguments::positional(std::size_t index, std::string_view what) {
  if (index >= positional_.size()) throw ScriptError("missing " + std::string(what));
  positional_used_ = std::max(positional_used_, index + 1);
  return positional_[index];
}

std::optional<std::string> Arguments::option(std::string_view key) {
  for (Option& o : options_) {
    if (o.key == key) {
      o.used = true;
      if (o.value.empty()) throw ScriptError("option '" + o.key + "=' needs a value");
      return o.value;
    }
  }
  return std::nullopt;
}

std::vector<std::string> Arguments::all_words() {
  positional_used_ = positional_.size();
  for (Option& o : options_) o.used = true;
  return words_;
}

void Arguments::finish() const {
  if (positional_used_ < positional_.size()) {
    throw ScriptError("unexpected argument '" + positional_[positional_used_] + "'");
  }
  for (const Option& o : options_) {
    if (!o.used) throw ScriptError("unknown option '" + o.key + "='");
  }
}

std::size_t parse_choice(std::string_view word, std::string_view what, const std::vector<std::string_view>& choices) {
  for (std::size_t i = 0; i < choices.size(); ++i) {
    if (choices[i] == word) return i;
  }
  std::string list;
  for (std::string_view c : choices) list += (list.empty() ? "" : ", ") + std::string(c);
  throw ScriptError("unknown " + std::string(what) + " '" + std::string(word) + "' (one of: " + list + ")");
}

}  // namespace app
