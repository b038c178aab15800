// The COM port around the serial driver: the serial stack, the port host calling the driver's
// exports, and the numbering of adapters that start without a COM number.
#include "machine/machine_impl.h"
#include "serial_driver/krlusb.h"
#include "serial_driver/vxdif.h"

namespace machine {
namespace {

std::optional<vcomm::CreatedPort> create_port(const char* name, ULONG iobase, ULONG irq, ULONG devnode) {
  krlusb::POURPORTDATA port = krlusb::KRLUSB_CreatePort(name, iobase, irq, devnode);
  if (port == nullptr) return std::nullopt;
  return vcomm::CreatedPort{port, port->m_PreOpenProc};
}

}  // namespace

void Machine::Impl::wire_port_host() {
  vcomm::DriverCall call = [this](const std::function<void()>& fn) { kernel->call_into(krlusb, fn); };
  serial_stack = std::make_unique<vcomm::SerialStack>();
  port_host = std::make_unique<vcomm::PortHost>(
      registry, *serial_stack,
      vcomm::PortDriverExports{std::move(call), &krlusb::KRLUSB_SetCommPort, &create_port, &krlusb::KRLUSB_DeleteAll});
}

bool Machine::Impl::in_device_list(const PluggedSerialAdapter& adapter) const {
  for (const krlusb::_UsbComDevice* node = krlusb::pUsbCom; node != nullptr; node = node->Next) {
    // The list's head holds no device.
    if (node->pDeviceObject != nullptr && krlusb::NC_Extension(node->pDeviceObject)->PhysicalDeviceObject == adapter.pdo) {
      return true;
    }
  }
  return false;
}

void Machine::Impl::started(const PluggedSerialAdapter& adapter) {
  std::erase(start_order, &adapter);
  start_order.push_back(&adapter);
  if (!options.port_host_numbers_adapters) return;
  std::vector<std::string> waiting;
  for (const PluggedSerialAdapter* a : start_order) {
    if (a->started && a->pdo != nullptr && !in_device_list(*a)) {
      waiting.push_back("Enum\\" + device_id_of(a->device->options().product_id, a->instance));
    }
  }
  if (!waiting.empty()) port_host->number_waiting(waiting);
}

vcomm::SerialStack& Machine::serial_stack() { return *impl_->serial_stack; }
vcomm::PortHost& Machine::port_host() { return *impl_->port_host; }

}  // namespace machine
