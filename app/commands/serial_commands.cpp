// The serial-adapter commands: plug, unplug, pnp, devices, setcommport, ioctl.
#include <string>

#include "app/commands/commands.h"
#include "app/commands/names.h"
#include "app/commands/serial_ops.h"
#include "app/script/format.h"
#include "app/script/script_error.h"
#include "app/script/session.h"
#include "app/script/values.h"

namespace app {
namespace {

Action plug_serial_command(Session& session, Arguments& args) {
  machine::SerialAdapterOptions options;
  if (auto name = args.option("as")) options.name = chosen_name(*name, "adapter name");
  if (auto pid = args.option("pid")) {
    const std::size_t choice = parse_choice(parse_text(*pid), "product id", {"0200", "0210"});
    options.product_id = choice == 0 ? 0x0200 : 0x0210;
  }
  if (auto instance = args.option("instance")) {
    options.instance = chosen_name(*instance, "instance name");
    if (options.instance.find('\\') != std::string::npos) throw ScriptError("an instance name has no '\\'");
  }
  if (auto number = args.option("portnumber")) options.port_number = parse_text(*number);
  return [&session, options] {
    const machine::PluggedSerialAdapter& adapter = plug_serial(session, options);
    std::string result = adapter.name + " " + device_object_name(session, adapter);
    if (adapter.start_status != STATUS_SUCCESS) {
      result += " start=" + hex8(static_cast<std::uint32_t>(adapter.start_status));
    }
    return result;
  };
}

Action plug_command(Session& session, Arguments& args) {
  static const std::vector<Verb> kinds = {{"serial", plug_serial_command}};
  return parse_verb(kinds, "plug", session, args);
}

Action unplug_command(Session& session, Arguments& args) {
  const std::string name = adapter_name(args);
  return [&session, name] {
    const NTSTATUS status = unplug_serial(session, name);
    return status == STATUS_SUCCESS ? std::string("ok") : "status=" + hex8(static_cast<std::uint32_t>(status));
  };
}

Action pnp_command(Session& session, Arguments& args) {
  static const std::vector<std::string_view> kActions = {"start",        "stop",        "remove",       "query-stop",
                                                         "query-remove", "cancel-stop", "cancel-remove"};
  static const UCHAR kMinors[] = {IRP_MN_START_DEVICE,        IRP_MN_STOP_DEVICE,         IRP_MN_REMOVE_DEVICE,
                                  IRP_MN_QUERY_STOP_DEVICE,   IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                                  IRP_MN_CANCEL_REMOVE_DEVICE};
  const std::string name = adapter_name(args);
  const UCHAR minor = kMinors[parse_choice(args.positional(1, "pnp request"), "pnp request", kActions)];
  return [&session, name, minor] {
    return "status=" + hex8(static_cast<std::uint32_t>(pnp_request(session, name, minor)));
  };
}

Action devices_command(Session& session, Arguments&) {
  return [&session] {
    std::string joined;
    for (const std::string& name : usb_serial_devices(session)) joined += (joined.empty() ? "" : ",") + name;
    return joined;
  };
}

Action setcommport_command(Session& session, Arguments& args) {
  const auto number = static_cast<unsigned>(parse_number(args.positional(0, "COM number"), 9999));
  return [&session, number] {
    set_comm_port(session, number);
    return std::string("ok");
  };
}

Action ioctl_command(Session& session, Arguments& args) {
  const std::string name = adapter_name(args);
  const auto code = static_cast<ULONG>(parse_number(args.positional(1, "I/O-control code"), UINT32_MAX));
  std::vector<std::uint8_t> input;
  if (auto in = args.option("in")) input = parse_data(*in, session.random());
  ULONG output_length = 0;
  if (auto out = args.option("out")) output_length = static_cast<ULONG>(parse_number(*out, kMaxDataBytes));
  return [&session, name, code, input, output_length] {
    const kernel::IoResult result = io_control(session, name, code, input, output_length);
    return "status=" + hex8(static_cast<std::uint32_t>(result.status)) + " info=" +
           std::to_string(result.information) + " out=" + hex_data(result.output);
  };
}

}  // namespace

void add_serial_commands(CommandTable& table) {
  table.add({"plug", "plug serial [as=NAME] [pid=0200|0210] [instance=TEXT] [portnumber=TEXT]", plug_command});
  table.add({"unplug", "unplug NAME", unplug_command});
  table.add({"pnp", "pnp NAME start|stop|remove|query-stop|query-remove|cancel-stop|cancel-remove", pnp_command});
  table.add({"devices", "devices", devices_command});
  table.add({"setcommport", "setcommport N", setcommport_command});
  table.add({"ioctl", "ioctl NAME CODE [in=DATA] [out=N]", ioctl_command});
}

}  // namespace app
