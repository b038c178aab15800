#include "platform/registry/reg_parse.h"

#include <charconv>

#include "platform/registry/key_path.h"

namespace registry {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

bool consume_prefix(std::string_view& s, std::string_view prefix) {
  if (s.size() < prefix.size() || !same_name(s.substr(0, prefix.size()), prefix)) return false;
  s.remove_prefix(prefix.size());
  return true;
}

std::optional<std::uint32_t> hex_number(std::string_view digits, std::size_t max_digits) {
  if (digits.empty() || digits.size() > max_digits) return std::nullopt;
  std::uint32_t n = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n, 16);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return n;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::vector<RegEdit> run() {
    if (!next_line()) line_no_ = 1;  // even empty text has a first line
    if (trim(strip_bom(line_)) != "REGEDIT4")
      fail("expected \"REGEDIT4\" as the first line");
    while (next_line()) {
      const std::string_view line = trim(line_);
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[')
        parse_key(line);
      else if (line.front() == '"' || line.front() == '@')
        parse_value(line);
      else
        fail("expected a value or a key");
    }
    return std::move(edits_);
  }

 private:
  static std::string_view strip_bom(std::string_view s) {
    return s.starts_with("\xEF\xBB\xBF") ? s.substr(3) : s;
  }

  bool next_line() {
    if (pos_ >= text_.size()) return false;
    const std::size_t end = std::min(text_.find('\n', pos_), text_.size());
    line_ = text_.substr(pos_, end - pos_);
    if (line_.ends_with('\r')) line_.remove_suffix(1);
    pos_ = end + 1;
    ++line_no_;
    return true;
  }

  [[noreturn]] void fail(const std::string& what) const {
    throw FormatError("line " + std::to_string(line_no_) + ": " + what);
  }

  void parse_key(std::string_view line) {
    if (line.back() != ']') fail("a key line must end with ']'");
    std::string_view path = line.substr(1, line.size() - 2);
    const bool remove = path.starts_with('-');
    if (remove) path.remove_prefix(1);
    const auto parsed = parse_key_path(path);
    if (!parsed) fail("not a valid key path: " + std::string(path));
    if (remove && parsed->names.empty()) fail("a root key cannot be deleted");
    key_ = std::string(path);
    key_deleted_ = remove;
    edits_.push_back({remove ? RegEdit::Kind::DeleteKey : RegEdit::Kind::CreateKey, key_, {}, {}});
  }

  void parse_value(std::string_view rest) {
    if (key_.empty()) fail("a value before the first key");
    if (key_deleted_) fail("a value under a key that is being deleted");
    std::string name;
    if (rest.front() == '@') {
      rest.remove_prefix(1);
    } else {
      rest.remove_prefix(1);
      name = quoted_text(rest);
      if (!valid_value_name(name)) fail("a value name cannot hold a zero byte");
    }
    rest = trim(rest);
    if (!rest.starts_with('=')) fail("expected '=' after the value name");
    rest = trim(rest.substr(1));
    if (rest == "-") {
      edits_.push_back({RegEdit::Kind::EraseValue, key_, std::move(name), {}});
      return;
    }
    edits_.push_back({RegEdit::Kind::SetValue, key_, std::move(name), value_data(rest)});
  }

  Value value_data(std::string_view rest) {
    if (rest.starts_with('"')) {
      rest.remove_prefix(1);
      Value v = Value::string(quoted_text(rest));
      if (!trim(rest).empty()) fail("unexpected text after the closing quote");
      return v;
    }
    if (consume_prefix(rest, "dword:")) {
      const auto n = hex_number(rest, 8);
      if (!n) fail("a dword needs 1 to 8 hex digits");
      return Value::dword(*n);
    }
    if (consume_prefix(rest, "hex")) {
      Type type = Type::Binary;
      if (rest.starts_with('(')) {
        const std::size_t close = rest.find(')');
        const auto n = close == std::string_view::npos ? std::nullopt
                                                       : hex_number(rest.substr(1, close - 1), 8);
        if (!n) fail("expected a hex type number in hex(...)");
        type = static_cast<Type>(*n);
        rest.remove_prefix(close + 1);
      }
      if (!rest.starts_with(':')) fail("expected ':' after hex");
      return Value{type, hex_bytes(rest.substr(1))};
    }
    fail("unknown value data (expected \"text\", dword:, hex: or hex(N):)");
  }

  // Reads up to the closing quote, leaving `rest` after it.
  std::string quoted_text(std::string_view& rest) {
    std::string out;
    for (std::size_t i = 0; i < rest.size(); ++i) {
      const char c = rest[i];
      if (c == '"') {
        rest.remove_prefix(i + 1);
        return out;
      }
      if (c == '\\') {
        if (i + 1 == rest.size() || (rest[i + 1] != '\\' && rest[i + 1] != '"'))
          fail("a backslash in quotes must be written \\\\ or start \\\"");
        ++i;
      }
      out += rest[i];
    }
    fail("missing closing quote");
  }

  // Comma-separated bytes; a line ending in "\" continues on the next one.
  std::vector<std::uint8_t> hex_bytes(std::string_view segment) {
    std::vector<std::uint8_t> bytes;
    while (true) {
      segment = trim(segment);
      const bool continued = segment.ends_with('\\');
      if (continued) segment = trim(segment.substr(0, segment.size() - 1));
      std::size_t start = 0;
      while (start <= segment.size()) {
        const std::size_t comma = std::min(segment.find(',', start), segment.size());
        const std::string_view item = trim(segment.substr(start, comma - start));
        const bool last = comma == segment.size();
        if (!(item.empty() && last)) {  // a trailing comma is fine
          const auto byte = hex_number(item, 2);
          if (!byte) fail("not a hex byte: '" + std::string(item) + "'");
          bytes.push_back(static_cast<std::uint8_t>(*byte));
        }
        start = comma + 1;
      }
      if (!continued) return bytes;
      if (!next_line()) fail("the hex data continues past the end of the text");
      segment = line_;
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::size_t line_no_ = 0;
  std::string_view line_;
  std::string key_;  // the current section; empty before the first one
  bool key_deleted_ = false;
  std::vector<RegEdit> edits_;
};

}  // namespace

std::vector<RegEdit> parse_reg(std::string_view text) { return Parser(text).run(); }

}  // namespace registry
