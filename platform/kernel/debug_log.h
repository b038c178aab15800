// The machine's debug log: what DbgPrint and the assertion routine write, split into lines.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kernel {

class DebugLog {
 public:
  using Listener = std::function<void(std::string_view line)>;

  // Appends printed text.  A line ends at "\n" or "\r"; empty lines are dropped, so the
  // three-print convention ("PREFIX: ", "message\n", "\r") yields one line "PREFIX: message".
  void write(std::string_view text);
  // Ends a line still open (at shutdown, so that nothing printed is lost).
  void flush();

  const std::vector<std::string>& lines() const { return lines_; }
  std::size_t size() const { return lines_.size(); }
  // Index of the first line that contains `text` at or after `from`, or npos.
  std::size_t find(std::string_view text, std::size_t from = 0) const;
  bool contains(std::string_view text) const { return find(text) != npos; }
  void add_listener(Listener listener) { listeners_.push_back(std::move(listener)); }

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

 private:
  void end_line();
  std::string open_;
  std::vector<std::string> lines_;
  std::vector<Listener> listeners_;
};

}  // namespace kernel
