// Serial adapters: the device key and node the system keeps for them, the hardware on the bus,
// and the PnP requests that bring them up and take them away.
#include <cstdio>
#include <stdexcept>

#include "devices/serial_adapter/queued_firmware.h"
#include "devices/serial_adapter/uart_firmware.h"
#include "machine/machine_impl.h"

namespace machine {

std::string device_id_of(std::uint16_t product_id, std::string_view instance) {
  char id[32];
  std::snprintf(id, sizeof(id), "USB\\VID_0C9E&PID_%04X\\", product_id);
  return id + std::string(instance);
}

namespace {

std::unique_ptr<devices::Firmware> firmware_of(FirmwareKind kind) {
  if (kind == FirmwareKind::Queued) return std::make_unique<devices::QueuedFirmware>();
  return std::make_unique<devices::UartFirmware>();
}

std::string hardware_id_of(std::uint16_t product_id) {
  char id[32];
  std::snprintf(id, sizeof(id), "USB\\VID_0C9E&PID_%04X", product_id);
  return id;
}

}  // namespace

std::string Machine::Impl::fresh_instance(std::uint16_t product_id) const {
  for (unsigned n = 1;; n++) {
    const std::string instance = "INST" + std::to_string(n);
    if (config_manager->find(device_id_of(product_id, instance)) == 0) return instance;
  }
}

PluggedSerialAdapter& Machine::plug_serial(const SerialAdapterOptions& options) {
  Impl& m = *impl_;
  auto plugged = std::make_unique<PluggedSerialAdapter>();
  plugged->name = options.name.empty() ? "s" + std::to_string(m.adapters_named + 1) : options.name;
  if (find_serial(plugged->name) != nullptr) throw Refused("an adapter named " + plugged->name + " is plugged");
  plugged->instance = options.instance.empty() ? m.fresh_instance(options.product_id) : options.instance;
  const std::string device_id = device_id_of(options.product_id, plugged->instance);
  if (m.config_manager->find(device_id) != 0) throw Refused("an adapter with the device ID " + device_id + " is plugged");

  devices::AdapterOptions hardware = options.adapter.value_or(devices::AdapterOptions{});
  hardware.product_id = options.product_id;
  auto device = std::make_unique<devices::SerialAdapter>(hardware, firmware_of(options.firmware));

  // The bus first: a full bus leaves no key or node behind.
  plugged->pdo = m.bus->plug(*device);
  if (plugged->pdo == nullptr) {
    throw Refused("the USB bus has no free address for " + plugged->name + " (127 devices at most)");
  }
  plugged->address = m.bus->address(*device);
  plugged->device = device.get();
  m.hardware.push_back(std::move(device));

  const std::string key = "HKEY_LOCAL_MACHINE\\Enum\\" + device_id;
  m.registry.set(key, "Class", registry::Value::string("USB"));
  m.registry.set(key, "HardwareID", registry::Value::string(hardware_id_of(options.product_id)));
  if (options.port_number) m.registry.set(key, "PortNumber", registry::Value::string(*options.port_number));
  // Only the device being started still needs enumerating, so the driver's lookup finds it.
  plugged->devnode = m.config_manager->add_node(m.root_hub_node, device_id, DN_NEED_TO_ENUM);
  m.adapters_named++;

  plugged->start_status = m.kernel->pnp().add_and_start(plugged->pdo, m.krlusb);
  plugged->started = NT_SUCCESS(plugged->start_status);
  const ULONG status = m.config_manager->status(plugged->devnode).value_or(0);
  m.config_manager->set_status(plugged->devnode,
                               (status & ~DN_NEED_TO_ENUM) | DN_DRIVER_LOADED | DN_STARTED | DN_NOT_FIRST_TIME);
  m.serial.push_back(std::move(plugged));
  PluggedSerialAdapter& adapter = *m.serial.back();
  if (adapter.started) m.number_waiting_adapters();
  return adapter;
}

NTSTATUS Machine::Impl::unplug(PluggedSerialAdapter& adapter) {
  bus->unplug(*adapter.device);
  // A removal request of its own may have taken the stack away already.
  const NTSTATUS status = adapter.pdo != nullptr ? kernel->pnp().remove(adapter.pdo, true) : STATUS_SUCCESS;
  config_manager->remove_node(adapter.devnode);
  std::erase_if(serial, [&adapter](const auto& a) { return a.get() == &adapter; });
  return status;
}

NTSTATUS Machine::unplug(std::string_view name) {
  PluggedSerialAdapter* adapter = find_serial(name);
  if (adapter == nullptr) throw Refused("no adapter named " + std::string(name));
  return impl_->unplug(*adapter);
}

NTSTATUS Machine::pnp(std::string_view name, UCHAR minor) {
  PluggedSerialAdapter* adapter = find_serial(name);
  if (adapter == nullptr) throw Refused("no adapter named " + std::string(name));
  if (adapter->pdo == nullptr) return STATUS_NO_SUCH_DEVICE;
  // A second start would have the driver set up (and list) the running device twice.
  if (minor == IRP_MN_START_DEVICE && adapter->started) return STATUS_INVALID_DEVICE_REQUEST;
  const NTSTATUS status = impl_->kernel->pnp().send(adapter->pdo, minor);
  if (minor == IRP_MN_START_DEVICE) {
    adapter->started = NT_SUCCESS(status);
    if (adapter->started) impl_->number_waiting_adapters();
  }
  if (minor == IRP_MN_STOP_DEVICE && NT_SUCCESS(status)) adapter->started = false;
  // A removal request deletes the bus driver's object with the stack: nobody may use it again.
  if (impl_->bus->pdo(*adapter->device) == nullptr) {
    adapter->pdo = nullptr;
    adapter->started = false;
  }
  return status;
}

PluggedSerialAdapter* Machine::find_serial(std::string_view name) {
  for (const auto& a : impl_->serial) {
    if (a->name == name) return a.get();
  }
  return nullptr;
}

std::vector<PluggedSerialAdapter*> Machine::serial_adapters() {
  std::vector<PluggedSerialAdapter*> list;
  for (const auto& a : impl_->serial) list.push_back(a.get());
  return list;
}

PDRIVER_OBJECT Machine::serial_driver() const { return impl_->krlusb; }

}  // namespace machine
