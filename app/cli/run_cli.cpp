#include "app/cli/run_cli.h"

#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "app/cli/live_output.h"
#include "app/cli/machine_folder.h"
#include "app/commands/commands.h"
#include "app/script/runner.h"
#include "app/script/script_error.h"
#include "app/script/session.h"
#include "app/script/values.h"
#include "machine/machine.h"

namespace app {
namespace {

constexpr std::string_view kUsage = "usage: krlbay run [--log] [--usb] [--pcap FILE] [--seed N] [--machine DIR] FILE";

struct RunOptions {
  bool log = false;
  bool usb = false;
  std::optional<std::filesystem::path> pcap;
  std::uint64_t seed = 1;
  std::optional<std::filesystem::path> machine;
  std::optional<std::string> file;
};

RunOptions parse_options(std::span<const std::string_view> args) {
  RunOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const auto value = [&]() -> std::string_view {
      if (i + 1 == args.size()) throw ScriptError(std::string(arg) + " needs a value");
      return args[++i];
    };
    if (arg == "--log") {
      options.log = true;
    } else if (arg == "--usb") {
      options.usb = true;
    } else if (arg == "--pcap") {
      options.pcap = std::filesystem::path(value());
    } else if (arg == "--seed") {
      options.seed = parse_number(value());
    } else if (arg == "--machine") {
      options.machine = std::filesystem::path(value());
    } else if (arg.size() > 1 && arg.front() == '-') {
      throw ScriptError("unknown option '" + std::string(arg) + "'");
    } else if (options.file) {
      throw ScriptError("one script at a time ('" + *options.file + "' and '" + std::string(arg) + "')");
    } else {
      options.file = std::string(arg);
    }
  }
  if (!options.file) throw ScriptError("which script? (FILE, or - for standard input)");
  return options;
}

int run_on(const std::filesystem::path& folder, const RunOptions& options, std::istream& script, std::ostream& out) {
  UsbPrinter usb_printer(out);  // outlives the machine that reports to it
  std::unique_ptr<machine::Machine> m;
  try {
    m = std::make_unique<machine::Machine>(machine::MachineOptions{folder, options.seed, options.pcap});
  } catch (const std::exception& e) {
    out << "error: the machine did not start: " << e.what() << std::endl;
    return kExitError;
  }
  if (options.log) print_log_lines(*m, out);
  if (options.usb) usb_printer.watch(*m);
  Session session(m.get(), options.seed);
  const int status = run_script(script, script_commands(), session, out);
  try {
    m->shut_down();
  } catch (const std::exception& e) {
    out << "error: the machine did not shut down cleanly: " << e.what() << std::endl;
    return kExitError;
  }
  return status;
}

}  // namespace

int run_cli(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
  RunOptions options;
  try {
    options = parse_options(args);
  } catch (const ScriptError& e) {
    err << "krlbay run: " << e.what() << '\n' << kUsage << '\n';
    return kExitError;
  }
  std::ifstream file;
  if (*options.file != "-") {
    std::error_code ignored;
    if (std::filesystem::is_directory(*options.file, ignored)) {
      err << "krlbay run: '" << *options.file << "' is a folder, not a script\n";
      return kExitError;
    }
    file.open(*options.file);
    if (!file) {
      err << "krlbay run: cannot read '" << *options.file << "'\n";
      return kExitError;
    }
  }
  std::istream& script = *options.file == "-" ? std::cin : file;
  try {
    if (options.machine) return run_on(*options.machine, options, script, out);
    TemporaryFolder folder;
    return run_on(folder.path(), options, script, out);
  } catch (const std::filesystem::filesystem_error& e) {
    err << "krlbay run: " << e.what() << '\n';
    return kExitError;
  }
}

}  // namespace app
