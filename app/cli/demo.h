// "krlbay demo": a guided tour of two serial adapters on the default machine.
#pragma once

#include <ostream>
#include <span>
#include <string_view>

namespace app {

// `args` are the words after "demo".  Returns the exit status.
int demo_cli(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

}  // namespace app
