// krlbay: runs the simulated PC: the demo, scenario scripts, and help.
#include <iostream>
#include <string_view>
#include <vector>

#include "app/cli/demo.h"
#include "app/cli/help.h"
#include "app/cli/run_cli.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const std::string_view command = args.empty() ? "help" : args.front();
  const std::span<const std::string_view> rest = args.empty() ? std::span<const std::string_view>{}
                                                              : std::span(args).subspan(1);
  if (command == "help" || command == "--help" || command == "-h") {
    app::print_help(std::cout);
    return 0;
  }
  if (command == "run") return app::run_cli(rest, std::cout, std::cerr);
  if (command == "demo") return app::demo_cli(rest, std::cout, std::cerr);
  std::cerr << "krlbay: unknown command '" << command << "'; try 'krlbay help'\n";
  return 2;
}
