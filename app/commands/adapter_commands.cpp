// The adapter's hardware side: the vendor requests it received, the messages of its interrupt
// pipe and the modem lines it sees (adapter, line).
#include <string>
#include <vector>

#include "app/commands/commands.h"
#include "app/commands/machine_thread.h"
#include "app/commands/names.h"
#include "app/commands/serial_ops.h"
#include "app/script/format.h"
#include "app/script/script_error.h"
#include "app/script/session.h"
#include "app/script/values.h"
#include "devices/serial_adapter/serial_adapter.h"
#include "devices/serial_adapter/uart_firmware.h"

namespace app {
namespace {

// The adapter's UART firmware; a script error when it runs another one.
devices::UartFirmware& uart_of(Session& session, const std::string& name) {
  devices::UartFirmware* uart = find_serial(session, name).device->firmware_as<devices::UartFirmware>();
  if (uart == nullptr) throw ScriptError("adapter '" + name + "' does not run the UART firmware");
  return *uart;
}

// "5=0C000000" for data the host sent, "2<30" for the bytes the adapter returned.
std::string show_request(const devices::VendorRequest& request) {
  return std::to_string(request.code) + (request.device_to_host ? "<" : "=") + hex_digits(request.data);
}

// NAME VERB ...: the adapter comes before the verb.
using AdapterVerb = Action (*)(Session&, Arguments&, const std::string& name);
struct AdapterVerbEntry {
  std::string_view word;
  AdapterVerb run;
};

Action run_adapter_verb(const std::vector<AdapterVerbEntry>& verbs, std::string_view command, Session& session,
                        Arguments& args) {
  const std::string name = adapter_name(args);
  std::vector<std::string_view> words;
  for (const AdapterVerbEntry& v : verbs) words.push_back(v.word);
  const std::string what = std::string(command) + " action";
  return verbs[parse_choice(args.positional(1, what), what, words)].run(session, args, name);
}

Action adapter_requests(Session& session, Arguments&, const std::string& name) {
  return [&session, name] {
    std::string shown;
    for (const devices::VendorRequest& r : find_serial(session, name).device->take_requests()) {
      shown += (shown.empty() ? "" : " ") + show_request(r);
    }
    return shown;
  };
}

Action adapter_message(Session& session, Arguments& args, const std::string& name) {
  const auto type = static_cast<std::uint8_t>(parse_number(args.positional(2, "message type"), UINT8_MAX));
  std::uint8_t byte = 0;
  if (auto v = args.option("byte")) byte = static_cast<std::uint8_t>(parse_number(*v, UINT8_MAX));
  return [&session, name, type, byte] {
    devices::UartFirmware* uart = &uart_of(session, name);
    run_on_machine(session, "adapter message", [uart, type, byte] { uart->send_message(type, byte); });
    return std::string("ok");
  };
}

Action adapter_command(Session& session, Arguments& args) {
  static const std::vector<AdapterVerbEntry> verbs = {{"requests", adapter_requests}, {"message", adapter_message}};
  return run_adapter_verb(verbs, "adapter", session, args);
}

Action line_lines(Session& session, Arguments& args, const std::string& name) {
  const auto lines = static_cast<std::uint8_t>(parse_number(args.positional(2, "modem status"), UINT8_MAX));
  return [&session, name, lines] {
    devices::UartFirmware* uart = &uart_of(session, name);
    run_on_machine(session, "line lines", [uart, lines] { uart->set_line_status(lines); });
    return std::string("ok");
  };
}

Action line_command(Session& session, Arguments& args) {
  static const std::vector<AdapterVerbEntry> verbs = {{"lines", line_lines}};
  return run_adapter_verb(verbs, "line", session, args);
}

}  // namespace

void add_adapter_commands(CommandTable& table) {
  table.add({"adapter", "adapter NAME requests\nadapter NAME message TYPE [byte=N]", adapter_command});
  table.add({"line", "line NAME lines MSR", line_command});
}

}  // namespace app
