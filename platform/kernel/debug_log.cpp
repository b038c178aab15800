#include "platform/kernel/debug_log.h"

namespace kernel {

void DebugLog::write(std::string_view text) {
  for (char c : text) {
    if (c == '\n' || c == '\r') {
      end_line();
    } else {
      open_.push_back(c);
    }
  }
}

void DebugLog::flush() { end_line(); }

void DebugLog::end_line() {
  if (open_.empty()) return;
  lines_.push_back(std::move(open_));
  open_.clear();
  for (const auto& listener : listeners_) listener(lines_.back());
}

std::size_t DebugLog::find(std::string_view text, std::size_t from) const {
  for (std::size_t i = from; i < lines_.size(); ++i) {
    if (lines_[i].find(text) != std::string::npos) return i;
  }
  return npos;
}

}  // namespace kernel
