// The machine folder: drives, the registry that survives a restart, and the USB capture.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <unistd.h>

#include "machine/machine.h"
#include "platform/vcomm/port_host.h"
#include "platform/vcomm/serial_stack.h"
#include "serial_driver/krlusb.h"

namespace {

class MachineTest : public ::testing::Test {
 protected:
  MachineTest()
      : folder_(std::filesystem::temp_directory_path() /
                ("krl-machine-test-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    std::filesystem::remove_all(folder_);
  }
  ~MachineTest() override { std::filesystem::remove_all(folder_); }

  machine::MachineOptions options() const {
    machine::MachineOptions o;
    o.folder = folder_;
    return o;
  }
  static void plug(machine::Machine& m, const machine::SerialAdapterOptions& options) {
    ASSERT_TRUE(m.run("plug", [&] { m.plug_serial(options); }));
  }

  std::filesystem::path folder_;
};

TEST_F(MachineTest, TheFolderKeepsTheRegistryAcrossRestarts) {
  const std::string key = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0C9E&PID_0210\\BAY1";
  {
    machine::Machine m(options());
    EXPECT_TRUE(std::filesystem::is_directory(folder_ / "drive_c" / "WINDOWS" / "INF"));
    EXPECT_TRUE(std::filesystem::is_directory(folder_ / "drive_c" / "WINDOWS" / "SYSTEM"));
    EXPECT_TRUE(std::filesystem::is_directory(folder_ / "drive_a"));
    machine::SerialAdapterOptions adapter;
    adapter.product_id = 0x0210;
    adapter.instance = "BAY1";
    adapter.port_number = "12";
    plug(m, adapter);
    EXPECT_EQ(m.registry().get(key, "HardwareID")->as_string(), "USB\\VID_0C9E&PID_0210");
    ASSERT_EQ(m.serial_adapters().size(), 1U);
    const machine::PluggedSerialAdapter& plugged = *m.serial_adapters().front();
    EXPECT_EQ(plugged.start_status, STATUS_SUCCESS);
    // Started: a later start of another adapter must not take this node for its own.
    EXPECT_EQ(m.config_manager().status(plugged.devnode).value_or(0) & (DN_NEED_TO_ENUM | DN_NOT_FIRST_TIME),
              DN_NOT_FIRST_TIME);
  }
  EXPECT_TRUE(std::filesystem::exists(folder_ / "system.reg"));
  machine::Machine again(options());
  EXPECT_EQ(again.registry().get(key, "PortNumber")->as_string(), "12");
  EXPECT_TRUE(again.serial_adapters().empty());
}

TEST_F(MachineTest, UnplugRemovesTheStackAndTheNode) {
  machine::Machine m(options());
  plug(m, {});
  const DEVNODE node = m.serial_adapters().front()->devnode;
  EXPECT_NE(m.kernel().find_device("\\Device\\COMPORT001"), nullptr);
  NTSTATUS status = STATUS_PENDING;
  ASSERT_TRUE(m.run("unplug", [&] { status = m.unplug("s1"); }));
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(m.kernel().find_device("\\Device\\COMPORT001"), nullptr);
  EXPECT_FALSE(m.config_manager().status(node).has_value());
  EXPECT_EQ(m.find_serial("s1"), nullptr);
}

TEST_F(MachineTest, ThePcapOptionCapturesTheBus) {
  const std::filesystem::path capture = folder_ / "bus.pcap";
  {
    machine::MachineOptions o = options();
    o.pcap = capture;
    machine::Machine m(o);
    plug(m, {});
  }
  std::ifstream in(capture, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_GT(bytes.size(), 24U);  // the file header and records
  EXPECT_EQ(static_cast<unsigned char>(bytes[20]), 249);  // USBPcap link type
}

// The driver's list of USB serial devices, by port name.
std::vector<std::string> device_list() {
  std::vector<std::string> names;
  for (const krlusb::_UsbComDevice* node = krlusb::pUsbCom; node != nullptr; node = node->Next) {
    if (node->pDeviceObject != nullptr) names.emplace_back(node->cpPortName);
  }
  return names;
}

TEST_F(MachineTest, ThePortHostNumbersAdaptersThatStartWithoutANumber) {
  machine::MachineOptions o = options();
  o.port_host_numbers_adapters = true;
  machine::Machine m(o);
  const std::string key1 = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0C9E&PID_0200\\INST1";
  const std::string key2 = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0C9E&PID_0210\\INST1";
  machine::SerialAdapterOptions first;
  first.name = "a";
  plug(m, first);
  machine::SerialAdapterOptions second;
  second.name = "b";
  second.product_id = 0x0210;
  plug(m, second);
  EXPECT_EQ(m.registry().get(key1, "PortNumber"), registry::Value::string("3"));
  EXPECT_EQ(m.registry().get(key2, "PortNumber"), registry::Value::string("4"));
  EXPECT_EQ(device_list(), (std::vector<std::string>{"COM3", "COM4"}));

  // Plugged again, the adapter finds its number in its key; nobody else took it meanwhile.
  ASSERT_TRUE(m.run("unplug", [&] { m.unplug("a"); }));
  machine::SerialAdapterOptions third;
  third.name = "c";
  third.instance = "INST2";
  plug(m, third);  // a new adapter: the lowest number no key holds
  first.instance = "INST1";
  plug(m, first);
  EXPECT_EQ(m.registry().get("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0C9E&PID_0200\\INST2", "PortNumber"),
            registry::Value::string("5"));
  EXPECT_EQ(m.registry().get(key1, "PortNumber"), registry::Value::string("3"));
  EXPECT_EQ(device_list(), (std::vector<std::string>{"COM4", "COM5", "COM3"}));
}

TEST_F(MachineTest, WithoutThePortHostNumberingAnAdapterWaits) {
  machine::Machine m(options());
  plug(m, {});
  EXPECT_FALSE(m.registry().get("HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_0C9E&PID_0200\\INST1", "PortNumber"));
  EXPECT_TRUE(device_list().empty());
}

TEST_F(MachineTest, ShuttingDownWithAnOpenPortLeavesNoLeak) {
  machine::Machine m(options());
  m.kernel().verifier().set_mode(kernel::Verifier::Mode::Record);
  machine::SerialAdapterOptions adapter;
  adapter.port_number = "7";
  plug(m, adapter);
  ASSERT_TRUE(m.run("open", [&] {
    const vcomm::SerialStack::OpenResult opened = m.port_host().open("COM7");
    ASSERT_NE(opened.port, nullptr);
    _DCB dcb{};
    dcb.BaudRate = 9600;
    EXPECT_EQ(opened.port->call(&_PortFunctions::pPortSetCommState, &dcb, fBaudRate), 1);
  }));
  EXPECT_TRUE(m.serial_stack().is_open("COM7"));
  m.shut_down();
  for (const kernel::Violation& v : m.kernel().verifier().violations()) ADD_FAILURE() << v.text;
}

}  // namespace
