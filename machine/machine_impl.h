// The machine's parts, in the order they are built (and the reverse of the order they go).
#pragma once

#include <fstream>
#include <memory>
#include <optional>
#include <vector>

#include "devices/serial_adapter/serial_adapter.h"
#include "machine/machine.h"
#include "platform/usb/bus_driver.h"
#include "platform/usb/host_controller.h"
#include "platform/usb/pcap_writer.h"
#include "platform/vcomm/port_host.h"
#include "platform/vcomm/serial_stack.h"

namespace machine {

struct Machine::Impl {
  MachineOptions options;
  std::filesystem::path registry_file;
  registry::Registry registry;
  std::unique_ptr<sim::Scheduler> scheduler;
  std::unique_ptr<kernel::Kernel> kernel;
  std::unique_ptr<vmm::ConfigManager> config_manager;
  DEVNODE host_controller_node = 0;
  DEVNODE root_hub_node = 0;
  // Adapters outlive the host controller, which may still refer to those that are connected.
  std::vector<std::unique_ptr<devices::SerialAdapter>> hardware;
  std::unique_ptr<usb::HostController> host;
  std::ofstream pcap_file;
  std::unique_ptr<usb::PcapWriter> pcap;
  std::unique_ptr<usb::BusDriver> bus;
  PDRIVER_OBJECT krlusb = nullptr;
  std::unique_ptr<vcomm::SerialStack> serial_stack;
  std::unique_ptr<vcomm::PortHost> port_host;
  std::vector<std::unique_ptr<PluggedSerialAdapter>> serial;  // plugged, in plug order
  unsigned adapters_named = 0;
  bool down = false;

  explicit Impl(MachineOptions machine_options);
  void boot();
  void shutdown();
  // "INST1", "INST2", ...: the first whose device ID is not in the tree.
  std::string fresh_instance(std::uint16_t product_id) const;
  NTSTATUS unplug(PluggedSerialAdapter& adapter);

  // The serial stack and the port host around the loaded serial driver.
  void wire_port_host();
  vcomm::DriverCall driver_call;  // into the serial driver, for the port host and the serial stack
  // After a successful start of the adapter: has the port host number the adapters that wait.
  // Has the port host number the adapters that the driver holds waiting for a COM number.
  void number_waiting_adapters();
};

// "USB\VID_0C9E&PID_0200\INST1": the adapter's device ID, and its key below "Enum".
std::string device_id_of(std::uint16_t product_id, std::string_view instance);

}  // namespace machine
