// The machine's registry: keys with case-insensitive names, typed values, persisted as a REGEDIT4
// text file (the format regedit reads and writes) that is saved atomically.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace registry {

// Value types as the registry numbers them.
enum class Type : std::uint32_t { None = 0, Sz = 1, ExpandSz = 2, Binary = 3, Dword = 4, MultiSz = 7 };

// A value's bytes exactly as a reader of the registry receives them: REG_SZ with its terminating
// zero, REG_DWORD as four little-endian bytes.
struct Value {
  Type type = Type::None;
  std::vector<std::uint8_t> data;

  static Value string(std::string_view text);         // REG_SZ, terminating zero added
  static Value expand_string(std::string_view text);  // REG_EXPAND_SZ, terminating zero added
  // REG_MULTI_SZ: each text with its zero, then the zero that ends the list.
  static Value multi_string(const std::vector<std::string>& texts);
  static Value dword(std::uint32_t v);
  static Value binary(std::vector<std::uint8_t> bytes);
  // The text of a REG_SZ / REG_EXPAND_SZ value up to its first zero; nullopt for other types.
  std::optional<std::string> as_string() const;
  std::optional<std::uint32_t> as_dword() const;
  bool operator==(const Value&) const = default;
};

// Thrown by load() and import_reg() for text that is not a REGEDIT4 file; the message names the
// line ("line 7: expected a value or a key").
struct FormatError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Key paths are written with backslashes and start with a root: "HKEY_LOCAL_MACHINE\Enum\USB".
// HKLM, HKCU, HKU, HKCR and HKCC are accepted as short forms of the roots; names compare without
// regard to case and keep the case they were created with.  The value name "" is the key's
// default value ("@" in a .reg file).
class Registry {
 public:
  Registry();
  ~Registry();
  Registry(Registry&&) noexcept;
  Registry& operator=(Registry&&) noexcept;

  bool key_exists(std::string_view path) const;
  // Creates the key and any missing parents; false when the path has no valid root.
  bool create_key(std::string_view path);
  // Deletes the key with all its subkeys and values; false when it does not exist.
  bool delete_key(std::string_view path);
  // Subkey names in case-insensitive alphabetical order; nullopt when the key does not exist.
  std::optional<std::vector<std::string>> subkeys(std::string_view path) const;
  std::optional<std::vector<std::string>> value_names(std::string_view path) const;

  std::optional<Value> get(std::string_view path, std::string_view name) const;
  // Creates the key when needed; false when the path has no valid root or the name holds a zero
  // or a line break (a registry file could not keep it).
  bool set(std::string_view path, std::string_view name, Value value);
  bool erase(std::string_view path, std::string_view name);

  // ---- files ---------------------------------------------------------------------------------
  // The whole registry, or the keys below (and including) `path`, as REGEDIT4 text with CRLF line
  // ends, as regedit writes it; "" when `path` names no key.
  std::string export_reg(std::string_view path = {}) const;
  // Merges REGEDIT4 text: keys and values are created or replaced; "[-KEY]" deletes a key and
  // "NAME"=- deletes a value, as regedit does.  Throws FormatError; nothing changes on error.
  void import_reg(std::string_view text);
  // Reads a registry file; a missing file gives an empty registry.  Throws FormatError (the
  // message starts with the file name), or std::system_error when the file cannot be read.
  static Registry load(const std::filesystem::path& file);
  // Writes the whole registry to a temporary file beside `file`, flushes it to disk and renames it
  // over `file`, so that a crash leaves either the old or the new registry, never half of one.
  // Throws std::system_error when the file cannot be written; `file` is then left as it was.
  void save(const std::filesystem::path& file) const;

  struct Node;  // the key tree, opaque outside the library

 private:
  Node* find(std::string_view path) const;
  Node* find_or_create(std::string_view path);

  std::unique_ptr<Node> root_;
};

}  // namespace registry
