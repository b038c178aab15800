// A fresh machine in a temporary folder with the serial driver loaded, and the looks into the
// driver that the tests need.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "devices/serial_adapter/queued_firmware.h"
#include "devices/serial_adapter/serial_adapter.h"
#include "machine/machine.h"
#include "serial_driver/krlusb.h"

namespace krlusb_test {

class DriverTest : public ::testing::Test {
 protected:
  DriverTest();
  ~DriverTest() override;

  machine::Machine& m() { return *machine_; }
  kernel::Kernel& k() { return machine_->kernel(); }

  // Runs `body` on a simulated thread and fails the test when it does not end.
  void on_thread(const std::function<void()>& body);
  // Adapters run the queued firmware unless the options say otherwise.
  machine::PluggedSerialAdapter& plug(machine::SerialAdapterOptions options = queued());
  static machine::SerialAdapterOptions queued() {
    machine::SerialAdapterOptions options;
    options.firmware = machine::FirmwareKind::Queued;
    return options;
  }
  machine::PluggedSerialAdapter& plug_numbered(const std::string& port_number);
  void unplug(const std::string& name);
  NTSTATUS pnp(const std::string& name, UCHAR minor);
  // A call into the driver's exported routines as the port host makes it.
  void set_comm_port(LONG number);

  PDEVICE_OBJECT device(const std::string& kernel_name) { return k().find_device(kernel_name); }
  // The driver's object for the adapter: the one attached above the bus driver's object.
  static PDEVICE_OBJECT fdo(const machine::PluggedSerialAdapter& adapter) { return adapter.pdo->AttachedDevice; }
  static krlusb::PDEVICE_EXTENSION ext(const machine::PluggedSerialAdapter& adapter) {
    return krlusb::NC_Extension(fdo(adapter));
  }
  static devices::QueuedFirmware& firmware(const machine::PluggedSerialAdapter& adapter) {
    return *adapter.device->firmware_as<devices::QueuedFirmware>();
  }

  // The port names of the device list, in order.
  static std::vector<std::string> device_list();
  kernel::IoResult ioctl(const std::string& kernel_name, ULONG code, const std::vector<std::uint8_t>& input,
                         ULONG output_length);

  bool logged(const std::string& text) const { return machine_->kernel().log().contains(text); }
  std::size_t count_logged(const std::string& text) const;
  // Log lines from here on are what `logged_since` looks at.
  std::size_t log_mark() const { return machine_->kernel().log().size(); }
  bool logged_since(std::size_t mark, const std::string& text) const {
    return machine_->kernel().log().find(text, mark) != kernel::DebugLog::npos;
  }

  std::filesystem::path folder_;
  std::unique_ptr<machine::Machine> machine_;
};

std::vector<std::uint8_t> le32(std::uint32_t value, std::vector<std::uint8_t> rest = {});
std::uint32_t read_le32(const std::vector<std::uint8_t>& bytes);

}  // namespace krlusb_test
