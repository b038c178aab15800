// Writes keys as regedit does: a section per key, values in REGEDIT4 notation, hex data wrapped
// with "\" continuations so that no line runs much past 77 columns.
#include <algorithm>
#include <cstdio>

#include "platform/registry/key_path.h"
#include "platform/registry/node.h"

namespace registry {
namespace {

constexpr std::string_view kEol = "\r\n";
constexpr std::size_t kWrapColumn = 77;

std::string escaped_quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + '"';
}

// A REG_SZ is written as text only when reading the text back gives the same bytes.
bool writable_as_text(const Value& v) {
  if (v.type != Type::Sz || v.data.empty() || v.data.back() != 0) return false;
  return std::none_of(v.data.begin(), v.data.end() - 1,
                      [](std::uint8_t b) { return b == 0 || b == '\r' || b == '\n'; });
}

void write_hex(std::string& out, std::string prefix, const std::vector<std::uint8_t>& bytes) {
  std::string line = std::move(prefix);
  bool line_has_bytes = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char item[4];
    std::snprintf(item, sizeof item, i + 1 < bytes.size() ? "%02x," : "%02x", bytes[i]);
    const std::string_view text(item);
    if (line_has_bytes && line.size() + text.size() > kWrapColumn) {
      out += line;
      out += '\\';
      out += kEol;
      line = "  ";
    }
    line += text;
    line_has_bytes = true;
  }
  out += line;
  out += kEol;
}

void write_value(std::string& out, const std::string& name, const Value& v) {
  std::string prefix = (name.empty() ? std::string("@") : escaped_quoted(name)) + "=";
  if (writable_as_text(v)) {
    const std::string_view text(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1);
    out += prefix + escaped_quoted(text);
    out += kEol;
  } else if (const auto n = v.as_dword()) {
    char digits[9];
    std::snprintf(digits, sizeof digits, "%08x", *n);
    out += prefix + "dword:" + digits;
    out += kEol;
  } else if (v.type == Type::Binary) {
    write_hex(out, prefix + "hex:", v.data);
  } else {
    char type[16];
    std::snprintf(type, sizeof type, "hex(%x):", static_cast<unsigned>(v.type));
    write_hex(out, prefix + type, v.data);
  }
}

void write_key(std::string& out, const std::string& path, const Registry::Node& node,
               bool write_section) {
  if (write_section) {
    out += "[" + path + "]";
    out += kEol;
    for (const auto& [name, value] : node.values) write_value(out, name, value);
    out += kEol;
  }
  for (const auto& [folded, child] : node.children)
    write_key(out, path + "\\" + child->name, *child, true);
}

// A root always exists, so its section is only worth writing when it holds values.
void write_tree(std::string& out, const std::string& path, const Registry::Node& node,
                bool is_root) {
  write_key(out, path, node, !is_root || !node.values.empty());
}

}  // namespace

std::string Registry::export_reg(std::string_view path) const {
  std::string out = "REGEDIT4";
  out += kEol;
  out += kEol;
  if (path.empty()) {
    for (const auto& [folded, root] : root_->children) write_tree(out, root->name, *root, true);
    return out;
  }
  const auto parsed = parse_key_path(path);
  if (!parsed) return {};
  // The path is written with the names as the keys keep them, not as the caller typed them.
  const Node* node = root_->children.at(fold(parsed->root)).get();
  std::string full(parsed->root);
  for (std::string_view name : parsed->names) {
    const auto it = node->children.find(fold(name));
    if (it == node->children.end()) return {};
    node = it->second.get();
    full += "\\" + node->name;
  }
  write_tree(out, full, *node, parsed->names.empty());
  return out;
}

}  // namespace registry
