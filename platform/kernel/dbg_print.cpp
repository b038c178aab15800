// Debug print and the assertion routine.  Pointers print as stable numbers: the Nth distinct
// pointer value a machine prints becomes 0x81000000 + 0x10 * N, so that logs of runs with the same
// seed are byte-identical although host addresses differ.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/kernel/kernel_impl.h"

namespace kernel {
namespace {

using Kind = kernel_detail::DbgArg::Kind;

struct Directive {
  bool left = false, plus = false, space = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;
  int bits = 32;  // the value's width as the caller's compiler passed it
  char conversion = 0;
};

std::uint32_t stable_number(Kernel::Impl& k, const void* p) {
  if (p == nullptr) return 0;
  auto [it, added] = k.pointer_numbers.emplace(p, 0);
  if (added) it->second = 0x81000000u + 0x10u * ++k.pointers_numbered;
  return it->second;
}

void pad_and_append(std::string& out, const Directive& directive, std::string_view prefix, std::string_view body) {
  const std::size_t length = prefix.size() + body.size();
  const std::size_t fill = directive.width > 0 && static_cast<std::size_t>(directive.width) > length
                               ? static_cast<std::size_t>(directive.width) - length
                               : 0;
  if (directive.left) {
    out.append(prefix).append(body).append(fill, ' ');
  } else if (directive.zero && directive.precision < 0) {
    out.append(prefix).append(fill, '0').append(body);
  } else {
    out.append(fill, ' ').append(prefix).append(body);
  }
}

void format_integer(std::string& out, const Directive& directive, bool is_signed, std::uint64_t value) {
  const std::uint64_t mask = directive.bits == 64 ? ~0ULL : (1ULL << directive.bits) - 1;
  value &= mask;
  bool negative = false;
  if (is_signed && directive.bits < 64 && (value >> (directive.bits - 1)) != 0) {
    negative = true;
    value = ((~value) & mask) + 1;
  } else if (is_signed && directive.bits == 64 && static_cast<std::int64_t>(value) < 0) {
    negative = true;
    value = 0 - value;
  }
  const char c = directive.conversion;
  const unsigned base = c == 'o' ? 8 : (c == 'x' || c == 'X' || c == 'p') ? 16 : 10;
  const char* digits = c == 'X' || c == 'p' ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string body;
  for (std::uint64_t v = value; v != 0; v /= base) body.insert(body.begin(), digits[v % base]);
  const int precision = c == 'p' ? 8 : directive.precision;
  if (precision < 0 && body.empty()) body = "0";
  if (precision >= 0 && body.size() < static_cast<std::size_t>(precision))
    body.insert(0, static_cast<std::size_t>(precision) - body.size(), '0');
  std::string prefix;
  if (negative) {
    prefix = "-";
  } else if (is_signed && directive.plus) {
    prefix = "+";
  } else if (is_signed && directive.space) {
    prefix = " ";
  }
  if (directive.alt && value != 0 && base == 16 && c != 'p') prefix += c == 'X' ? "0X" : "0x";
  if (directive.alt && base == 8 && (body.empty() || body.front() != '0')) body.insert(0, "0");
  pad_and_append(out, directive, prefix, body);
}

void format_argument(Kernel::Impl& k, std::string& out, const Directive& directive, const kernel_detail::DbgArg& arg) {
  const char c = directive.conversion;
  if (c == 's') {
    if (arg.kind == Kind::String || (arg.kind == Kind::Pointer && arg.p == nullptr)) {
      const char* text = arg.p == nullptr ? "(null)" : static_cast<const char*>(arg.p);
      std::size_t n = std::strlen(text);
      if (directive.precision >= 0) n = std::min(n, static_cast<std::size_t>(directive.precision));
      pad_and_append(out, directive, "", std::string_view(text, n));
      return;
    }
    Directive as_hex = directive;
    as_hex.conversion = 'x';
    format_argument(k, out, as_hex, arg);
    return;
  }
  if (c == 'c') {
    const char ch = static_cast<char>(arg.kind == Kind::Signed ? arg.s : static_cast<LONGLONG>(arg.u));
    pad_and_append(out, directive, "", std::string_view(&ch, 1));
    return;
  }
  if (c == 'f' || c == 'e' || c == 'g' || c == 'E' || c == 'G') {
    const double d = arg.kind == Kind::Double ? arg.d
                     : arg.kind == Kind::Signed ? static_cast<double>(arg.s)
                                                : static_cast<double>(arg.u);
    std::string fmt = "%";
    if (directive.left) fmt += '-';
    if (directive.plus) fmt += '+';
    if (directive.space) fmt += ' ';
    if (directive.alt) fmt += '#';
    if (directive.zero) fmt += '0';
    if (directive.width > 0) fmt += std::to_string(directive.width);
    if (directive.precision >= 0) fmt += "." + std::to_string(directive.precision);
    fmt += c;
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, fmt.c_str(), d);
    out += buffer;
    return;
  }
  bool is_signed = c == 'd' || c == 'i';
  std::uint64_t value;
  Directive s = directive;
  switch (arg.kind) {
    case Kind::Pointer:
    case Kind::String:
      value = stable_number(k, arg.p);
      s.bits = 32;
      is_signed = false;
      break;
    case Kind::Double:
      value = static_cast<std::uint64_t>(static_cast<std::int64_t>(arg.d));
      break;
    default:
      value = arg.u;
      break;
  }
  format_integer(out, s, is_signed, value);
}

}  // namespace
}  // namespace kernel

