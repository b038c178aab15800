#include "app/script/values.h"

#include <charconv>

#include "app/script/random.h"
#include "app/script/script_error.h"

namespace app {
namespace {

std::string quoted(std::string_view word) { return "'" + std::string(word) + "'"; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The inside of a quoted word; throws unless the whole word is one quoted string.
std::string_view quoted_body(std::string_view word) {
  for (std::size_t i = 1; i < word.size(); ++i) {
    if (word[i] == '\\') {
      ++i;
    } else if (word[i] == '"') {
      if (i + 1 != word.size()) throw ScriptError("text after the closing quote in " + quoted(word));
      return word.substr(1, i - 1);
    }
  }
  throw ScriptError("unterminated quote in " + quoted(word));
}

std::vector<std::uint8_t> unescape_data(std::string_view word) {
  const std::string_view body = quoted_body(word);
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '\\') {
      out.push_back(static_cast<std::uint8_t>(body[i]));
      continue;
    }
    const char e = body[++i];
    switch (e) {
      case 'r': out.push_back('\r'); break;
      case 'n': out.push_back('\n'); break;
      case 't': out.push_back('\t'); break;
      case '\\': out.push_back('\\'); break;
      case '"': out.push_back('"'); break;
      case 'x': {
        const int hi = i + 1 < body.size() ? hex_digit(body[i + 1]) : -1;
        const int lo = i + 2 < body.size() ? hex_digit(body[i + 2]) : -1;
        if (hi < 0 || lo < 0) throw ScriptError("\\x needs two hex digits in " + quoted(word));
        out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        i += 2;
        break;
      }
      default:
        throw ScriptError(std::string("unknown escape '\\") + e + "' in " + quoted(word) +
                          " (use \\r \\n \\t \\\\ \\\" \\xHH)");
    }
  }
  return out;
}

std::vector<std::uint8_t> parse_hex(std::string_view word) {
  const std::string_view digits = word.substr(4);
  if (digits.size() % 2 != 0) throw ScriptError("odd number of hex digits in " + quoted(word));
  if (digits.size() / 2 > kMaxDataBytes) throw ScriptError("data longer than 1048576 bytes");
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int hi = hex_digit(digits[i]);
    const int lo = hex_digit(digits[i + 1]);
    if (hi < 0 || lo < 0) throw ScriptError("bad hex digit in " + quoted(word));
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return out;
}

}  // namespace

std::string parse_text(std::string_view word) {
  if (word.empty() || word.front() != '"') {
    if (word.find('"') != std::string_view::npos) throw ScriptError("stray quote in " + quoted(word));
    return std::string(word);
  }
  const std::string_view body = quoted_body(word);
  std::string out;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '\\' && i + 1 < body.size() && (body[i + 1] == '\\' || body[i + 1] == '"')) ++i;
    out.push_back(body[i]);
  }
  return out;
}

std::uint64_t parse_number(std::string_view word, std::uint64_t max) {
  const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  const std::string_view digits = hex ? word.substr(2) : word;
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, hex ? 16 : 10);
  if (digits.empty() || end != digits.data() + digits.size() || (ec != std::errc() && ec != std::errc::result_out_of_range)) {
    throw ScriptError("bad number " + quoted(word) + " (write it in decimal or as 0x hex)");
  }
  if (ec == std::errc::result_out_of_range || value > max) {
    throw ScriptError("number " + quoted(word) + " is too large (at most " + std::to_string(max) + ")");
  }
  return value;
}

sim::VTime parse_duration(std::string_view word) {
  constexpr std::uint64_t kMaxMilliseconds = 24ULL * 3600 * 1000;
  const auto bad = [&] { return ScriptError("bad duration " + quoted(word) + " (write e.g. 250ms or 5s)"); };
  std::size_t unit = 0;
  while (unit < word.size() && word[unit] >= '0' && word[unit] <= '9') ++unit;
  const std::string_view suffix = word.substr(unit);
  if (unit == 0 || (suffix != "ms" && suffix != "s")) throw bad();
  const std::uint64_t scale = suffix == "s" ? 1000 : 1;
  std::uint64_t count = 0;
  const std::errc ec = std::from_chars(word.data(), word.data() + unit, count).ec;
  if (ec == std::errc::result_out_of_range || count > kMaxMilliseconds / scale) {
    throw ScriptError("duration " + quoted(word) + " is longer than a day");
  }
  return sim::milliseconds(static_cast<std::int64_t>(count * scale));
}

std::vector<std::uint8_t> parse_data(std::string_view word, Random& random) {
  if (!word.empty() && word.front() == '"') return unescape_data(word);
  if (word.starts_with("hex:")) return parse_hex(word);
  if (word.starts_with("random:")) {
    const std::uint64_t n = parse_number(word.substr(7), kMaxDataBytes);
    return random.bytes(static_cast<std::size_t>(n));
  }
  throw ScriptError("bad data " + quoted(word) + " (write \"text\", hex:0A0B or random:N)");
}

}  // namespace app
