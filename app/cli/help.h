// What "krlbay", "krlbay help" and "krlbay --help" print.
#pragma once

#include <ostream>

namespace app {

void print_help(std::ostream& out);

}  // namespace app
