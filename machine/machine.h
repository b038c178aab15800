// A simulated Windows 98 PC: its folder (drives and registry file), processor and clock, kernel,
// Configuration Manager, USB host controller and bus, the drivers it loads, and the hardware
// plugged into it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "devices/serial_adapter/descriptors.h"
#include "platform/kernel/kernel.h"
#include "platform/registry/registry.h"
#include "platform/sim/scheduler.h"
#include "platform/vcomm/driver_call.h"
#include "platform/vmm/config_manager.h"

namespace devices {
class SerialAdapter;
}
namespace usb {
class HostController;
}
namespace vcomm {
class PortHost;
class SerialStack;
}

namespace machine {

// What the machine turns down, as the real system would (a name in use, a full bus): a mistake
// of the caller's, not a failure of the machine.
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct MachineOptions {
  std::filesystem::path folder;  // created when missing: drive_c/, drive_a/, registry file "system.reg"
  std::uint64_t seed = 1;
  std::optional<std::filesystem::path> pcap;  // capture every USB transfer to this file
  // The machine's port host numbers each adapter that starts without a COM number.  Off where
  // the caller plays the port host itself (scenario scripts, driver tests).
  bool port_host_numbers_adapters = false;
};

// What runs inside a plugged adapter: its own UART firmware, or one that answers from what a test
// queues (devices::QueuedFirmware).
enum class FirmwareKind { Uart, Queued };

struct SerialAdapterOptions {
  std::string name;                         // the runner's name for it ("s1")
  std::uint16_t product_id = 0x0200;        // 0x0200 or 0x0210
  std::string instance;                     // registry instance name; a fresh one when empty
  std::optional<std::string> port_number;   // written as "PortNumber" before the start
  // The hardware's own options (descriptor lies and the like); product_id above wins.
  std::optional<devices::AdapterOptions> adapter;
  FirmwareKind firmware = FirmwareKind::Uart;
};

struct PluggedSerialAdapter {
  std::string name;
  std::string instance;
  devices::SerialAdapter* device = nullptr;  // owned by the machine
  PDEVICE_OBJECT pdo = nullptr;              // the bus driver's object for it; null once a removal request took it
  DEVNODE devnode = 0;
  std::uint8_t address = 0;  // its USB address
  NTSTATUS start_status = STATUS_SUCCESS;
  bool started = false;  // the last start succeeded and no stop or removal followed it
};

class Machine {
 public:
  // Boots the machine: folder, registry (loaded from the folder), scheduler with the seed, kernel,
  // Configuration Manager tree (root, host controller, root hub), USB host controller and bus
  // driver, and loads the serial driver.
  explicit Machine(MachineOptions options);
  // Shuts down: deletes the port object, unplugs what is plugged, unloads the drivers (pool-leak
  // check), saves the registry.
  // Throws when the registry cannot be saved.  Nothing may be asked of the machine afterwards.
  void shut_down();
  // Shuts down unless shut_down() did; a failure there can only be written to standard error.
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  sim::Scheduler& scheduler();
  kernel::Kernel& kernel();
  registry::Registry& registry();
  vmm::ConfigManager& config_manager();
  usb::HostController& host_controller();
  const std::filesystem::path& folder() const;

  // Runs `body` on a fresh simulated passive-level thread and drives the machine until it ends.
  // False when it is still blocked after `limit` of virtual time.
  bool run(std::string_view thread_name, std::function<void()> body, sim::VTime limit = sim::seconds(600));
  // Lets virtual time pass with nothing else asked of the machine.
  void advance(sim::VTime duration);

  // ---- serial adapters (call from a simulated thread, e.g. inside run()) ----------------------
  // Creates the device key "Enum\USB\VID_0C9E&PID_0200\<instance>" with "Class", "HardwareID" and,
  // when given, "PortNumber"; adds the device node; connects the adapter to the bus and has the
  // PnP manager add and start it with the serial driver.  With port_host_numbers_adapters, each
  // successful start (here or through pnp) is followed by the port host numbering the started
  // adapters that are not in the driver's list of USB serial devices, oldest last start first.
  PluggedSerialAdapter& plug_serial(const SerialAdapterOptions& options);
  // Surprise removal, then removal; the adapter leaves the bus.
  NTSTATUS unplug(std::string_view name);
  // One PnP request to the adapter's stack.  As under the real PnP manager, a start reaches only a
  // stack that is not running (STATUS_INVALID_DEVICE_REQUEST otherwise), and nothing reaches a
  // stack after its removal (STATUS_NO_SUCH_DEVICE).
  NTSTATUS pnp(std::string_view name, UCHAR minor);
  PluggedSerialAdapter* find_serial(std::string_view name);
  std::vector<PluggedSerialAdapter*> serial_adapters();

  // ---- the COM port ----------------------------------------------------------------------------
  // The serial stack and the port host, wired to the serial driver's exports; every call into the
  // driver is charged to it.  Call them from a simulated thread.
  vcomm::SerialStack& serial_stack();
  vcomm::PortHost& port_host();
  // Runs a call inside the serial driver (what it allocates is charged to it), as the port host
  // and the serial stack call it.
  const vcomm::DriverCall& serial_driver_call() const;

  void save_registry();
  // The serial driver's object (for calls into its exported routines through kernel().call_into).
  PDRIVER_OBJECT serial_driver() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace machine
