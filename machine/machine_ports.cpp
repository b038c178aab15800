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
  driver_call = [this](const std::function<void()>& fn) { kernel->call_into(krlusb, fn); };
  serial_stack = std::make_unique<vcomm::SerialStack>();
  port_host = std::make_unique<vcomm::PortHost>(
      registry, *serial_stack,
      vcomm::PortDriverExports{driver_call, &krlusb::KRLUSB_SetCommPort, &create_port, &krlusb::KRLUSB_DeleteAll});
}

// The driver's own queue of adapters waiting for a number, oldest first: the order in which it
// hands out the numbers the port host gives.
void Machine::Impl::number_waiting_adapters() {
  if (!options.port_host_numbers_adapters) return;
  std::vector<std::string> waiting;
  for (UCHAR i = krlusb::gcCommCount; i < krlusb::gcDeviceCount; ++i) {
    const PDEVICE_OBJECT pdo = krlusb::NC_Extension(krlusb::gpDeviceObject[i])->PhysicalDeviceObject;
    for (const auto& adapter : serial) {
      if (adapter->pdo == pdo) waiting.push_back("Enum\\" + device_id_of(adapter->device->options().product_id, adapter->instance));
    }
  }
  if (!waiting.empty()) port_host->number_waiting(waiting);
}

vcomm::SerialStack& Machine::serial_stack() { return *impl_->serial_stack; }
vcomm::PortHost& Machine::port_host() { return *impl_->port_host; }
const vcomm::DriverCall& Machine::serial_driver_call() const { return impl_->driver_call; }

}  // namespace machine
