// krlbay: runs the simulated PC: the demo, scenario scripts, and help.
#include <iostream>
#include <string_view>
#include <vector>

#include "app/cli/demo.h"
#include "app/cli/help.h"
#include "app/cli/run_cli.h"
#include "app/cli/standard_streams.h"

int main(int argc, char** argv) {
  // The C++ streams on their own buffers: a script that cannot be read then shows as a bad
  // stream rather than as its end.
  std::ios::sync_with_stdio(false);
  if (!app::open_standard_streams()) {
    std::cerr << "krlbay: standard output is closed: the results would go nowhere\n";
    return 2;
  }
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const std::string_view command = args.empty() ? "help" : args.front();
  const std::span<const std::string_view> rest = args.empty() ? std::span<const std::string_view>{}
                                                              : std::span(args).subspan(1);
  int status = 0;
  if (command == "help" || command == "--help" || command == "-h") {
    app::print_help(std::cout);
  } else if (command == "run") {
    status = app::run_cli(rest, std::cout, std::cerr);
  } else if (command == "demo") {
    status = app::demo_cli(rest, std::cout, std::cerr);
  } else {
    std::cerr << "krlbay: unknown command '" << command << "'; try 'krlbay help'\n";
    return 2;
  }
  // Output that never arrived (a full disk, a closed pipe) is no success.
  if (!std::cout.flush()) {
    std::cerr << "krlbay: cannot write the output\n";
    return 2;
  }
  return status;
}
