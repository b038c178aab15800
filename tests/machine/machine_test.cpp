// The machine folder: drives, the registry that survives a restart, and the USB capture.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <unistd.h>

#include "machine/machine.h"

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

}  // namespace
