#include "app/commands/serial_ops.h"

#include <cstring>

#include "app/commands/machine_thread.h"
#include "app/script/script_error.h"
#include "app/script/session.h"
#include "platform/vcomm/port_host.h"
#include "serial_driver/krlusb.h"

namespace app {
namespace {

constexpr std::string_view kSerialDriverName = "KRLUSB";

std::string free_default_name(Session& session) {
  while (true) {
    std::string name = "s" + std::to_string(++session.serial_adapters_plugged);
    if (session.machine().find_serial(name) == nullptr) return name;
  }
}

}  // namespace

machine::PluggedSerialAdapter& plug_serial(Session& session, machine::SerialAdapterOptions options) {
  machine::Machine& m = session.machine();
  if (options.name.empty()) {
    options.name = free_default_name(session);
  } else if (m.find_serial(options.name) != nullptr) {
    throw ScriptError("an adapter named '" + options.name + "' is already plugged");
  }
  return *compute_on_machine<machine::PluggedSerialAdapter*>(session, "plug",
                                                             [&m, options] { return &m.plug_serial(options); });
}

machine::PluggedSerialAdapter& find_serial(Session& session, std::string_view name) {
  machine::PluggedSerialAdapter* adapter = session.machine().find_serial(name);
  if (adapter == nullptr) throw ScriptError("no adapter named '" + std::string(name) + "' is plugged");
  return *adapter;
}

std::string device_object_name(Session& session, const machine::PluggedSerialAdapter& adapter) {
  if (adapter.pdo == nullptr) return "";
  kernel::Kernel& k = session.machine().kernel();
  return k.device_name(k.pnp().top_of_stack(adapter.pdo));
}

NTSTATUS unplug_serial(Session& session, std::string_view name) {
  machine::Machine& m = session.machine();
  const std::string adapter = find_serial(session, name).name;
  return compute_on_machine<NTSTATUS>(session, "unplug", [&m, adapter] { return m.unplug(adapter); });
}

NTSTATUS pnp_request(Session& session, std::string_view name, UCHAR minor) {
  machine::Machine& m = session.machine();
  const std::string adapter = find_serial(session, name).name;
  return compute_on_machine<NTSTATUS>(session, "pnp", [&m, adapter, minor] { return m.pnp(adapter, minor); });
}

kernel::IoResult io_control(Session& session, std::string_view name, ULONG code, std::span<const std::uint8_t> input,
                            ULONG output_length) {
  const std::string device = device_object_name(session, find_serial(session, name));
  if (device.empty()) throw ScriptError("adapter '" + std::string(name) + "' has no device object");
  kernel::Kernel& k = session.machine().kernel();
  return compute_on_machine<kernel::IoResult>(
      session, "ioctl", [&k, device, code, data = std::vector<std::uint8_t>(input.begin(), input.end()), output_length] {
        return k.device_io_control(device, code, data, output_length);
      });
}

std::vector<std::string> usb_serial_devices(Session& session) {
  session.machine();
  std::vector<std::string> names;
  if (krlusb::pUsbCom == nullptr) return names;
  for (const krlusb::_UsbComDevice* node = krlusb::pUsbCom->Next; node != nullptr; node = node->Next) {
    names.emplace_back(node->cpPortName, strnlen(node->cpPortName, sizeof node->cpPortName));
  }
  return names;
}

void set_comm_port(Session& session, unsigned com_number) {
  kernel::Kernel& k = session.machine().kernel();
  const PDRIVER_OBJECT driver = k.find_driver(kSerialDriverName);
  if (driver == nullptr) throw ScriptError("the serial driver is not loaded");
  const LONG packed = vcomm::packed_decimal(com_number);
  run_on_machine(session, "setcommport",
                 [&k, driver, packed] { k.call_into(driver, [packed] { krlusb::KRLUSB_SetCommPort(packed); }); });
}

}  // namespace app
