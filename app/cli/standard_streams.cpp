#include "app/cli/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <iostream>

namespace app {

bool open_standard_streams() {
  bool output_open = true;
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    // open() takes the lowest free number, which is this one.
    if (open("/dev/null", O_RDWR) != fd) return false;
    if (fd == STDIN_FILENO) std::cin.setstate(std::ios::badbit);
    if (fd == STDOUT_FILENO) output_open = false;
  }
  return output_open;
}

}  // namespace app
