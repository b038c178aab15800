#include "app/cli/machine_folder.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <system_error>

namespace app {

std::filesystem::path default_machine_folder() {
  const char* data_home = std::getenv("XDG_DATA_HOME");
  if (data_home != nullptr && std::filesystem::path(data_home).is_absolute()) {
    return std::filesystem::path(data_home) / "krlbay" / "default";
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    throw std::runtime_error("neither XDG_DATA_HOME nor HOME is set; give the machine folder with --machine DIR");
  }
  return std::filesystem::path(home) / ".local" / "share" / "krlbay" / "default";
}

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "krlbay-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::filesystem::filesystem_error("cannot create a temporary machine folder", pattern,
                                            std::error_code(errno, std::generic_category()));
  }
  path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace app
