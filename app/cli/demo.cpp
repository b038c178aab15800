#include "app/cli/demo.h"

#include <memory>
#include <optional>
#include <string>

#include "app/cli/demo_port.h"
#include "app/cli/descriptor_text.h"
#include "app/cli/live_output.h"
#include "app/cli/machine_folder.h"
#include "app/commands/serial_ops.h"
#include "app/script/format.h"
#include "app/script/session.h"

namespace app {
namespace {

constexpr std::string_view kUsage = "usage: krlbay demo [--log] [--machine DIR]";

// The demo's adapters keep their own registry keys, cleared first so that every run starts alike.
constexpr std::string_view kInstanceA = "KRLBAYDEMO1";
constexpr std::string_view kInstanceB = "KRLBAYDEMO2";

std::string device_key(std::string_view instance) {
  return "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0C9E&PID_0200\\" + std::string(instance);
}

std::string device_list(Session& session) {
  std::string joined;
  for (const std::string& name : usb_serial_devices(session)) joined += (joined.empty() ? "" : ", ") + name;
  return joined.empty() ? "(empty)" : joined;
}

std::string start_text(const machine::PluggedSerialAdapter& adapter) {
  if (adapter.start_status == STATUS_SUCCESS) return "started";
  return "start failed with status " + hex8(static_cast<std::uint32_t>(adapter.start_status));
}

void show_descriptors(Session& session, std::string_view name, std::string_view com, std::ostream& out) {
  const auto& adapter = find_serial(session, name);
  out << "   " << com << " on " << device_object_name(session, adapter) << ":\n";
  const kernel::IoResult device = io_control(session, name, kIoctlGetDeviceDescriptor, {}, 18);
  out << "     device descriptor (code " << hex(kIoctlGetDeviceDescriptor) << ", " << device.information
      << " bytes):\n       " << describe_device_descriptor(device.output) << '\n';
  const kernel::IoResult config = io_control(session, name, kIoctlGetConfigDescriptor, {}, 255);
  out << "     configuration descriptor (code " << hex(kIoctlGetConfigDescriptor) << ", " << config.information
      << " bytes):\n";
  for (const std::string& line : describe_configuration(config.output)) out << "       " << line << '\n';
}

void tour(machine::Machine& m, std::ostream& out) {
  Session session(&m, 1);
  m.registry().delete_key(device_key(kInstanceA));
  m.registry().delete_key(device_key(kInstanceB));

  out << "\n1. Plug adapter A. Its registry key holds \"PortNumber\" = \"5\", so the serial driver KRLUSB\n"
         "   learns its COM number while starting it.\n";
  machine::SerialAdapterOptions options_a;
  options_a.name = "A";
  options_a.instance = kInstanceA;
  options_a.port_number = "5";
  const auto& a = plug_serial(session, options_a);
  out << "   device object " << device_object_name(session, a) << ", " << start_text(a)
      << "\n   the driver's USB serial device list: " << device_list(session) << '\n';

  out << "\n2. Plug adapter B. Its key holds no number, so the port host numbers it: the lowest COM number\n"
         "   from 3 up that no adapter's key holds, written as its \"PortNumber\" and handed to the driver\n"
         "   (KRLUSB_SetCommPort), so that it keeps the number the next time.\n";
  machine::SerialAdapterOptions options_b;
  options_b.name = "B";
  options_b.instance = kInstanceB;
  const auto& b = plug_serial(session, options_b);
  const std::string number_b =
      m.registry().get(device_key(kInstanceB), "PortNumber").value_or(registry::Value::string("?")).as_string().value_or("?");
  const std::string com_b = "COM" + number_b;
  out << "   device object " << device_object_name(session, b) << ", " << start_text(b) << ", \"PortNumber\" = \""
      << number_b << "\"\n   the driver's USB serial device list: " << device_list(session) << '\n';

  out << "\n3. Ask each adapter for its descriptors through the device I/O-control interface of its\n"
         "   device object (the adapter answers on the USB bus now):\n";
  show_descriptors(session, "A", "COM5", out);
  show_descriptors(session, "B", com_b, out);

  out << "\n4. An application opens COM5 and sets its line:\n";
  port_tour(session, "A", "COM5", out);

  out << "\n5. Unplug adapter A (surprise removal, then removal). The list now reads: ";
  unplug_serial(session, "A");
  out << device_list(session) << '\n';
}

}  // namespace

int demo_cli(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
  bool log = false;
  std::optional<std::filesystem::path> folder;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--log") {
      log = true;
    } else if (args[i] == "--machine" && i + 1 < args.size()) {
      folder = std::filesystem::path(args[++i]);
    } else {
      err << "krlbay demo: unexpected '" << args[i] << "'\n" << kUsage << '\n';
      return 2;
    }
  }
  try {
    if (!folder) folder = default_machine_folder();
    out << "krlbay demo: two USB serial adapters on a simulated Windows 98 PC.\n"
        << "Machine folder: " << folder->string() << " (its registry is kept between runs)\n";
    machine::MachineOptions options{*folder, 1, std::nullopt};
    options.port_host_numbers_adapters = true;
    machine::Machine m(options);
    if (log) print_log_lines(m, out);
    tour(m, out);
    m.shut_down();
    out << "\nDone. Scenario scripts drive the same machine line by line: see `krlbay help`.\n";
    return 0;
  } catch (const std::exception& e) {
    out.flush();
    err << "krlbay demo: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace app
