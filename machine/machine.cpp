// Booting and shutting down the machine, and driving it.
#include <cstdio>
#include <exception>

#include "machine/machine_impl.h"
#include "serial_driver/krlusb.h"

namespace machine {
namespace {

constexpr const char* kRegistryFile = "system.reg";
constexpr const char* kHostControllerId = "PCI\\VEN_8086&DEV_7112&SUBSYS_00000000&REV_01\\BUS_00&DEV_07&FUNC_02";
constexpr const char* kRootHubId = "USB\\ROOT_HUB\\4&2B8E0F4&0";
constexpr ULONG kRunningNode = DN_DRIVER_LOADED | DN_STARTED | DN_NOT_FIRST_TIME;

void make_folders(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder / "drive_c" / "WINDOWS" / "INF");
  std::filesystem::create_directories(folder / "drive_c" / "WINDOWS" / "SYSTEM");
  std::filesystem::create_directories(folder / "drive_a");
}

}  // namespace

Machine::Impl::Impl(MachineOptions machine_options)
    : options(std::move(machine_options)), registry_file(options.folder / kRegistryFile) {
  make_folders(options.folder);
  registry = registry::Registry::load(registry_file);
}

void Machine::Impl::boot() {
  scheduler = std::make_unique<sim::Scheduler>(options.seed);
  kernel = std::make_unique<kernel::Kernel>(*scheduler);
  config_manager = std::make_unique<vmm::ConfigManager>(registry);
  host_controller_node = config_manager->add_node(config_manager->root(), kHostControllerId, kRunningNode);
  root_hub_node = config_manager->add_node(host_controller_node, kRootHubId, kRunningNode);
  const std::string hub_key = config_manager->hardware_key(root_hub_node);
  registry.set(hub_key, "Class", registry::Value::string("USB"));
  registry.set(hub_key, "HardwareID", registry::Value::string("USB\\ROOT_HUB"));

  host = std::make_unique<usb::HostController>(*scheduler);
  if (options.pcap) {
    pcap_file.open(*options.pcap, std::ios::binary | std::ios::trunc);
    if (!pcap_file) throw std::runtime_error("cannot write the capture file " + options.pcap->string());
    pcap = std::make_unique<usb::PcapWriter>(pcap_file);
    host->add_observer(*pcap);
  }

  // A fresh image: the driver's globals as the loader leaves them.
  krlusb::KRLUSB_ResetImage();
  scheduler->run_thread("boot", [this] {
    bus = std::make_unique<usb::BusDriver>(*kernel, *host);
    krlusb = kernel->load_driver("KRLUSB", krlusb::DriverEntry);
  }, scheduler->now() + sim::seconds(10));
  if (krlusb == nullptr) throw std::runtime_error("the serial driver did not load");
  wire_port_host();
}

void Machine::Impl::shutdown() {
  down = true;
  scheduler->run_thread("shutdown", [this] {
    // The port object goes while its adapter and the driver are still there to close it.
    if (port_host) port_host->shut_down();
    while (!serial.empty()) unplug(*serial.front());
    kernel->unload_driver(krlusb);
  }, scheduler->now() + sim::seconds(600));
  if (pcap) {
    host->remove_observer(*pcap);
    pcap_file.flush();
  }
  registry.save(registry_file);
}

Machine::Machine(MachineOptions options) : impl_(std::make_unique<Impl>(std::move(options))) { impl_->boot(); }

void Machine::shut_down() {
  if (!impl_->down) impl_->shutdown();
}

Machine::~Machine() {
  if (impl_->down) return;
  try {
    impl_->shutdown();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "machine: shutdown: %s\n", e.what());
  }
}

sim::Scheduler& Machine::scheduler() { return *impl_->scheduler; }
kernel::Kernel& Machine::kernel() { return *impl_->kernel; }
registry::Registry& Machine::registry() { return impl_->registry; }
vmm::ConfigManager& Machine::config_manager() { return *impl_->config_manager; }
usb::HostController& Machine::host_controller() { return *impl_->host; }
const std::filesystem::path& Machine::folder() const { return impl_->options.folder; }

bool Machine::run(std::string_view thread_name, std::function<void()> body, sim::VTime limit) {
  sim::Scheduler& s = *impl_->scheduler;
  return s.run_thread(std::string(thread_name), std::move(body), s.now() + limit);
}

void Machine::advance(sim::VTime duration) {
  sim::Scheduler& s = *impl_->scheduler;
  s.run_until(s.now() + duration);
}

void Machine::save_registry() { impl_->registry.save(impl_->registry_file); }

}  // namespace machine
