// "krlbay run": runs a scenario script on a machine.
#pragma once

#include <ostream>
#include <span>
#include <string_view>

namespace app {

// `args` are the words after "run".  Returns the exit status (0, 1 or 2).
int run_cli(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

}  // namespace app
