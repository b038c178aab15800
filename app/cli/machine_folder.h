// Where machines live: the user's default machine, or a fresh temporary one for a single run.
#pragma once

#include <filesystem>

namespace app {

// $XDG_DATA_HOME/krlbay/default, else ~/.local/share/krlbay/default.  Throws std::runtime_error
// when neither variable is set.
std::filesystem::path default_machine_folder();

// An empty folder under the system's temporary directory, removed with everything in it when
// this object goes away.
class TemporaryFolder {
 public:
  TemporaryFolder();  // throws std::filesystem::filesystem_error
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace app
