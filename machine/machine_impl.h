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
  std::vector<std::unique_ptr<PluggedSerialAdapter>> serial;  // plugged, in plug order
  unsigned adapters_named = 0;
  bool down = false;

  explicit Impl(MachineOptions machine_options);
  void boot();
  void shutdown();
  // "INST1", "INST2", ...: the first whose device ID is not in the tree.
  std::string fresh_instance(std::uint16_t product_id) const;
  NTSTATUS unplug(PluggedSerialAdapter& adapter);
};

}  // namespace machine