namespace kernel_detail {

ULONG dbg_print(const char* format, const DbgArg* args, std::size_t count) {
  auto& k = kernel::kernel_state();
  k.scheduler.interrupt_window();
  std::string out;
  std::size_t next = 0;
  auto take = [&]() -> DbgArg { return next < count ? args[next++] : DbgArg{DbgArg::Kind::Signed, 0, 0, nullptr, 0}; };
  for (const char* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out.push_back(*p);
      continue;
    }
    ++p;
    if (*p == '%') {
      out.push_back('%');
      continue;
    }
    kernel::Directive directive;
    for (;; ++p) {
      if (*p == '-') directive.left = true;
      else if (*p == '+') directive.plus = true;
      else if (*p == ' ') directive.space = true;
      else if (*p == '#') directive.alt = true;
      else if (*p == '0') directive.zero = true;
      else break;
    }
    if (*p == '*') {
      DbgArg a = take();
      directive.width = static_cast<int>(a.s);
      if (directive.width < 0) {
        directive.left = true;
        directive.width = -directive.width;
      }
      ++p;
    } else {
      while (*p >= '0' && *p <= '9') directive.width = directive.width * 10 + (*p++ - '0');
    }
    if (*p == '.') {
      ++p;
      directive.precision = 0;
      if (*p == '*') {
        directive.precision = static_cast<int>(take().s);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') directive.precision = directive.precision * 10 + (*p++ - '0');
      }
    }
    for (;; ++p) {
      if (*p == 'h') directive.bits = directive.bits == 16 ? 8 : 16;
      else if (*p == 'l' && p[1] == 'l') { directive.bits = 64; ++p; }
      else if (*p == 'I' && p[1] == '6' && p[2] == '4') { directive.bits = 64; p += 2; }
      else if (*p != 'l' && *p != 'z' && *p != 'L') break;
    }
    if (*p == 0) break;
    directive.conversion = *p;
    if (std::strchr("diuxXocspfeEgG", directive.conversion) == nullptr) {
      out.push_back('%');
      out.push_back(*p);
      continue;
    }
    kernel::format_argument(k, out, directive, take());
  }
  k.log.write(out);
  return STATUS_SUCCESS;
}

}  // namespace kernel_detail

void RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
  auto& k = kernel::kernel_state();
  const std::string expression = static_cast<const char*>(FailedAssertion);
  const std::string file = static_cast<const char*>(FileName);
  std::string text = "*** Assertion failed: " + expression + "\n***   Source File: " + file + ", line " +
                     std::to_string(LineNumber) + "\n";
  if (Message != nullptr) text = std::string(Message) + "\n" + text;
  k.log.write(text);
  k.verifier.report(kernel::Check::Assertion, expression + " at " + file + ":" + std::to_string(LineNumber));
}
