// Importing REGEDIT4 text, and the registry file: read whole, written atomically.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/registry/reg_parse.h"
#include "platform/registry/registry.h"

namespace registry {
namespace {

// Reads errno before building the message, which may allocate.
[[noreturn]] void throw_errno(std::string_view context, std::string_view step,
                              const std::filesystem::path& path) {
  const int error = errno;
  throw std::system_error(error, std::generic_category(),
                          std::string(context) + ": " + std::string(step) + " " + path.string());
}

// Closes the descriptor on every path out, including a throw.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int close() { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> read_all(int fd) {
  std::string data;
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return data;
    data.append(buffer, static_cast<std::size_t>(n));
  }
}

void write_durably(std::string_view context, const std::filesystem::path& file,
                   std::string_view data) {
  Fd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (fd.get() < 0) throw_errno(context, "cannot create", file);
  if (!write_all(fd.get(), data)) throw_errno(context, "cannot write", file);
  if (::fsync(fd.get()) != 0) throw_errno(context, "cannot flush", file);
  // Closing can report a write the kernel could not complete.
  if (fd.close() != 0) throw_errno(context, "cannot close", file);
}

// Makes the rename itself survive a crash.
void sync_folder(std::string_view context, const std::filesystem::path& folder) {
  Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) throw_errno(context, "cannot open folder", folder);
  // Some file systems cannot sync a folder and say so with EINVAL; the rename stands regardless.
  if (::fsync(fd.get()) != 0 && errno != EINVAL) throw_errno(context, "cannot flush folder", folder);
}

}  // namespace

void Registry::import_reg(std::string_view text) {
  for (RegEdit& edit : parse_reg(text)) {
    switch (edit.kind) {
      case RegEdit::Kind::CreateKey: create_key(edit.path); break;
      case RegEdit::Kind::DeleteKey: delete_key(edit.path); break;
      case RegEdit::Kind::SetValue: set(edit.path, edit.name, std::move(edit.value)); break;
      case RegEdit::Kind::EraseValue: erase(edit.path, edit.name); break;
    }
  }
}

Registry Registry::load(const std::filesystem::path& file) {
  Registry registry;
  Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0 && errno == ENOENT) return registry;
  if (fd.get() < 0) throw_errno("cannot load the registry", "cannot open", file);
  const auto text = read_all(fd.get());
  if (!text) throw_errno("cannot load the registry", "cannot read", file);
  try {
    registry.import_reg(*text);
  } catch (const FormatError& e) {
    throw FormatError(file.string() + ": " + e.what());
  }
  return registry;
}

void Registry::save(const std::filesystem::path& file) const {
  constexpr std::string_view kContext = "cannot save the registry";
  std::filesystem::path temp = file;
  temp += ".tmp";
  try {
    write_durably(kContext, temp, export_reg());
    if (::rename(temp.c_str(), file.c_str()) != 0) throw_errno(kContext, "cannot rename over", file);
  } catch (const std::system_error&) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    throw;
  }
  sync_folder(kContext, file.has_parent_path() ? file.parent_path() : std::filesystem::path("."));
}

}  // namespace registry
